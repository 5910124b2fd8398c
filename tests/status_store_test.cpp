#include <gtest/gtest.h>

#include <cmath>

#include "lantrel/status_store.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

TaskStatus local(std::string id, std::string name = "job") {
  return TaskStatus(std::move(id), std::move(name), LightState::working, Instant{100},
                    "Local status");
}

StatusError::Code errorOf(auto&& f) {
  try {
    f();
  } catch (const StatusError& e) {
    return e.code();
  }
  ADD_FAILURE() << "no StatusError";
  return StatusError::invalidRecord;
}

TEST(StatusStore, IDRule) {
  StatusStore store{"/tmp/x"};
  EXPECT_EQ(store.location(std::string(100, 'a')), fs::path("/tmp/x") / (std::string(100, 'a') + ".json"));
  EXPECT_NO_THROW(store.location("Az09-_"));
  for (std::string bad : {std::string(101, 'a'), std::string(), std::string("a b"),
                          std::string("a.b"), std::string(".."), std::string("a/b"),
                          std::string("é"), std::string("\xFF")})
    EXPECT_EQ(errorOf([&] { store.location(bad); }), StatusError::invalidID) << bad;
}

TEST(StatusStore, WriteLoadRemove) {
  TempDir home;
  StatusStore store{home / "a/tasks"};
  EXPECT_TRUE(store.load().empty());
  EXPECT_FALSE(fs::exists(home / "a"));  // loading creates nothing

  store.write(local("one", "first"));
  store.write(local("one", "second"));
  auto tasks = store.load();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].name, "second");
  EXPECT_EQ(testing::modeOf(home / "a"), 0700u);
  EXPECT_EQ(testing::modeOf(home / "a/tasks"), 0700u);
  EXPECT_EQ(testing::modeOf(home / "a/tasks/one.json"), 0600u);

  store.remove("one");
  store.remove("one");  // a missing file is no error
  EXPECT_TRUE(store.load().empty());
  EXPECT_EQ(errorOf([&] { store.remove("../x"); }), StatusError::invalidID);
}

TEST(StatusStore, LoadIsStrict) {
  TempDir home;
  StatusStore store{home.path()};
  store.write(local("ok"));
  testing::writeFile(home / "notes.txt", "ignored");
  testing::writeFile(home / "upper.JSON", "ignored");
  EXPECT_EQ(store.load().size(), 1u);

  // A file whose ID does not give back its own name.
  testing::writeFile(home / "other.json", local("ok").encoded());
  EXPECT_EQ(errorOf([&] { store.load(); }), StatusError::invalidRecord);
  fs::remove(home / "other.json");

  // An ID inside a file that breaks the rule.
  testing::writeFile(home / "bad id.json", local("bad id").encoded());
  EXPECT_EQ(errorOf([&] { store.load(); }), StatusError::invalidID);
  fs::remove(home / "bad id.json");

  fs::create_symlink(home / "ok.json", home / "link.json");
  EXPECT_EQ(errorOf([&] { store.load(); }), StatusError::invalidRecord);
  fs::remove(home / "link.json");

  fs::create_directory(home / "dir.json");
  EXPECT_EQ(errorOf([&] { store.load(); }), StatusError::invalidRecord);
  fs::remove(home / "dir.json");

  testing::writeFile(home / "junk.json", "{not json");
  EXPECT_THROW(store.load(), DecodingError);
}

TEST(StatusStore, SizeLimitHoldsOnBothSides) {
  TempDir home;
  StatusStore store{home.path()};
  // Pad a valid record to exactly the limit, then one byte over.
  std::string record = local("big").encoded();
  std::string padded = record.substr(0, record.size() - 1) + ",\"pad\":\"" +
                       std::string(StatusStore::maximumRecordBytes - record.size() - 9, 'x') +
                       "\"}";
  ASSERT_EQ(padded.size(), StatusStore::maximumRecordBytes);
  testing::writeFile(home / "big.json", padded);
  EXPECT_EQ(store.load().size(), 1u);
  testing::writeFile(home / "big.json", padded + " ");
  EXPECT_EQ(errorOf([&] { store.load(); }), StatusError::invalidRecord);

  // A name of 160 characters can still be far too large: write refuses it
  // and keeps the previous file.
  store.write(local("big", "small"));
  std::string combining;
  for (int i = 0; i < 160; ++i) {
    combining += "a";
    for (int k = 0; k < 60; ++k) combining += "\u0301";
  }
  EXPECT_EQ(errorOf([&] { store.write(local("big", combining)); }), StatusError::invalidRecord);
  ASSERT_EQ(store.load().size(), 1u);
  EXPECT_EQ(store.load()[0].name, "small");
}

TEST(StatusStore, DirectoryThatIsAFileIsAFileSystemError) {
  TempDir home;
  testing::writeFile(home / "tasks", "x");
  StatusStore store{home / "tasks"};
  EXPECT_THROW(store.load(), fs::filesystem_error);
  EXPECT_THROW(store.write(local("a")), fs::filesystem_error);
  // No task file can exist there, so there is nothing to remove.
  EXPECT_NO_THROW(store.remove("a"));
}

TEST(StatusStore, NonFiniteInstantsAreRefusedRecords) {
  TempDir home;
  StatusStore store{home / "tasks"};
  for (double bad : {std::nan(""), double(INFINITY), -double(INFINITY)}) {
    TaskStatus task = local("a");
    task.updatedAt = Instant{bad};
    EXPECT_EQ(errorOf([&] { task.encoded(); }), StatusError::invalidRecord);
    EXPECT_EQ(errorOf([&] { store.write(task); }), StatusError::invalidRecord);
    task = local("a");
    task.orcaSession = OrcaSessionReference{"codex", "s", "t", "l", "w", Instant{bad}, {}};
    EXPECT_EQ(errorOf([&] { store.write(task); }), StatusError::invalidRecord);
  }
  EXPECT_FALSE(fs::exists(home / "tasks"));
}

}  // namespace
}  // namespace lantrel
