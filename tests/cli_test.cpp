// Black-box tests of lantrel-status: a temporary HOME, exact output bytes,
// exit codes, files and modes.
#include <gtest/gtest.h>

#include "lantrel/status_store.hpp"
#include "lantrel/task_status.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using testing::RunResult;
using testing::TempDir;

const std::string usage =
    "lantrel-status set ID working|waiting|done|failed|unknown NAME [--directory PATH]\n"
    "lantrel-status remove ID [--directory PATH]\n"
    "lantrel-status list [--directory PATH]\n"
    "lantrel-status codex\n"
    "lantrel-status claude-hook\n"
    "\n"
    "IDs use letters, digits, hyphens and underscores. Quote multi-word names.\n"
    "Working/waiting signals expire to unknown after 5 minutes; repeat set as a heartbeat.\n"
    "Files stay local. No Codex settings or shell profiles are changed. Claude hooks write "
    "status metadata only.";

class CLI : public ::testing::Test {
 protected:
  TempDir home;
  fs::path tasks() const { return home / "Library/Application Support/Lantrel/tasks"; }
  RunResult tool(const std::vector<std::string>& args) {
    return testing::run(LANTREL_STATUS_BINARY, args, {{"HOME", home.path().string()}}, {},
                        home.path());
  }
  void expectError(const std::vector<std::string>& args, const std::string& text) {
    RunResult r = tool(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Lantrel status: " + text + "\n" + usage + "\n");
  }
};

TEST_F(CLI, HelpAndRefusedCommandLines) {
  RunResult help = tool({"--help", "extra", "words"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, usage + "\n");
  EXPECT_EQ(tool({"-h"}).out, usage + "\n");
  expectError({}, "invalidRecord");
  expectError({"help"}, "invalidRecord");
  expectError({"set", "a", "working"}, "invalidRecord");
  expectError({"set", "a", "Working", "n"}, "invalidRecord");
  expectError({"set", "a", "done", " \t\n"}, "invalidRecord");
  expectError({"list", "--directory"}, "invalidRecord");
  expectError({"list", "--directory", "x", "--directory", "y"}, "invalidRecord");
  expectError({"remove"}, "invalidRecord");
  expectError({"set", "a b", "done", "n"}, "invalidID");
  expectError({"remove", "../x"}, "invalidID");
  expectError({"set", "\xFF", "done", "n"}, "invalidID");
  EXPECT_FALSE(fs::exists(home / "Library"));  // no refusal wrote anything
}

TEST_F(CLI, SetWritesTheTaskAndConfirms) {
  RunResult r = tool({"set", "build-1", "working", "  Nightly build "});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "Working:   Nightly build \n");
  fs::path file = tasks() / "build-1.json";
  EXPECT_EQ(testing::modeOf(file), 0600u);
  EXPECT_EQ(testing::modeOf(home / "Library"), 0700u);
  TaskStatus stored = TaskStatus::decode(testing::readFile(file));
  EXPECT_EQ(stored.name, "  Nightly build ");
  EXPECT_EQ(stored.source, "Local status");
  EXPECT_NEAR(stored.updatedAt.seconds, Instant::now().seconds, 30);

  EXPECT_EQ(tool({"set", "build-1", "unread", "n"}).out, "Finished · unread: n\n");
  EXPECT_EQ(tool({"set", "build-1", "done", "n"}).out, "Finished · read: n\n");
  // Invalid UTF-8 in the name is repaired, in the file and on the screen.
  EXPECT_EQ(tool({"set", "build-1", "failed", "bad\xFFname"}).out, "Failed: bad\uFFFDname\n");
  EXPECT_EQ(TaskStatus::decode(testing::readFile(file)).name, "bad\uFFFDname");
}

TEST_F(CLI, DirectoryOptionAnywhere) {
  EXPECT_EQ(tool({"--directory", "one", "set", "a", "done", "n"}).status, 0);
  EXPECT_EQ(tool({"set", "b", "done", "n", "--directory", "two"}).status, 0);
  EXPECT_TRUE(fs::exists(home / "one/a.json"));
  EXPECT_TRUE(fs::exists(home / "two/b.json"));
  EXPECT_FALSE(fs::exists(tasks()));
}

TEST_F(CLI, ListPrintsSortedPrettyJSON) {
  RunResult empty = tool({"list"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "[]\n");
  testing::writeFile(tasks() / "a.json",
                     R"({"id":"a","name":"x/\u0007","state":"done","updatedAt":12.5,)"
                     R"("source":"Local status","projectName":"p"})");
  RunResult r = tool({"list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "[\n  {\n"
            "    \"id\" : \"a\",\n"
            "    \"name\" : \"x\\/\\u0007\",\n"
            "    \"projectName\" : \"p\",\n"
            "    \"source\" : \"Local status\",\n"
            "    \"state\" : \"done\",\n"
            "    \"updatedAt\" : 12.5\n"
            "  }\n]\n");
  testing::writeFile(tasks() / "b.json", R"({"id":"c","name":"x","state":"done","updatedAt":1,"source":"s"})");
  expectError({"list"}, "invalidRecord");
}

TEST_F(CLI, RemoveIsSilent) {
  RunResult never = tool({"remove", "never-set"});
  EXPECT_EQ(never.status, 0);
  EXPECT_EQ(never.out + never.err, "");
  tool({"set", "a", "done", "n"});
  EXPECT_EQ(tool({"remove", "a"}).out, "");
  EXPECT_FALSE(fs::exists(tasks() / "a.json"));
}

TEST_F(CLI, FileSystemErrorsEndWithTheirDescription) {
  testing::writeFile(home / "blocked", "a file where the directory belongs");
  RunResult r = tool({"set", "a", "done", "n", "--directory", "blocked"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Lantrel status: ", 0), 0u);
  EXPECT_NE(r.err.find("blocked"), std::string::npos);
  EXPECT_NE(r.err.find("\n" + usage + "\n"), std::string::npos);
}

// Standard output as an event-loop program hands it over: a non-blocking
// pipe, read only after a second. Returns what arrived and the exit status.
std::pair<std::string, int> throughNonBlockingPipe(const fs::path& home,
                                                   std::vector<std::string> args) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
  std::string homeVariable = "HOME=" + home.string();
  args.insert(args.begin(), LANTREL_STATUS_BINARY);
  std::vector<char*> argv, envp = {homeVariable.data(), nullptr};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  pid_t pid;
  int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  if (rc != 0) throw std::runtime_error("spawn failed");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::string out;
  char buffer[65536];
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  ::close(ends[0]);
  int status;
  ::waitpid(pid, &status, 0);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// What the tool prints reaches the caller whole, or the run fails.
TEST_F(CLI, OutputThatCannotBeDeliveredFailsTheRun) {
  StatusStore store{tasks()};
  for (int i = 0; i < 30; ++i) {  // more than a pipe holds
    TaskStatus task("t" + std::to_string(i), "n", LightState::done, Instant{1}, "Local status");
    task.projectName = std::string(4000, 'p');
    store.write(task);
  }
  std::string whole = tool({"list"}).out;
  ASSERT_GT(whole.size(), 100000u);
  EXPECT_EQ(throughNonBlockingPipe(home.path(), {"list"}), std::make_pair(whole, 0));

  auto shell = [&](const std::string& script) {
    return testing::run("/bin/sh", {"-c", script, "sh", LANTREL_STATUS_BINARY},
                        {{"HOME", home.path().string()}});
  };
  const std::string lost = "Lantrel status: cannot write standard output: ";
  for (std::string command : {"list", "--help", "set a done n"}) {
    for (auto [redirect, reason] : {std::pair{">/dev/full", "No space left on device"},
                                    {">&-", "Bad file descriptor"}}) {
      RunResult r = shell("\"$1\" " + command + " " + redirect);
      EXPECT_EQ(r.status, 1) << command << redirect;
      EXPECT_EQ(r.err, lost + reason + "\n" + usage + "\n") << command << redirect;
    }
  }
  // A record is stored before its confirmation is printed, and stays.
  EXPECT_TRUE(fs::exists(tasks() / "a.json"));
  EXPECT_EQ(shell("\"$1\" remove a >&-").status, 0);  // nothing to print, nothing lost

  RunResult closedPipe =
      shell("trap '' PIPE; { \"$1\" list; echo \"exit $?\" >&2; } | head -c1 >/dev/null");
  EXPECT_EQ(closedPipe.err, lost + "Broken pipe\n" + usage + "\nexit 1\n");
}

}  // namespace
}  // namespace lantrel
