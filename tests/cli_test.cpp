// Black-box tests of lantrel-status: a temporary HOME, exact output bytes,
// exit codes and files.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "lantrel/status_store.hpp"
#include "test_support.hpp"

using namespace lantrel;
using lantrel::testing::RunResult;
namespace fs = std::filesystem;

class CLI : public ::testing::Test {
 protected:
  lantrel::testing::TempDir home;
  fs::path tasks = home / "Library/Application Support/Lantrel/tasks";
  RunResult tool(const std::vector<std::string>& args) {
    return lantrel::testing::run(LANTREL_STATUS_BINARY, args, {{"HOME", home.path()}}, {}, home.path());
  }
  RunResult shell(const std::string& script) {  // the tool is $1
    return lantrel::testing::run("/bin/sh", {"-c", script, "sh", LANTREL_STATUS_BINARY}, {{"HOME", home.path()}});
  }
  const std::string usage = tool({"--help"}).out;
};

TEST_F(CLI, HelpAndRefusedCommandLines) {
  EXPECT_EQ(usage.rfind("lantrel-status set ID working|waiting|done|failed|unknown NAME [--directory PATH]\n", 0), 0u);
  RunResult help = tool({"-h", "extra", "words"});
  EXPECT_EQ(std::tuple(help.status, help.out, help.err), std::tuple(0, usage, ""));
  for (auto [args, error] : std::initializer_list<std::pair<std::vector<std::string>, const char*>>{
           {{}, "invalidRecord"}, {{"help"}, "invalidRecord"}, {{"set", "a", "working"}, "invalidRecord"},
           {{"set", "a", "Working", "n"}, "invalidRecord"}, {{"set", "a", "done", "n", "x"}, "invalidRecord"},
           {{"set", "a b", "done", " \t\n"}, "invalidRecord"},  // a blank name, before the ID is looked at
           {{"list", "--directory"}, "invalidRecord"}, {{"list", "--directory", "x", "--directory", "y"}, "invalidRecord"},
           {{"list", "x"}, "invalidRecord"}, {{"remove"}, "invalidRecord"}, {{"remove", "a", "b"}, "invalidRecord"},
           {{"codex", "x"}, "invalidRecord"}, {{"claude-hook", "x"}, "invalidRecord"},
           {{"set", "a b", "done", "n"}, "invalidID"}, {{"remove", "../x"}, "invalidID"}, {{"set", "\xFF", "done", "n"}, "invalidID"}}) {
    RunResult r = tool(args);
    EXPECT_EQ(std::tuple(r.status, r.out, r.err), std::tuple(1, "", "Lantrel status: " + std::string(error) + "\n" + usage))
        << ::testing::PrintToString(args);
  }
  EXPECT_FALSE(fs::exists(home / "Library"));  // no refusal wrote anything
}

TEST_F(CLI, SetWritesTheTaskAndConfirms) {
  RunResult r = tool({"set", "build-1", "working", "  Nightly build "});
  EXPECT_EQ(std::tuple(r.status, r.out, r.err), std::tuple(0, "Working:   Nightly build \n", ""));
  TaskStatus stored = StatusStore{tasks}.load().at(0);
  EXPECT_EQ(stored.name + "|" + stored.source, "  Nightly build |Local status");
  EXPECT_NEAR(stored.updatedAt.seconds, Instant::now().seconds, 30);
  EXPECT_EQ(tool({"set", "build-1", "unread", "n"}).out + tool({"set", "build-1", "done", "n"}).out,
            "Finished · unread: n\nFinished · read: n\n");
  // Invalid UTF-8 in the name is repaired, in the file and on the screen.
  EXPECT_EQ(tool({"set", "build-1", "failed", "bad\xFFname"}).out, "Failed: bad\uFFFDname\n");
  EXPECT_EQ(StatusStore{tasks}.load().at(0).name, "bad\uFFFDname");
  // The directory option goes anywhere.
  EXPECT_EQ(tool({"--directory", "one", "set", "a", "done", "n"}).status + tool({"set", "b", "done", "n", "--directory", "two"}).status, 0);
  EXPECT_TRUE(fs::exists(home / "one/a.json") && fs::exists(home / "two/b.json"));
}

TEST_F(CLI, ListAndRemove) {
  EXPECT_EQ(tool({"list"}).out, "[]\n");
  lantrel::testing::writeFile(tasks / "a.json", R"({"id":"a","name":"x","state":"done","updatedAt":12.5,"source":"s"})");
  RunResult r = tool({"list"});
  EXPECT_EQ(std::tuple(r.status, r.out, r.err), std::tuple(0, encodePretty(StatusStore{tasks}.load()) + "\n", ""));
  lantrel::testing::writeFile(tasks / "b.json", R"({"id":"c","name":"x","state":"done","updatedAt":1,"source":"s"})");
  EXPECT_EQ(tool({"list"}).err, "Lantrel status: invalidRecord\n" + usage);
  RunResult removed = tool({"remove", "a"});
  EXPECT_EQ(std::tuple(removed.status, removed.out + removed.err), std::tuple(0, ""));
  EXPECT_FALSE(fs::exists(tasks / "a.json"));
  EXPECT_EQ(tool({"remove", "never-set"}).status, 0);
}

// What the tool prints reaches the caller whole, or the run fails.
TEST_F(CLI, OutputThatCannotBeDeliveredFailsTheRun) {
  for (int i = 0; i < 30; ++i) {  // more than a pipe holds
    TaskStatus task("t" + std::to_string(i), "n", LightState::done, Instant{1}, "Local status");
    task.projectName = std::string(4000, 'p');
    StatusStore{tasks}.write(task);
  }
  std::string whole = tool({"list"}).out;
  ASSERT_GT(whole.size(), 100000u);
  // A non-blocking pipe, as an event-loop caller hands it over, read only once it is full.
  int ends[2];
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
  int capacity = ::fcntl(ends[0], F_GETPIPE_SZ), queued = 0, status = 0;
  for (int ms = 0; ms < 20000 && ::ioctl(ends[0], FIONREAD, &queued) == 0 && queued < capacity &&
                   (ended = ::waitpid(pid, &status, WNOHANG)) == 0; ++ms)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::string out;
  char buffer[65536];
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  ::close(ends[0]);
  if (ended == 0) ::waitpid(pid, &status, 0);
  EXPECT_TRUE(out == whole && WIFEXITED(status) && WEXITSTATUS(status) == 0) << out.size() << " " << status;

  const std::string lost = "Lantrel status: cannot write standard output: ";
  for (std::string command : {"list", "--help", "set a done n"}) {
    for (auto [redirect, reason] : {std::pair{">/dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}}) {
      RunResult r = shell("\"$1\" " + command + " " + redirect);
      EXPECT_EQ(std::tuple(r.status, r.err), std::tuple(1, lost + reason + "\n" + usage)) << command << redirect;
    }
  }
  EXPECT_TRUE(fs::exists(tasks / "a.json"));  // stored before its confirmation was lost
  EXPECT_EQ(shell("\"$1\" remove a >&-").status, 0);  // nothing to print, nothing lost
  EXPECT_EQ(shell("\"$1\" list >&- 2>&-").status, 1);
  RunResult closedPipe = shell("trap '' PIPE; { \"$1\" list; echo \"exit $?\" >&2; } | head -c1 >/dev/null");
  EXPECT_EQ(closedPipe.err, lost + "Broken pipe\n" + usage + "exit 1\n");
}
