#include <gtest/gtest.h>

#include "lantrel/task_status.hpp"

using namespace lantrel;

static const std::string uuid = "3F1C2B4A-0000-4ABC-8DEF-0123456789AB", codex(codexSource), claude(claudeSource);

static TaskStatus task(std::string id, std::string source, std::string name = "name") {
  return TaskStatus(std::move(id), std::move(name), LightState::working, Instant{1000}, std::move(source));
}

TEST(TaskStatus, StatesProvidersAndLinks) {
  for (LightState s : allLightStates) EXPECT_EQ(lightState(rawValue(s)), s);
  EXPECT_FALSE(lightState("Working") || lightState("working ") || taskProvider("Local"));
  EXPECT_EQ(taskProvider("claude"), TaskProvider::claude);
  // A provider needs both its source and its ID prefix.
  for (auto [id, source, provider] : {std::tuple{"codex-x", codex, TaskProvider::codex},
       {"Codex-x", codex, TaskProvider::local}, {"claude-x", claude, TaskProvider::claude},
       {"claude-x", codex, TaskProvider::local}, {"codex-x", std::string("Local status"), TaskProvider::local}})
    EXPECT_EQ(task(id, source).provider(), provider) << id << source;
  TaskStatus thread = task("codex-" + uuid, codex), session = task("claude-" + uuid, claude);
  EXPECT_EQ(thread.codexThreadID(), "3f1c2b4a-0000-4abc-8def-0123456789ab");
  EXPECT_EQ(thread.taskURL(), "codex://threads/" + uuid);
  EXPECT_EQ(thread.codexThreadURL(), thread.taskURL());
  EXPECT_EQ(session.claudeSessionID(), uuid);
  EXPECT_FALSE(task("codex-x", codex).codexThreadID() || task("codex-x", codex).taskURL() || session.taskURL() ||
               task("claude-x", claude).claudeSessionID() || thread.claudeSessionID());
  session.providerSessionID = "local_" + uuid;
  EXPECT_EQ(session.taskURL(), "claude://code/continue?session=local_" + uuid);
  EXPECT_FALSE(session.codexThreadURL());
  session.providerSessionID = "remote_" + uuid;
  EXPECT_FALSE(session.taskURL());
}

TEST(TaskStatus, NamesAreCutToUserPerceivedCharacters) {
  std::string longName;
  for (int i = 0; i < 200; ++i) longName += "e\u0301";
  TaskStatus t = task("id", "s", longName);
  EXPECT_EQ(t.name, longName.substr(0, 160 * 3));
  EXPECT_EQ(task("id", "s", "a\xFF").name, "a\uFFFD");
  t.name = longName;  // a decoded name keeps its full length
  EXPECT_EQ(TaskStatus::decode(t.encoded()).name, longName);
}

TEST(TaskStatus, JSONRoundTripAndStrictDecoding) {
  auto t = TaskStatus("a", "n/é", LightState::unread, Instant{786432000.125}, "Local status");
  EXPECT_EQ(t.encoded(), R"({"id":"a","name":"n/é","state":"unread","updatedAt":786432000.125,"source":"Local status"})");
  t.projectName = "p";
  t.lastTurnBoundaryAt = Instant{-5.5};
  t.confirmedAttentionPending = false;
  t.providerSessionID = "s";
  t.providerSessionLastFocusedAt = Instant{3};
  t.isScheduled = true;
  t.orcaSession = OrcaSessionReference{"codex", "3F1c", "tab", "leaf", "wt", Instant{9.25}, "/t"};
  EXPECT_EQ(TaskStatus::decode(t.encoded()), t);
  EXPECT_EQ(t.orcaSession->taskID(), "codex-3f1c");
  t.orcaSession->transcriptPath.reset();
  EXPECT_EQ(TaskStatus::decode(t.encoded()), t);
  const std::string base = R"({"id":"a","name":"n","updatedAt":1,"source":"s")";
  EXPECT_NO_THROW(TaskStatus::decode(base + R"(,"state":"done","extra":[1],"projectName":null})"));
  for (const std::string& bad : {base + R"(,"state":"Done"})", base + "}", base + R"(,"state":"done","isScheduled":"yes"})",
           base + R"(,"state":"done","orcaSession":{"provider":"codex"}})", std::string("[1]"), std::string("{"),
           std::string(R"({"id":1,"name":"n","updatedAt":1,"source":"s","state":"done"})"),
           std::string(R"({"id":"a","name":"n","updatedAt":"1","source":"s","state":"done"})")})
    EXPECT_THROW(TaskStatus::decode(bad), DecodingError) << bad;
  // The pretty list: members sorted, indented, "/" and control characters escaped.
  t = TaskStatus("a", "x/y\a", LightState::done, Instant{2}, "Local status");
  t.projectName = "p";
  t.orcaSession = OrcaSessionReference{"claude", "s", "t", "l", "w", Instant{1}, std::nullopt};
  EXPECT_EQ(encodePretty({t}),
            "[\n  {\n    \"id\" : \"a\",\n    \"name\" : \"x\\/y\\u0007\",\n    \"orcaSession\" : {\n"
            "      \"leafID\" : \"l\",\n      \"observedAt\" : 1,\n      \"provider\" : \"claude\",\n"
            "      \"sessionID\" : \"s\",\n      \"tabID\" : \"t\",\n      \"worktreeID\" : \"w\"\n    },\n"
            "    \"projectName\" : \"p\",\n    \"source\" : \"Local status\",\n    \"state\" : \"done\",\n"
            "    \"updatedAt\" : 2\n  }\n]");
  EXPECT_EQ(encodePretty({}), "[]");
}
