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
namespace fs = std::filesystem;

#ifndef LANTREL_STRESS_DIVISOR
#define LANTREL_STRESS_DIVISOR 1
#endif
const std::string session = "6e2b1d7c-55a0-4f3b-9c8d-0123456789ab";

std::string hookEvent(std::string_view name) {
  return R"({"session_id":")" + session + R"(","hook_event_name":")" + std::string(name) +
         R"(","cwd":"/tmp/p","transcript_path":"/tmp/p/t.jsonl"})";
}

// A user's home with the task store and the Claude hook record the tool keeps in it.
struct Home {
  testing::TempDir dir;
  bool mounted = false;
  fs::path lantrel = dir / "Library/Application Support/Lantrel";
  fs::path task = lantrel / "tasks/a.json";
  fs::path record = lantrel / "claude-events" / (session + ".json");

  ~Home() {
    if (mounted) ::umount2(dir.path().c_str(), MNT_DETACH);
  }
  // Runs a shell script with HOME set, the tool as $1 and `args` after it.
  RunResult run(const std::string& script, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"-c", script, "sh", LANTREL_STATUS_BINARY});
    return testing::run("/bin/sh", args, {{"HOME", dir.path()}});
  }
  RunResult tool(const std::string& command, const std::string& prefix = "") {
    return run(prefix + R"( "$1" )" + command);
  }
  RunResult hook(std::string_view event, const std::string& prefix = "") {
    return run(prefix + R"( printf '%s' "$2" | "$1" claude-hook)", {hookEvent(event)});
  }
  // Runs `body` `count` times (fewer in slow builds) in a background shell loop.
  std::future<RunResult> loop(int count, const std::string& body,
                              std::vector<std::string> args = {}) {
    std::string script = "i=0; while [ $i -lt " + std::to_string(count / LANTREL_STRESS_DIVISOR) +
                         " ]; do i=$((i+1)); " + body + "\ndone";
    return std::async(std::launch::async, [=, this] { return run(script, args); });
  }
  // Mounts a 64 kB tmpfs on the home and fills it.
  bool fillSmallDisk() {
    if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0) return false;
    mounted = true;
    EXPECT_EQ(tool("set a working first").status, 0);
    EXPECT_EQ(hook("UserPromptSubmit").status, 0);
    std::string block(4096, 'x');
    std::FILE* f = std::fopen((dir / "filler").c_str(), "w");
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
    return true;
  }
  // No left-over temporary (dot) files next to ours.
  void expectNoTemporaries() {
    for (const fs::path& directory : {task.parent_path(), record.parent_path()})
      for (const auto& entry : fs::directory_iterator(directory))
        EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
  }
};

void expectFailure(const RunResult& r, std::string_view reason = "") {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Lantrel status: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
}

// Four heartbeat loops of `set` on the same IDs (one also removing a task),
// a `list` loop and four loops of hooks of one session, while the hook
// records are read in process; not one run fails.
TEST(Stress, ConcurrentRuns) {
  Home home;
  std::vector<std::future<RunResult>> loops;
  // 3 x 1700 + 1100 x 3 runs of set and remove, and 1600 lists: 10,000.
  const std::string beat = R"sh("$1" set "task-$((i % 3))" working "beat $i" >/dev/null)sh"
                           " || echo F";
  for (int i = 0; i < 3; ++i) loops.push_back(home.loop(1700, beat));
  loops.push_back(home.loop(1100, beat + R"sh(; "$1" remove gone || echo F
      "$1" set gone done x >/dev/null || echo F)sh"));
  loops.push_back(home.loop(1600, R"sh("$1" list >/dev/null || echo F)sh"));
  for (int i = 0; i < 4; ++i)
    loops.push_back(home.loop(300, R"sh(printf '%s' "$2" | "$1" claude-hook || echo F
                                        printf '%s' "$3" | "$1" claude-hook || echo F)sh",
                              {hookEvent("UserPromptSubmit"), hookEvent("Stop")}));
  ClaudeHookStore store{home.record.parent_path()};
  int reads = 0;
  for (auto& l : loops)
    while (l.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready && ++reads)
      EXPECT_LE(store.loadAll(Instant::now()).size(), 1u);
  for (auto& l : loops) {
    RunResult r = l.get();
    EXPECT_EQ(r.out, "") << r.err;
  }
  EXPECT_GT(reads, 0);
  EXPECT_EQ(store.loadAll(Instant::now()).size(), 1u);
  home.expectNoTemporaries();
  EXPECT_EQ(home.tool("list").status, 0);
}

