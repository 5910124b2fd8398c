// The built tool under concurrency, a full disk and hostile file systems.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <future>

#include "lantrel/claude_hook_store.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using testing::RunResult;
using testing::TempDir;
namespace fs = std::filesystem;

const std::string binary = LANTREL_STATUS_BINARY;
#ifndef LANTREL_STRESS_DIVISOR
#define LANTREL_STRESS_DIVISOR 1
#endif
// Runs of the tool in a stress loop: `count` in the normal build.
std::string runs(int count) { return std::to_string(count / LANTREL_STRESS_DIVISOR); }

const std::string session = "6e2b1d7c-55a0-4f3b-9c8d-0123456789ab";

// Runs a shell script with the tool as $0's first argument ($1) and `args` after it.
RunResult sh(const std::string& script, std::vector<std::string> args = {},
             const std::map<std::string, std::string>& env = {}) {
  args.insert(args.begin(), {"-c", script, "sh", binary});
  return testing::run("/bin/sh", args, env);
}

std::string hookEvent(std::string_view name) {
  return R"({"session_id":")" + session + R"(","hook_event_name":")" + std::string(name) +
         R"(","cwd":"/tmp/p","transcript_path":"/tmp/p/t.jsonl"})";
}

fs::path hookRecord(const fs::path& home) {
  return home / "Library/Application Support/Lantrel/claude-events" / (session + ".json");
}

// Names in `directory` that start with a dot: left-over temporary files.
std::vector<std::string> hiddenEntries(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory))
    if (std::string name = entry.path().filename(); name.front() == '.') names.push_back(name);
  return names;
}

// Four heartbeat loops of `set` on the same IDs (one also removing a task),
// against a `list` loop: 10,000 runs in all, and not one fails.
TEST(Stress, ConcurrentSetAndList) {
  TempDir dir;
  std::string tasks = (dir / "tasks").string();
  const std::string setLoop =
      R"sh(i=0; while [ $i -lt "$4" ]; do i=$((i+1))
         "$1" set "task-$((i % 3))" working "beat $i" --directory "$2" >/dev/null || echo F
         [ "$3" = remover ] && { "$1" remove gone --directory "$2" || echo F; } &&
           { "$1" set gone done x --directory "$2" >/dev/null || echo F; }
       done)sh";
  std::vector<std::future<RunResult>> loops;
  // 3 x 1700 + 1100 x 3 runs of set and remove, and 1600 lists: 10,000.
  for (std::string role : {"plain", "plain", "plain", "remover"})
    loops.push_back(std::async(std::launch::async, [&, role] {
      return sh(setLoop, {tasks, role, runs(role == "remover" ? 1100 : 1700)});
    }));
  RunResult lists = sh(R"sh(i=0; while [ $i -lt "$3" ]; do i=$((i+1))
                            "$1" list --directory "$2" >/dev/null || echo F; done)sh",
                       {tasks, runs(1600)});
  for (auto& loop : loops) {
    RunResult r = loop.get();
    EXPECT_EQ(r.out, "") << r.err;
  }
  EXPECT_EQ(lists.out, "") << lists.err;
  EXPECT_EQ(hiddenEntries(tasks), std::vector<std::string>{});
  EXPECT_EQ(sh(R"sh("$1" list --directory "$2")sh", {tasks}).status, 0);
}

// Concurrent hooks of one session, while the records are read in process.
TEST(Stress, ConcurrentClaudeHooks) {
  TempDir home;
  const std::string loop = R"sh(i=0; while [ $i -lt "$4" ]; do i=$((i+1))
    printf '%s' "$2" | "$1" claude-hook || echo F
    printf '%s' "$3" | "$1" claude-hook || echo F; done)sh";
  std::map<std::string, std::string> env = {{"HOME", home.path()}};
  std::vector<std::future<RunResult>> loops;
  for (int i = 0; i < 4; ++i)
    loops.push_back(std::async(std::launch::async, [&] {
      return sh(loop, {hookEvent("UserPromptSubmit"), hookEvent("Stop"), runs(300)}, env);
    }));
  ClaudeHookStore store{hookRecord(home.path()).parent_path()};
  int reads = 0;
  auto running = [&] {
    for (auto& l : loops)
      if (l.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) return true;
    return false;
  };
  while (running()) {
    EXPECT_LE(store.loadAll(Instant::now()).size(), 1u);
    ++reads;
  }
  for (auto& l : loops) EXPECT_EQ(l.get().out, "");
  EXPECT_GT(reads, 0);
  EXPECT_EQ(store.loadAll(Instant::now()).size(), 1u);
  EXPECT_EQ(hiddenEntries(store.directory), std::vector<std::string>{});
}

