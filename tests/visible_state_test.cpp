// The rule from stored to visible state, and the routing of read checks.
#include <gtest/gtest.h>

#include <cmath>

#include "lantrel/visible_state.hpp"

using namespace lantrel;
using S = LightState;

static const Instant now{800'000'000};
static const std::string uuid = "3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6";

static TaskStatus task(S state, double age, std::string id = "job", std::string_view source = "Local status") {
  return TaskStatus(std::move(id), "t", state, now - age, std::string(source));
}

// Reports expire after five minutes, finished ones never; confirmed pending
// attention stays; a report more than a minute ahead is disconnected.
TEST(VisibleState, ExpiryAndReportsFromTheFuture) {
  const double week = 7 * 86400;
  std::optional<bool> no, yes = true;
  for (auto [state, age, pending, shown] : {std::tuple{S::working, 300.0, no, S::working},
       {S::working, 301.0, no, S::unknown}, {S::waiting, 300.0, no, S::waiting}, {S::waiting, 301.0, no, S::unknown},
       {S::waiting, week, yes, S::waiting}, {S::waiting, week, std::optional(false), S::unknown},
       {S::unknown, 0.0, no, S::unknown}, {S::failed, week, no, S::failed}, {S::done, week, no, S::unread},
       {S::unread, week, no, S::unread}, {S::done, -60.0, no, S::unread}, {S::done, -61.0, no, S::unknown},
       {S::failed, -60.0, no, S::failed}, {S::failed, -61.0, no, S::unknown}, {S::working, -60.0, no, S::working},
       {S::working, -61.0, no, S::unknown}, {S::failed, double(NAN), no, S::unknown}}) {
    TaskStatus t = task(state, age);
    t.confirmedAttentionPending = pending;
    EXPECT_EQ(t.visibleState(now, TaskReadState()), shown) << rawValue(state) << " " << age;
  }
}

TEST(VisibleState, ReadChecksGoToTheTasksSource) {
  TaskStatus codex = task(S::done, 0, "codex-" + uuid, codexSource), run = codex;
  CodexReadState knownEmpty{std::set<std::string>{}};
  EXPECT_EQ(codex.visibleState(now, CodexReadState{}), S::unread);
  EXPECT_EQ(codex.visibleState(now, knownEmpty), S::done);
  // A scheduled run asks the automation state, not the desktop app's set.
  run.isScheduled = true;
  CodexAutomationReadState automations;
  EXPECT_EQ(run.visibleState(now, knownEmpty), S::unread);
  automations.markRead(run, now);
  TaskReadState withRun(CodexReadState{std::set<std::string>{uuid}}, automations, {}, {});
  EXPECT_EQ(run.visibleState(now, withRun), S::done);
  EXPECT_EQ(codex.visibleState(now, withRun), S::unread);

  TaskStatus claude = task(S::unread, 5, "claude-" + uuid, claudeSource), paned = task(S::done, 5);
  ClaudeReadState claudeRead;
  claudeRead.markRead(claude, now);
  OrcaReadState orcaRead;
  paned.orcaSession = OrcaSessionReference{"codex", uuid, "t", "l", "w", now, std::nullopt};
  orcaRead.markRead(paned);
  TaskReadState all({}, {}, claudeRead, orcaRead);
  EXPECT_EQ(claude.visibleState(now, all), S::done);
  // A task in an Orca pane is judged by the Orca state whatever its
  // provider; without the pane a finished local task is never read.
  EXPECT_EQ(paned.visibleState(now, all), S::done);
  paned.orcaSession.reset();
  EXPECT_EQ(paned.visibleState(now, all), S::unread);
  codex.orcaSession = OrcaSessionReference{"codex", "other", "t", "l", "w", now, std::nullopt};
  EXPECT_EQ(codex.visibleState(now, TaskReadState(knownEmpty, {}, {}, {})), S::unread);
  EXPECT_EQ(codex.visibleState(now, knownEmpty), S::unread);
}