TEST(Stress, FullDiskKeepsThePreviousFile) {
  Home home;
  if (!home.fillSmallDisk()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  std::string task = testing::readFile(home.task), record = testing::readFile(home.record);
  expectFailure(home.tool("set a done second"), "No space left on device");
  expectFailure(home.hook("Stop"), "No space left on device");
  EXPECT_EQ(testing::readFile(home.task), task);
  EXPECT_EQ(testing::readFile(home.record), record);
  home.expectNoTemporaries();
}

// Links and directories where our files belong.
TEST(Stress, LinksAndDirectoriesInPlaceOfFiles) {
  Home home;
  auto replaceFiles = [&](auto make) {
    for (const fs::path& file : {home.task, home.record}) fs::remove(file), make(file);
  };
  ASSERT_EQ(home.tool("set a done n").status, 0);
  ASSERT_EQ(home.hook("Stop").status, 0);

  // A link is refused when read, and replaced, never written through.
  testing::writeFile(home.dir / "victim", "keep");
  replaceFiles([&](const fs::path& f) { fs::create_symlink(home.dir / "victim", f); });
  expectFailure(home.tool("list"), "invalidRecord");
  EXPECT_EQ(home.tool("set a done n").status, 0);
  EXPECT_EQ(home.hook("Stop").status, 0);
  EXPECT_EQ(testing::readFile(home.dir / "victim"), "keep");
  EXPECT_FALSE(fs::is_symlink(home.task) || fs::is_symlink(home.record));

  // A directory in place of a file: a readable failure, nothing left behind.
  replaceFiles([](const fs::path& f) { fs::create_directory(f); });
  for (const RunResult& r : {home.tool("set a done n"), home.hook("Stop"), home.tool("list")})
    expectFailure(r);
  home.expectNoTemporaries();

  // A file in place of the store's directory.
  testing::writeFile(home.dir / "file", "x");
  expectFailure(home.tool(R"(set a done n --directory "$HOME/file/tasks")"), "Not a directory");
}

// Whatever the umask and whoever owned the old file, what we write is the
// user's alone.
TEST(Stress, UmaskOwnersAndModes) {
  for (std::string umask : {"umask 000;", "umask 077;"}) {
    Home home;
    auto writeBoth = [&](const char* event) {
      ASSERT_EQ(home.tool("set a done n", umask).status, 0);
      ASSERT_EQ(home.hook(event, umask).status, 0);
      for (const fs::path& f : {home.task, home.record}) {
        struct stat st;
        ASSERT_EQ(::lstat(f.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, ::geteuid()) << f;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << f << umask;
      }
    };
    writeBoth("Stop");
    for (fs::path d = home.task.parent_path(); d != home.dir.path(); d = d.parent_path())
      EXPECT_EQ(testing::modeOf(d), 0700u) << d << umask;
    EXPECT_EQ(testing::modeOf(home.record.parent_path()), 0700u) << umask;
    if (::geteuid() != 0) continue;

    // Files of another user, unreadable to anyone: replaced by our own.
    for (const fs::path& f : {home.task, home.record}) {
      ASSERT_EQ(::chown(f.c_str(), 12345, 12345), 0);
      ::chmod(f.c_str(), 0);
    }
    writeBoth("UserPromptSubmit");
  }
}

// Mode 000 only stops a user that is not root: run the tool as one.
TEST(Stress, UnreadableTaskFile) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv"))
    GTEST_SKIP() << "needs root and setpriv to run the tool as another user";
  Home home;
  const std::string asUser = "setpriv --reuid=12345 --regid=12345 --clear-groups";
  ASSERT_EQ(::chown(home.dir.path().c_str(), 12345, 12345), 0);
  ASSERT_EQ(home.tool("set a done n", asUser).status, 0);
  ::chmod(home.task.c_str(), 0);
  expectFailure(home.tool("list", asUser), "Permission denied");
  EXPECT_EQ(home.tool("set a working n", asUser).status, 0);
  EXPECT_EQ(home.tool("list", asUser).status, 0);
}

}  // namespace
}  // namespace lantrel
