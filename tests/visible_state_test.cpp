// The rule from stored to visible state, and the routing of read checks.
#include <gtest/gtest.h>

#include <cmath>

#include "lantrel/visible_state.hpp"

using namespace lantrel;
using S = LightState;

static const Instant now{800'000'000};
static const std::string uuid = "3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6";

static TaskStatus task(S state, double age, std::string id = "job", std::string_view from = "") {
  return TaskStatus(std::move(id), "t", state, now - age, std::string(from));
}

// Reports expire after five minutes, finished ones never; confirmed pending
// attention stays; a report more than a minute ahead is disconnected.
TEST(VisibleState, ExpiryAndReportsFromTheFuture) {
  const double week = 7 * 86400;
  std::optional<bool> no, yes = true;
  for (auto [state, age, pending, shown] : {std::tuple{S::working, 300.0, no, S::working},
           {S::working, 301.0, no, S::unknown}, {S::waiting, week, yes, S::waiting},
           {S::failed, week, no, S::failed}, {S::done, week, no, S::unread},
           {S::done, -60.0, no, S::unread}, {S::done, -61.0, no, S::unknown},
           {S::failed, double(NAN), no, S::unknown}}) {
    TaskStatus t = task(state, age);
    t.confirmedAttentionPending = pending;
    EXPECT_EQ(t.visibleState(now, TaskReadState()), shown) << rawValue(state) << " " << age;
  }
}

TEST(VisibleState, ReadChecksGoToTheTasksSource) {
  TaskStatus codex = task(S::done, 0, "codex-" + uuid, codexSource), run = codex;
  TaskStatus claude = task(S::unread, 5, "claude-" + uuid, claudeSource), paned = task(S::done, 5);
  run.isScheduled = true;
  paned.orcaSession = OrcaSessionReference{"codex", uuid, "t", "l", "w", now, std::nullopt};
  TaskReadState all(CodexReadState{std::set<std::string>{}}, {}, {}, {}), none = all;
  all.codexAutomations.markRead(run, now);
  all.claude.markRead(claude, now);
  all.orca.markRead(paned);
  for (const TaskStatus& t : {codex, run, claude, paned})
    EXPECT_EQ(t.visibleState(now, all), S::done) << t.id;
  EXPECT_EQ(run.visibleState(now, none), S::unread);  // a run asks the automation state
  paned.orcaSession.reset();  // without the pane a finished local task is never read
  EXPECT_EQ(paned.visibleState(now, all), S::unread);
}
