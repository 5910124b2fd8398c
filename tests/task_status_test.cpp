#include <gtest/gtest.h>

#include "lantrel/task_status.hpp"

using namespace lantrel;

static const std::string uuid = "3F1C2B4A-0000-4ABC-8DEF-0123456789AB", codex(codexSource),
                         claude(claudeSource);

static TaskStatus task(std::string id, std::string source, std::string name = "name") {
  return TaskStatus(std::move(id), std::move(name), LightState::working, Instant{1000}, source);
}

TEST(TaskStatus, StatesProvidersLinksAndNames) {
  for (LightState s : allLightStates) EXPECT_EQ(lightState(rawValue(s)), s);
  // A provider needs both its source and its ID prefix.
  EXPECT_EQ(task("claude-x", codex).provider(), TaskProvider::local);
  TaskStatus thread = task("codex-" + uuid, codex), session = task("claude-" + uuid, claude);
  EXPECT_EQ(thread.provider(), TaskProvider::codex);
  EXPECT_EQ(thread.taskURL(), "codex://threads/" + uuid);
  EXPECT_EQ(session.claudeSessionID(), uuid);
  EXPECT_FALSE(task("codex-x", codex).taskURL() || session.taskURL() || thread.claudeSessionID());
  session.providerSessionID = "local_" + uuid;
  EXPECT_EQ(session.taskURL(), "claude://code/continue?session=local_" + uuid);
  std::string longName;  // cut to 160 user-perceived characters
  for (int i = 0; i < 200; ++i) longName += "e\u0301";
  EXPECT_EQ(task("id", "s", longName).name, longName.substr(0, 160 * 3));
}

TEST(TaskStatus, JSONRoundTripAndStrictDecoding) {
  auto t = TaskStatus("a", "n/é", LightState::unread, Instant{786432000.125}, "Local status");
  EXPECT_EQ(t.encoded(), R"({"id":"a","name":"n/é","state":"unread",)"
                         R"("updatedAt":786432000.125,"source":"Local status"})");
  t.projectName = t.providerSessionID = "p";
  t.lastTurnBoundaryAt = t.providerSessionLastFocusedAt = Instant{-5.5};
  t.confirmedAttentionPending = t.isScheduled = false;
  t.orcaSession = OrcaSessionReference{"codex", "3F1c", "tab", "leaf", "wt", Instant{9.25}, "/t"};
  EXPECT_EQ(TaskStatus::decode(t.encoded()), t);
  const std::string base = R"({"id":"a","name":"n","updatedAt":1,"source":"s")";
  EXPECT_NO_THROW(TaskStatus::decode(base + R"(,"state":"done","extra":[1]})"));
  for (std::string bad : {R"(,"state":"Done"})", "}", R"(,"state":"done","isScheduled":"yes"})",
           R"(,"state":"done","orcaSession":{"provider":"codex"}})"})
    EXPECT_THROW(TaskStatus::decode(base + bad), DecodingError) << bad;
}
