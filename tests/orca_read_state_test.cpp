#include "lantrel/orca_read_state.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "orca_fixtures.hpp"

namespace lantrel {
namespace {

OrcaSessionReference pane(Instant observedAt, std::string leaf = "leaf") {
  return {"claude", "6e2b1d7c-55a0-4f3b-9c8d-0123456789ab", "tab", std::move(leaf), "wt",
          observedAt, std::nullopt};
}
TaskStatus orcaTask(std::string id, Instant updatedAt, std::optional<Instant> observedAt = Instant{0}) {
  TaskStatus task(std::move(id), "t", LightState::done, updatedAt, "Local status");
  if (observedAt) task.orcaSession = pane(*observedAt);
  return task;
}

TEST(OrcaReadState, ReadMarksAndSevenDaysOfOwnership) {
  OrcaReadState state;
  state.markRead(orcaTask("Task-ABC", Instant{100}));
  state.markRead(orcaTask("plain", Instant{100}, std::nullopt));  // without a pane: ignored
  EXPECT_EQ(state.readAt, (std::map<std::string, Instant>{{"task-abc", Instant{100}}}));
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

TEST(OrcaReadState, SavesPrivatelyAndLoadsStrictly) {
  TempDir home;
  fs::path url = home / "Lantrel/orca-state.json";
  EXPECT_EQ(OrcaReadState::load(url), OrcaReadState());
  OrcaReadState state;
  state.ownership["a"] = pane(Instant{1.5}, "other");
  state.ownership["a"].transcriptPath = "/t/x.jsonl";
  state.readAt["a"] = Instant{99.125};
  mode_t previous = ::umask(0);
  state.save(url);
  ::umask(previous);
  EXPECT_EQ(testing::modeOf(url), 0600u);
  EXPECT_EQ(OrcaReadState::load(url), state);
  writeFile(url, std::string(8'000'001, ' '));
  EXPECT_EQ(testing::errorOf([&] { OrcaReadState::load(url); }), "invalidRecord");
  fs::remove(url);
  fs::create_symlink(home / "real", url);
  writeFile(home / "real", R"({"ownership":{},"readAt":{}})");
  EXPECT_EQ(testing::errorOf([&] { OrcaReadState::load(url); }), "invalidRecord");
}

}  // namespace
}  // namespace lantrel
