#include <gtest/gtest.h>

#include <cmath>

#include "lantrel/status_store.hpp"
#include "test_support.hpp"

using namespace lantrel;
using lantrel::testing::errorOf;
using lantrel::testing::TempDir;
namespace fs = std::filesystem;

static TaskStatus local(std::string id, std::string name = "job") {
  return TaskStatus(std::move(id), std::move(name), LightState::working, Instant{100}, "Local status");
}

TEST(StatusStore, IDRuleAndWriteLoadRemove) {
  TempDir home;
  StatusStore store{home / "a/tasks"};
  EXPECT_EQ(store.location(std::string(100, 'a')), home / "a/tasks" / (std::string(100, 'a') + ".json"));
  EXPECT_NO_THROW(store.location("AZaz09-_"));
  for (std::string bad : {std::string(101, 'a'), std::string(), std::string(".."), std::string("é")})
    EXPECT_EQ(errorOf([&] { store.location(bad); }), "invalidID") << bad;
  for (char bad : std::string("@[`{/: .\xFF"))  // each next to an allowed range
    EXPECT_EQ(errorOf([&] { store.location(std::string("a") + bad); }), "invalidID") << bad;

  EXPECT_TRUE(store.load().empty());
  EXPECT_FALSE(fs::exists(home / "a"));  // loading creates nothing
  EXPECT_EQ(errorOf([&] { store.write(local("one", " \t\u3000")); }), "invalidRecord");  // no name
  store.write(local("one", "first"));
  store.write(local("one", "second"));
  EXPECT_EQ(store.load().at(0).name, "second");
  EXPECT_EQ(store.load().size(), 1u);
  EXPECT_EQ(lantrel::testing::modeOf(home / "a/tasks/one.json"), 0600u);
  store.remove("one");
  store.remove("one");  // a missing file is no error
  EXPECT_TRUE(store.load().empty());
  EXPECT_EQ(errorOf([&] { store.remove("../x"); }), "invalidID");
}

TEST(StatusStore, LoadIsStrict) {
  TempDir home;
  StatusStore store{home.path()};
  store.write(local("ok"));
  // Each intruder is refused, then taken away again.
  auto refusal = [&](const char* name, auto make) {
    make(home / name);
    std::string error = errorOf([&] { store.load(); });
    fs::remove(home / name);
    return error;
  };
  auto record = [&](std::string id) { return [=](const fs::path& p) { lantrel::testing::writeFile(p, local(id).encoded()); }; };
  EXPECT_EQ(refusal("okay.json", record("ok")), "invalidRecord");  // not the file its ID names
  EXPECT_EQ(refusal("bad id.json", record("bad id")), "invalidID");
  EXPECT_EQ(refusal("link.json", [&](const fs::path& p) { fs::create_symlink(home / "ok.json", p); }), "invalidRecord");
  EXPECT_EQ(refusal("dir.json", [](const fs::path& p) { fs::create_directory(p); }), "invalidRecord");
  EXPECT_EQ(refusal("junk.json", [](const fs::path& p) { lantrel::testing::writeFile(p, "{not json"); }).rfind("DecodingError", 0), 0u);

  // A record padded to exactly the size limit loads; one byte more does not.
  std::string padded = local("ok").encoded();
  padded.insert(padded.size() - 1, ",\"pad\":\"" + std::string(StatusStore::maximumRecordBytes - padded.size() - 9, 'x') + "\"");
  ASSERT_EQ(padded.size(), StatusStore::maximumRecordBytes);
  lantrel::testing::writeFile(home / "ok.json", padded);
  EXPECT_EQ(store.load().size(), 1u);
  lantrel::testing::writeFile(home / "ok.json", padded + " ");
  EXPECT_EQ(errorOf([&] { store.load(); }), "invalidRecord");
  // 160 characters can still be too large: write refuses them and keeps the previous file.
  store.write(local("ok", "small"));
  std::string heavy;
  for (int i = 0; i < 160 * 61; ++i) heavy += i % 61 ? "\u0301" : "a";
  EXPECT_EQ(errorOf([&] { store.write(local("ok", heavy)); }), "invalidRecord");
  EXPECT_EQ(store.load().at(0).name, "small");
}

TEST(StatusStore, FileInPlaceOfTheDirectory) {
  TempDir home;
  lantrel::testing::writeFile(home / "tasks", "x");
  StatusStore store{home / "tasks"};
  EXPECT_THROW(store.load(), fs::filesystem_error);
  EXPECT_THROW(store.write(local("a")), fs::filesystem_error);
  EXPECT_NO_THROW(store.remove("a"));  // no task file can be there: nothing to remove
}

TEST(StatusStore, NonFiniteInstantsAreRefusedRecords) {
  TempDir home;
  StatusStore store{home / "tasks"};
  for (double bad : {double(NAN), double(INFINITY), -double(INFINITY)}) {
    TaskStatus task = local("a"), inOrca = local("a");
    task.updatedAt = Instant{bad};
    inOrca.orcaSession = OrcaSessionReference{"codex", "s", "t", "l", "w", Instant{bad}, {}};
    EXPECT_EQ(errorOf([&] { task.encoded(); }), "invalidRecord");
    EXPECT_EQ(errorOf([&] { store.write(task); }) + errorOf([&] { store.write(inOrca); }), "invalidRecordinvalidRecord");
  }
  EXPECT_FALSE(fs::exists(home / "tasks"));
}
