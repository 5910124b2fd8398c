#include <gtest/gtest.h>

#include "lantrel/task_status.hpp"
#include "support/text.hpp"

namespace lantrel {
namespace {

constexpr const char* uuid = "3F1C2B4A-0000-4ABC-8DEF-0123456789AB";

TaskStatus task(std::string id, std::string source) {
  return TaskStatus(std::move(id), "name", LightState::working, Instant{1000}, std::move(source));
}

TEST(LightState, RawValuesAndLabels) {
  std::vector<std::string> labels;
  for (LightState s : allLightStates) {
    EXPECT_EQ(lightState(rawValue(s)), s);
    labels.emplace_back(label(s));
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"Working", "Needs your attention",
                                              "Finished · read", "Finished · unread", "Failed",
                                              "Unknown / disconnected"}));
  EXPECT_FALSE(lightState("Working"));
  EXPECT_FALSE(lightState("working "));
  EXPECT_EQ(taskProvider("claude"), TaskProvider::claude);
  EXPECT_FALSE(taskProvider("Local"));
}

TEST(TaskStatus, ProviderNeedsSourceAndPrefix) {
  EXPECT_EQ(task("codex-x", std::string(codexSource)).provider(), TaskProvider::codex);
  EXPECT_EQ(task("Codex-x", std::string(codexSource)).provider(), TaskProvider::local);
  EXPECT_EQ(task("claude-x", std::string(claudeSource)).provider(), TaskProvider::claude);
  EXPECT_EQ(task("claude-x", std::string(codexSource)).provider(), TaskProvider::local);
  EXPECT_EQ(task("codex-x", "Local status").provider(), TaskProvider::local);
}

TEST(TaskStatus, CodexThreadAndLinks) {
  auto codex = task(std::string("codex-") + uuid, std::string(codexSource));
  EXPECT_EQ(codex.codexThreadID(), text::lowercased(uuid));
  EXPECT_EQ(codex.taskURL(), std::string("codex://threads/") + uuid);
  EXPECT_EQ(codex.codexThreadURL(), codex.taskURL());
  auto notUUID = task("codex-not-a-uuid", std::string(codexSource));
  EXPECT_EQ(notUUID.provider(), TaskProvider::codex);
  EXPECT_FALSE(notUUID.codexThreadID());
  EXPECT_FALSE(notUUID.taskURL());

  auto claude = task("claude-1", std::string(claudeSource));
  EXPECT_FALSE(claude.taskURL());
  claude.providerSessionID = std::string("local_") + uuid;
  EXPECT_EQ(claude.taskURL(), std::string("claude://code/continue?session=local_") + uuid);
  EXPECT_FALSE(claude.codexThreadURL());
  claude.providerSessionID = std::string("remote_") + uuid;
  EXPECT_FALSE(claude.taskURL());
  EXPECT_FALSE(task("local", "Local status").taskURL());
}

TEST(TaskStatus, InitializerCutsNameToUserPerceivedCharacters) {
  std::string longName;
  for (int i = 0; i < 200; ++i) longName += "e\u0301";
  auto t = TaskStatus("id", longName, LightState::done, Instant{0}, "Local status");
  EXPECT_EQ(t.name, longName.substr(0, 160 * 3));
  // A decoded name keeps its full length.
  t.name = longName;
  EXPECT_EQ(TaskStatus::decode(t.encoded()).name, longName);
}

TEST(TaskStatus, JSONRoundTripAndAbsentKeys) {
  auto t = TaskStatus("a", "n/é", LightState::unread, Instant{786432000.125}, "Local status");
  EXPECT_EQ(t.encoded(),
            R"({"id":"a","name":"n/é","state":"unread","updatedAt":786432000.125,"source":"Local status"})");
  t.projectName = "p";
  t.lastTurnBoundaryAt = Instant{-5.5};
  t.confirmedAttentionPending = false;
  t.providerSessionID = "s";
  t.providerSessionLastFocusedAt = Instant{3};
  t.isScheduled = true;
  t.orcaSession = OrcaSessionReference{"codex", "3f1c", "tab", "leaf", "wt", Instant{9.25}, "/t"};
  EXPECT_EQ(TaskStatus::decode(t.encoded()), t);
  EXPECT_EQ(t.orcaSession->taskID(), "codex-3f1c");
  t.orcaSession->transcriptPath.reset();
  EXPECT_EQ(TaskStatus::decode(t.encoded()), t);
}

TEST(TaskStatus, DecodingIsStrictAboutRequiredKeys) {
  const std::string base = R"("id":"a","name":"n","updatedAt":1,"source":"s")";
  EXPECT_NO_THROW(TaskStatus::decode("{" + base + R"(,"state":"done","extra":[1]})"));
  EXPECT_NO_THROW(TaskStatus::decode("{" + base + R"(,"state":"done","projectName":null})"));
  for (const std::string& bad : std::vector<std::string>{
           "{" + base + R"(,"state":"Done"})",
           "{" + base + "}",
           std::string(R"({"id":1,"name":"n","updatedAt":1,"source":"s","state":"done"})"),
           std::string(R"({"id":"a","name":"n","updatedAt":"1","source":"s","state":"done"})"),
           "{" + base + R"(,"state":"done","isScheduled":"yes"})",
           "{" + base + R"(,"state":"done","orcaSession":{"provider":"codex"}})",
           std::string("[1]"), std::string("{"), std::string("")})
    EXPECT_THROW(TaskStatus::decode(bad), DecodingError) << bad;
}

TEST(TaskStatus, PrettyListIsSortedIndentedAndEscaped) {
  auto t = TaskStatus("a", "x/y", LightState::done, Instant{2}, "Local status");
  t.orcaSession = OrcaSessionReference{"claude", "s", "t", "l", "w", Instant{1}, std::nullopt};
  EXPECT_EQ(encodePretty({t}),
            "[\n"
            "  {\n"
            "    \"id\" : \"a\",\n"
            "    \"name\" : \"x\\/y\",\n"
            "    \"orcaSession\" : {\n"
            "      \"leafID\" : \"l\",\n"
            "      \"observedAt\" : 1,\n"
            "      \"provider\" : \"claude\",\n"
            "      \"sessionID\" : \"s\",\n"
            "      \"tabID\" : \"t\",\n"
            "      \"worktreeID\" : \"w\"\n"
            "    },\n"
            "    \"source\" : \"Local status\",\n"
            "    \"state\" : \"done\",\n"
            "    \"updatedAt\" : 2\n"
            "  }\n"
            "]");
  EXPECT_EQ(encodePretty({}), "[]");
}

}  // namespace
}  // namespace lantrel
