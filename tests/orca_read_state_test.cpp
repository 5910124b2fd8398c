#include "lantrel/orca_read_state.hpp"

#include <gtest/gtest.h>

namespace lantrel {
namespace {

OrcaSessionReference pane(Instant observedAt) {
  return {"claude", "6e2b1d7c-55a0-4f3b-9c8d-0123456789ab", "tab", "leaf", "wt", observedAt, "/t"};
}
TaskStatus orcaTask(std::string id, Instant updatedAt, Instant observedAt = Instant{0}) {
  TaskStatus task(std::move(id), "t", LightState::done, updatedAt, "Local status");
  return task.orcaSession = pane(observedAt), task;
}

TEST(OrcaReadState, ReadMarksAndSevenDaysOfOwnership) {
  OrcaReadState state;
  state.markRead(orcaTask("Task-ABC", Instant{100}));
  EXPECT_TRUE(state.hasRead(orcaTask("task-abc", Instant{100})));
  EXPECT_FALSE(state.hasRead(orcaTask("Task-ABC", Instant{100.001})));
  const Instant now{1'000'000};
  const double week = 604'800;
  state.ownership = {{"old", pane(now - week)}, {"young", pane(now - (week - 1))}};
  state.readAt = {{"old", now}, {"young", now}, {"listed", now}};
  // A task listed with a pane takes over ownership and keeps its read time,
  // even when its pane was observed long ago.
  state.remember({orcaTask("LISTED", now, now - 2 * week)}, now);
  EXPECT_EQ(state.readAt, (std::map<std::string, Instant>{{"listed", now}, {"young", now}}));
  EXPECT_EQ(state.ownership, (std::map<std::string, OrcaSessionReference>{
      {"listed", pane(now - 2 * week)}, {"young", pane(now - (week - 1))}}));
}

}  // namespace
}  // namespace lantrel
