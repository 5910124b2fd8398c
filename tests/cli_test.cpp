// Black-box tests of lantrel-status: a temporary HOME, exact output bytes,
// exit codes and files.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include "lantrel/status_store.hpp"
#include "test_support.hpp"

using namespace lantrel;
using namespace lantrel::testing;

class CLI : public ::testing::Test {
 protected:
  TempDir home;
  fs::path tasks = home / "Library/Application Support/Lantrel/tasks";
  RunResult tool(const std::vector<std::string>& args) {
    return run(LANTREL_STATUS_BINARY, args, {{"HOME", home.path()}}, {}, home.path());
  }
  RunResult shell(const std::string& script) {  // the tool is $1
    return run("/bin/sh", {"-c", script, "sh", LANTREL_STATUS_BINARY}, {{"HOME", home.path()}});
  }
  const std::string usage = tool({"--help"}).out;
};

TEST_F(CLI, HelpAndRefusedCommandLines) {
  EXPECT_EQ(usage.rfind("lantrel-status set ID working|waiting|done|failed|unknown NAME", 0), 0u);
  using Args = std::vector<std::string>;
  for (auto [args, error] : std::initializer_list<std::pair<Args, const char*>>{
           {{}, "invalidRecord"}, {{"set", "a", "working"}, "invalidRecord"},
           {{"set", "a", "Working", "n"}, "invalidRecord"}, {{"remove", "a", "b"}, "invalidRecord"},
           {{"set", "a b", "done", " \t\n"}, "invalidRecord"},  // a blank name, before the ID
           {{"set", "a b", "done", "n"}, "invalidID"}, {{"remove", "../x"}, "invalidID"}}) {
    RunResult r = tool(args);
    EXPECT_EQ(std::tuple(r.status, r.out, r.err),
              std::tuple(1, "", "Lantrel status: " + std::string(error) + "\n" + usage))
        << ::testing::PrintToString(args);
  }
  EXPECT_FALSE(fs::exists(home / "Library"));  // no refusal wrote anything
}

TEST_F(CLI, SetListAndRemove) {
  RunResult r = tool({"set", "build-1", "working", "  Nightly build "});
  EXPECT_EQ(std::tuple(r.status, r.out, r.err), std::tuple(0, "Working:   Nightly build \n", ""));
  EXPECT_EQ(tool({"set", "build-1", "unread", "n"}).out, "Finished · unread: n\n");
  EXPECT_EQ(tool({"list"}).out, encodePretty(StatusStore{tasks}.load()) + "\n");
  r = tool({"remove", "build-1"});
  EXPECT_EQ(std::tuple(r.status, r.out + r.err, tool({"list"}).out), std::tuple(0, "", "[]\n"));
  // The directory option goes anywhere.
  EXPECT_EQ(tool({"set", "b", "done", "n", "--directory", "two"}).status, 0);
  EXPECT_EQ(StatusStore{home / "two"}.load().at(0).name, "n");
}

// What the tool prints reaches the caller whole, or the run fails.
TEST_F(CLI, OutputThatCannotBeDeliveredFailsTheRun) {
  for (int i = 0; i < 30; ++i) {  // more than a pipe holds
    TaskStatus task("t" + std::to_string(i), "n", LightState::done, Instant{1}, "Local status");
    task.projectName = std::string(4000, 'p');
    StatusStore{tasks}.write(task);
  }
  std::string whole = tool({"list"}).out;
  // A non-blocking pipe, as an event-loop caller hands it over, read only once it is full.
  int ends[2], queued = 0, status = 0;
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
  std::string homeVariable = "HOME=" + home.path().string();
  char* argv[] = {const_cast<char*>(LANTREL_STATUS_BINARY), const_cast<char*>("list"), nullptr};
  char* envp[] = {homeVariable.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  pid_t pid, ended = 0;
  ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  for (int ms = 0; ms < 20000 && ::ioctl(ends[0], FIONREAD, &queued) == 0 &&
                   queued < ::fcntl(ends[0], F_GETPIPE_SZ) &&
                   !(ended = ::waitpid(pid, &status, WNOHANG));
       ++ms)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::string out;
  char buffer[65536];
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  if (ended == 0) ::waitpid(pid, &status, 0);
  EXPECT_TRUE(whole.size() > 100000 && out == whole && WIFEXITED(status) && !WEXITSTATUS(status));

  const std::string lost = "Lantrel status: cannot write standard output: ";
  for (std::string command : {"list", "set a done n"}) {
    for (auto [redirect, reason] : {std::pair{">/dev/full", "No space left on device"},
                                    {">&-", "Bad file descriptor"}}) {
      RunResult r = shell("\"$1\" " + command + " " + redirect);
      EXPECT_EQ(std::tuple(r.status, r.err), std::tuple(1, lost + reason + "\n" + usage)) << r.err;
    }
  }
  EXPECT_TRUE(fs::exists(tasks / "a.json"));  // stored before its confirmation was lost
  RunResult closedPipe = shell("trap '' PIPE; { \"$1\" list; echo exit $? >&2; } | head -c1");
  EXPECT_EQ(closedPipe.err, lost + "Broken pipe\n" + usage + "exit 1\n");
}

// A full disk fails the write whole: exit 1, the reason said, the previous record intact.
TEST_F(CLI, AFullDiskKeepsThePreviousRecord) {
  fs::create_directories(tasks);
  if (::geteuid() != 0 || ::mount("lantrel", tasks.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "needs root to mount a small file system";
  EXPECT_EQ(tool({"set", "a", "done", "first"}).status, 0);
  std::ofstream filler(tasks / "filler");
  for (std::string block(4096, 'f'); filler.write(block.data(), 4096) && filler.flush();) {}
  RunResult r = tool({"set", "a", "working", "second"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  EXPECT_EQ(StatusStore{tasks}.load().at(0).name, "first");
  EXPECT_EQ(std::distance(fs::directory_iterator(tasks), {}), 2);  // no temporary file left
  ::umount2(tasks.c_str(), MNT_DETACH);
}
