// Orca read state and the guarded reading of Orca-related files.
#include "lantrel/orca_read_state.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <limits>

#include "lantrel/orca_local_file.hpp"
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
  EXPECT_FALSE(state.hasRead(orcaTask("task-abc", Instant{100}, std::nullopt)));

  const Instant now{1'000'000};
  const double week = 604'800;
  state.ownership = {{"old", pane(now - week)}, {"young", pane(now - (week - 1))},
                     {"future", pane(now + 3600)}};
  state.readAt = {{"old", now}, {"young", now}, {"future", now}, {"listed", now}};
  // A task listed with a pane takes over ownership and keeps its read time,
  // even when its pane was observed long ago.
  state.remember({orcaTask("LISTED", now, now - 2 * week), orcaTask("plain", now, std::nullopt)},
                 now);
  EXPECT_EQ(state.readAt, (std::map<std::string, Instant>{
                              {"future", now}, {"listed", now}, {"young", now}}));
  EXPECT_EQ(state.ownership, (std::map<std::string, OrcaSessionReference>{
                                 {"future", pane(now + 3600)}, {"listed", pane(now - 2 * week)},
                                 {"young", pane(now - (week - 1))}}));
}

TEST(OrcaReadState, SavesOnlyChangesAndLoadsStrictly) {
  TempDir home;
  fs::path url = home / "Lantrel/orca-state.json";
  EXPECT_EQ(OrcaReadState::load(url), OrcaReadState());
  EXPECT_FALSE(fs::exists(home / "Lantrel"));

  OrcaReadState state;
  state.ownership["b"] = pane(Instant{12.25});
  state.ownership["a"] = pane(Instant{1.5}, "other");
  state.ownership["a"].transcriptPath = "/t/x.jsonl";
  state.readAt["a"] = Instant{99.125};
  mode_t previous = ::umask(0);
  state.save(url);
  ::umask(previous);
  EXPECT_EQ(testing::modeOf(home / "Lantrel"), 0700u);
  EXPECT_EQ(testing::modeOf(url), 0600u);
  std::string text = testing::readFile(url);
  EXPECT_EQ(text.rfind(R"({"ownership":{"a":{"leafID":"other","observedAt":1.5,"provider")", 0), 0u);
  EXPECT_TRUE(text.ends_with(R"("readAt":{"a":99.125}})"));
  EXPECT_EQ(OrcaReadState::load(url), state);
  // Unchanged: neither rewritten nor given its permissions back.
  ::chmod(url.c_str(), 0640);
  state.save(url);
  EXPECT_EQ(testing::modeOf(url), 0640u);
  state.readAt["a"] = Instant{100};
  state.save(url);
  EXPECT_EQ(testing::modeOf(url), 0600u);

  auto loaded = [&](std::string content) {
    writeFile(url, content);
    return testing::errorOf([&] { OrcaReadState::load(url); });
  };
  EXPECT_EQ(loaded(std::string(8'000'000, ' ')).rfind("Decoding", 0), 0u);
  EXPECT_EQ(loaded(std::string(8'000'001, ' ')), "invalidRecord");
  fs::remove(url);
  fs::create_symlink(home / "real", url);
  writeFile(home / "real", R"({"ownership":{},"readAt":{}})");
  EXPECT_EQ(testing::errorOf([&] { OrcaReadState::load(url); }), "invalidRecord");
}

TEST(OrcaLocalFile, ValidateAndTail) {
  TempDir dir;
  fs::path f = dir / "t.jsonl";
  writeFile(f, "0123456789");
  EXPECT_EQ(OrcaLocalFile::tail(f, 4), "6789");  // no line feed: the bytes as they are
  EXPECT_THROW(OrcaLocalFile::tail(f, -1), std::invalid_argument);
  writeFile(f, "first\nsecond\nthird\nunfinished");
  EXPECT_EQ(OrcaLocalFile::tail(f, 20), "third\n");  // "ond\n" was cut, "unfinished" too

  auto validate = [](const fs::path& p, std::int64_t limit) {
    return testing::errorOf([&] { OrcaLocalFile::validate(p, limit); });
  };
  fs::create_symlink(f, dir / "link.jsonl");
  EXPECT_EQ(validate(f, 29), "no error");
  EXPECT_EQ(validate(f, std::numeric_limits<std::int64_t>::max()), "no error");
  for (auto [path, limit] : {std::pair{f, 28l}, {f, -1l}, {dir / "link.jsonl", 100l},
                             {dir.path(), 1l << 20}})
    EXPECT_EQ(validate(path, limit), "invalidRecord") << path << " " << limit;
  EXPECT_EQ(testing::errorOf([&] { OrcaLocalFile::tail(dir / "link.jsonl", 10); }), "invalidRecord");
  EXPECT_THROW(OrcaLocalFile::validate(dir / "missing", 10), fs::filesystem_error);

  // A transcript beyond 64 000 000 bytes is not read even for its tail.
  fs::resize_file(f, 64000001);
  EXPECT_EQ(testing::errorOf([&] { OrcaLocalFile::tail(f, 10); }), "invalidRecord");
  fs::resize_file(f, 64000000);
  EXPECT_EQ(OrcaLocalFile::tail(f, 3), std::string(3, '\0'));
}

}  // namespace
}  // namespace lantrel
