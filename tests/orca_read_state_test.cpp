// Orca read state and the guarded check of Orca-related files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "lantrel/orca_local_file.hpp"
#include "lantrel/orca_read_state.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

OrcaSessionReference pane(Instant observedAt, std::string leaf = "leaf") {
  return {"claude", "6e2b1d7c-55a0-4f3b-9c8d-0123456789ab", "tab", std::move(leaf), "wt",
          observedAt, std::nullopt};
}

TaskStatus orcaTask(std::string id, Instant updatedAt, std::optional<Instant> observedAt = Instant{0}) {
  TaskStatus task(std::move(id), "t", LightState::done, updatedAt, "Local status");
  if (observedAt) task.orcaSession = pane(*observedAt);
  return task;
}

bool refused(const std::function<void()>& f) { return testing::errorOf(f) == "invalidRecord"; }

TEST(OrcaReadState, ReadAndMarkByLowerCasedID) {
  OrcaReadState state;
  state.markRead(orcaTask("Task-ABC", Instant{100}));
  EXPECT_EQ(state.readAt, (std::map<std::string, Instant>{{"task-abc", Instant{100}}}));
  EXPECT_TRUE(state.hasRead(orcaTask("task-abc", Instant{100})));
  EXPECT_FALSE(state.hasRead(orcaTask("Task-ABC", Instant{100.001})));
  // Without a pane a task is never read.
  EXPECT_FALSE(state.hasRead(orcaTask("task-abc", Instant{100}, std::nullopt)));
}

TEST(OrcaReadState, RememberPrunesAfterSevenDays) {
  const Instant now{1'000'000};
  const double week = OrcaReadState::ownershipLifetime;
  OrcaReadState state;
  state.ownership = {{"old", pane(now - week)},
                     {"young", pane(now - (week - 1))},
                     {"future", pane(now + 3600)}};
  state.readAt = {{"old", now}, {"young", now}, {"future", now}, {"listed", now}, {"gone", now}};
  state.remember({}, now);
  EXPECT_EQ(state.ownership.count("old"), 0u);
  EXPECT_EQ(state.readAt, (std::map<std::string, Instant>{{"young", now}, {"future", now}}));

  // A task listed with a pane takes over ownership and keeps its read time,
  // even when its pane was observed long ago.
  state.readAt["listed"] = now;
  state.remember({orcaTask("LISTED", now, now - 2 * week), orcaTask("plain", now, std::nullopt)},
                 now);
  EXPECT_EQ(state.ownership.at("listed"), pane(now - 2 * week));
  EXPECT_EQ(state.readAt.count("listed"), 1u);
  EXPECT_EQ(state.ownership.count("plain"), 0u);
}

TEST(OrcaReadState, SaveLoadAndUnchangedFileIsNotRewritten) {
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
  EXPECT_NE(text.find(R"("readAt":{"a":99.125}})"), std::string::npos);
  EXPECT_EQ(OrcaReadState::load(url), state);

  // Unchanged: neither rewritten nor given its permissions back.
  ::chmod(url.c_str(), 0640);
  state.save(url);
  EXPECT_EQ(testing::modeOf(url), 0640u);
  state.readAt["a"] = Instant{100};
  state.save(url);
  EXPECT_EQ(testing::modeOf(url), 0600u);
  EXPECT_EQ(OrcaReadState::load(url), state);
}

TEST(OrcaReadState, LoadRefusesBadFiles) {
  TempDir home;
  fs::path url = home / "orca-state.json";
  auto decodingError = [&](std::string content) {
    testing::writeFile(url, content);
    return testing::errorOf([&] { OrcaReadState::load(url); });
  };
  EXPECT_NE(decodingError(R"({"ownership":{}})").find("\"readAt\" is missing"), std::string::npos);
  EXPECT_NE(decodingError(R"({"readAt":{}})").find("\"ownership\" is missing"), std::string::npos);
  EXPECT_TRUE(decodingError(R"({"ownership":{"a":{"provider":"codex"}},"readAt":{}})")
                  .starts_with("DecodingError"));

  fs::resize_file(url, 8'000'001);
  EXPECT_TRUE(refused([&] { OrcaReadState::load(url); }));
  fs::remove(url);
  fs::create_directory(url);
  EXPECT_TRUE(refused([&] { OrcaReadState::load(url); }));
  fs::remove(url);
  testing::writeFile(home / "real", R"({"ownership":{},"readAt":{}})");
  fs::create_symlink(home / "real", url);
  EXPECT_TRUE(refused([&] { OrcaReadState::load(url); }));
}

TEST(OrcaLocalFile, Validate) {
  TempDir dir;
  fs::path file = dir / "f";
  testing::writeFile(file, "12345");
  EXPECT_NO_THROW(OrcaLocalFile::validate(file, 5));
  EXPECT_TRUE(refused([&] { OrcaLocalFile::validate(file, 4); }));
  EXPECT_TRUE(refused([&] { OrcaLocalFile::validate(file, -1); }));
  fs::create_symlink(file, dir / "link");
  EXPECT_TRUE(refused([&] { OrcaLocalFile::validate(dir / "link", 100); }));
  EXPECT_THROW(OrcaLocalFile::validate(dir / "missing", 100), fs::filesystem_error);
}

}  // namespace
}  // namespace lantrel
