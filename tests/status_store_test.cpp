#include <gtest/gtest.h>

#include <cmath>

#include "lantrel/status_store.hpp"
#include "test_support.hpp"

using namespace lantrel;
using namespace lantrel::testing;

static TaskStatus local(std::string id, std::string name = "job") {
  return TaskStatus(std::move(id), std::move(name), LightState::working, Instant{100}, "Local");
}

TEST(StatusStore, IDRuleWriteLoadAndRemove) {
  TempDir home;
  StatusStore store{home / "a/tasks"};
  std::string longest(100, 'a');
  for (std::string ok : {longest, std::string("AZaz09-_")}) EXPECT_NO_THROW(store.location(ok));
  for (std::string bad : {longest + "a", std::string(), std::string("é"), std::string("a ")})
    EXPECT_EQ(errorOf([&] { store.location(bad); }), "invalidID") << bad;
  for (char bad : std::string("@[`{/:"))  // each next to an allowed range
    EXPECT_EQ(errorOf([&] { store.location(std::string("a") + bad); }), "invalidID") << bad;
  EXPECT_EQ(errorOf([&] { store.write(local("one", " \t\u3000")); }), "invalidRecord");  // no name
  store.write(local("one", "first"));
  store.write(local("one", "second"));
  EXPECT_EQ(store.load(), std::vector{local("one", "second")});
  EXPECT_EQ(modeOf(home / "a/tasks/one.json"), 0600u);
  store.remove("one");
  store.remove("one");  // a missing file is no error
  EXPECT_TRUE(store.load().empty());
  // A record padded to exactly the size limit loads; one byte more does not.
  std::string padded = local("ok").encoded();
  std::size_t fill = StatusStore::maximumRecordBytes - padded.size() - 7;
  padded.insert(padded.size() - 1, ",\"p\":\"" + std::string(fill, 'x') + "\"");
  writeFile(home / "a/tasks/ok.json", padded);
  EXPECT_EQ(store.load().size(), 1u);
  fs::create_symlink("ok.json", home / "a/tasks/link.json");  // a link is no record of ours
  EXPECT_EQ(errorOf([&] { store.load(); }), "invalidRecord");
  fs::remove(home / "a/tasks/link.json");
  writeFile(home / "a/tasks/ok.json", padded + " ");
  EXPECT_EQ(errorOf([&] { store.load(); }), "invalidRecord");
}

// A file where the directory should be, and instants no record can hold.
TEST(StatusStore, RefusesWhatCannotBeStored) {
  TempDir home;
  writeFile(home / "file", "x");
  StatusStore store{home / "file"}, fresh{home / "tasks"};
  EXPECT_THROW(store.load(), fs::filesystem_error);
  EXPECT_THROW(store.write(local("a")), fs::filesystem_error);
  EXPECT_NO_THROW(store.remove("a"));  // no task file can be there: nothing to remove
  for (double bad : {double(NAN), double(INFINITY), -double(INFINITY)}) {
    TaskStatus task = local("a");
    task.updatedAt = Instant{bad};
    EXPECT_EQ(errorOf([&] { fresh.write(task); }), "invalidRecord");
  }
  EXPECT_FALSE(fs::exists(home / "tasks"));
}
