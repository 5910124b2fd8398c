// The rule from stored to visible state, and the routing of read checks.
#include <gtest/gtest.h>

#include <cmath>

#include "lantrel/visible_state.hpp"

namespace lantrel {
namespace {

constexpr char uuid[] = "3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6";
const Instant now{800'000'000};

TaskStatus task(LightState state, double age, std::string id = "job",
                std::string source = "Local status") {
  return TaskStatus(std::move(id), "t", state, now - age, std::move(source));
}

TaskStatus codexTask(double age = 0) {
  return task(LightState::done, age, std::string("codex-") + uuid, std::string(codexSource));
}

TEST(VisibleState, ReportsExpireAfterFiveMinutes) {
  TaskReadState none;
  EXPECT_EQ(task(LightState::working, 300).visibleState(now, none), LightState::working);
  EXPECT_EQ(task(LightState::working, 301).visibleState(now, none), LightState::unknown);

  TaskStatus pending = task(LightState::waiting, 86400);
  pending.confirmedAttentionPending = true;
  EXPECT_EQ(pending.visibleState(now, none), LightState::waiting);
  pending.confirmedAttentionPending = false;
  EXPECT_EQ(pending.visibleState(now, none), LightState::unknown);

  EXPECT_EQ(task(LightState::failed, 7 * 86400).visibleState(now, none), LightState::failed);
  EXPECT_EQ(task(LightState::done, 7 * 86400).visibleState(now, none), LightState::unread);
}

TEST(VisibleState, FutureReportsBeyondAMinuteAreDisconnected) {
  TaskReadState none;
  for (LightState state : {LightState::done, LightState::failed, LightState::working}) {
    EXPECT_NE(task(state, -60).visibleState(now, none), LightState::unknown) << rawValue(state);
    EXPECT_EQ(task(state, -61).visibleState(now, none), LightState::unknown) << rawValue(state);
  }
  EXPECT_EQ(task(LightState::failed, NAN).visibleState(now, none), LightState::unknown);
}

TEST(VisibleState, ReadChecksGoToTheTasksSource) {
  CodexReadState knownEmpty{std::set<std::string>{}};
  EXPECT_EQ(codexTask().visibleState(now, CodexReadState{}), LightState::unread);
  EXPECT_EQ(codexTask().visibleState(now, knownEmpty), LightState::done);
  CodexReadState holding{std::set<std::string>{uuid}};

  // A scheduled run asks the automation state, not the desktop app's set.
  TaskStatus run = codexTask(10);
  run.isScheduled = true;
  CodexAutomationReadState automations;
  EXPECT_EQ(run.visibleState(now, knownEmpty), LightState::unread);
  automations.markRead(run, now);
  TaskReadState withRun(holding, automations, ClaudeReadState(), OrcaReadState());
  EXPECT_EQ(run.visibleState(now, withRun), LightState::done);
  EXPECT_EQ(codexTask().visibleState(now, withRun), LightState::unread);

  // The initializer takes Claude before Orca.
  TaskStatus claude = task(LightState::unread, 5, std::string("claude-") + uuid,
                           std::string(claudeSource));
  ClaudeReadState claudeRead;
  claudeRead.markRead(claude, now);
  OrcaReadState orcaRead;
  TaskStatus paned = task(LightState::done, 5);
  paned.orcaSession = OrcaSessionReference{"codex", uuid, "t", "l", "w", now, std::nullopt};
  orcaRead.markRead(paned);
  TaskReadState all(CodexReadState{}, CodexAutomationReadState{}, claudeRead, orcaRead);
  EXPECT_EQ(claude.visibleState(now, all), LightState::done);
  // A local task in an Orca pane is judged by the Orca state; without the
  // pane a finished local task is never read.
  EXPECT_EQ(paned.visibleState(now, all), LightState::done);
  TaskStatus plain = paned;
  plain.orcaSession.reset();
  EXPECT_EQ(plain.visibleState(now, all), LightState::unread);
  // An Orca task is judged by the Orca state whatever its provider.
  TaskStatus codexInOrca = codexTask(5);
  codexInOrca.orcaSession = paned.orcaSession;
  EXPECT_EQ(codexInOrca.visibleState(now, all), LightState::unread);
}

}  // namespace
}  // namespace lantrel