// A small tmpfs, mounted for the test's life.
class SmallDisk {
 public:
  SmallDisk() { mounted_ = ::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=64k") == 0; }
  ~SmallDisk() {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const fs::path& path() const { return dir_.path(); }
  // Fills what is left of the disk.
  void fill() {
    std::string block(4096, 'x');
    std::FILE* f = std::fopen((dir_ / "filler").c_str(), "w");
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
  }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

TEST(Stress, FullDiskKeepsThePreviousFile) {
  SmallDisk disk;
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  std::map<std::string, std::string> env = {{"HOME", disk.path()}};
  fs::path tasks = disk.path() / "tasks";
  ASSERT_EQ(sh(R"sh("$1" set a working first --directory "$2")sh", {tasks}).status, 0);
  ASSERT_EQ(testing::run(binary, {"claude-hook"}, env, hookEvent("UserPromptSubmit")).status, 0);
  std::string task = testing::readFile(tasks / "a.json");
  std::string record = testing::readFile(hookRecord(disk.path()));
  disk.fill();

  RunResult set = sh(R"sh("$1" set a done second --directory "$2")sh", {tasks});
  RunResult hook = testing::run(binary, {"claude-hook"}, env, hookEvent("Stop"));
  for (const RunResult& r : {set, hook}) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Lantrel status: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  }
  EXPECT_EQ(testing::readFile(tasks / "a.json"), task);
  EXPECT_EQ(testing::readFile(hookRecord(disk.path())), record);
  EXPECT_EQ(hiddenEntries(tasks), std::vector<std::string>{});
  EXPECT_EQ(hiddenEntries(hookRecord(disk.path()).parent_path()), std::vector<std::string>{});
}

// Links and directories where our files belong.
TEST(Stress, LinksAndDirectoriesInPlaceOfFiles) {
  TempDir home;
  fs::path tasks = home / "tasks", record = hookRecord(home.path());
  std::map<std::string, std::string> env = {{"HOME", home.path()}};
  auto set = [&](const char* id) {
    return sh(R"sh("$1" set "$3" done n --directory "$2")sh", {tasks, id});
  };
  auto hook = [&] { return testing::run(binary, {"claude-hook"}, env, hookEvent("Stop")); };
  ASSERT_EQ(set("a").status, 0);
  ASSERT_EQ(hook().status, 0);

  // A link is refused when read, and replaced, never written through.
  testing::writeFile(home / "victim", "keep");
  for (const fs::path& file : {tasks / "a.json", record}) {
    fs::remove(file);
    fs::create_symlink(home / "victim", file);
  }
  RunResult list = sh(R"sh("$1" list --directory "$2")sh", {tasks});
  EXPECT_EQ(list.status, 1);
  EXPECT_NE(list.err.find("invalidRecord"), std::string::npos);
  EXPECT_EQ(set("a").status, 0);
  EXPECT_EQ(hook().status, 0);
  EXPECT_EQ(testing::readFile(home / "victim"), "keep");
  EXPECT_FALSE(fs::is_symlink(tasks / "a.json") || fs::is_symlink(record));

  // A directory in place of a file: a readable failure, nothing left behind.
  for (const fs::path& file : {tasks / "a.json", record}) {
    fs::remove(file);
    fs::create_directory(file);
  }
  for (const RunResult& r : {set("a"), hook(), sh(R"sh("$1" list --directory "$2")sh", {tasks})}) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Lantrel status: ", 0), 0u);
  }
  EXPECT_EQ(hiddenEntries(tasks), std::vector<std::string>{});
  EXPECT_EQ(hiddenEntries(record.parent_path()), std::vector<std::string>{});

  // A file in place of the store's directory.
  testing::writeFile(home / "file", "x");
  RunResult r = sh(R"sh("$1" set a done n --directory "$2/tasks")sh", {home / "file"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Not a directory"), std::string::npos) << r.err;
}

// Whatever the umask and whoever owned the old file, what we write is the
// user's alone.
TEST(Stress, UmaskOwnersAndModes) {
  for (const char* umask : {"000", "077"}) {
    TempDir home;
    std::map<std::string, std::string> env = {{"HOME", home.path()}};
    const std::string script = R"sh(umask "$2"; "$1" set a done n >/dev/null &&
                                  printf '%s' "$3" | "$1" claude-hook)sh";
    ASSERT_EQ(sh(script, {umask, hookEvent("Stop")}, env).status, 0);
    fs::path lantrel = home / "Library/Application Support/Lantrel";
    for (const fs::path& d : {home / "Library", lantrel.parent_path(), lantrel, lantrel / "tasks",
                              lantrel / "claude-events"})
      EXPECT_EQ(testing::modeOf(d), 0700u) << d << " umask " << umask;
    fs::path files[] = {lantrel / "tasks/a.json", hookRecord(home.path())};
    for (const fs::path& f : files) EXPECT_EQ(testing::modeOf(f), 0600u) << f;
    if (::geteuid() != 0) continue;

    // Files of another user, unreadable to anyone: replaced by our own.
    for (const fs::path& f : files) {
      ASSERT_EQ(::chown(f.c_str(), 12345, 12345), 0);
      ::chmod(f.c_str(), 0);
    }
    ASSERT_EQ(sh(script, {umask, hookEvent("UserPromptSubmit")}, env).status, 0);
    for (const fs::path& f : files) {
      struct stat st;
      ASSERT_EQ(::lstat(f.c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, 0u);
      EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
  }
}

// Mode 000 only stops a user that is not root: run the tool as one.
TEST(Stress, UnreadableTaskFile) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv"))
    GTEST_SKIP() << "needs root and setpriv to run the tool as another user";
  TempDir home;
  fs::path tasks = home / "tasks";
  auto asUser = [&](const std::string& command) {
    return sh(R"sh(setpriv --reuid=12345 --regid=12345 --clear-groups "$1" $3 --directory "$2")sh",
              {tasks, command});
  };
  ASSERT_EQ(::chown(home.path().c_str(), 12345, 12345), 0);
  ASSERT_EQ(asUser("set a done n").status, 0);
  ::chmod((tasks / "a.json").c_str(), 0);
  RunResult list = asUser("list");
  EXPECT_EQ(list.status, 1);
  EXPECT_NE(list.err.find("Permission denied"), std::string::npos) << list.err;
  EXPECT_EQ(asUser("set a working n").status, 0);
  EXPECT_EQ(asUser("list").status, 0);
}

}  // namespace
}  // namespace lantrel
