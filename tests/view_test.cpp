// Black-box tests of lantrel on a copy of the bundled sample home, which holds
// every source (local tasks, Codex, Claude with a hook record, an Orca pane),
// at the sample's own fixed instant.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include "lantrel/instant.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using testing::RunResult;

const std::string now = "2025-10-01T09:45:00Z";
const std::string claude = "claude-5d0c7e3a-1f42-4b8e-9a61-2c7d9e4f1a0";  // + 1 (in Orca) to 3
const std::string codex = "codex-0199a3f2-5b1c-7d2e-8f90-1a2b3c4d5e0";    // + 1 to 6
const fs::path data = LANTREL_TEST_DATA;

class View : public ::testing::Test {
 protected:
  testing::TempDir home;
  std::map<std::string, std::string> env{
      {"HOME", home.path().string()}, {"LANTREL_NOW", now}, {"CODEX_HOME", ""}};
  fs::path ours(const std::string& file) { return home / "Library/Application Support" / file; }
  void SetUp() override {
    fs::remove_all(home.path());
    fs::copy(LANTREL_SAMPLE_HOME, home.path(), fs::copy_options::recursive);
    // Sources read only files modified within the day before now.
    for (const auto& entry : fs::recursive_directory_iterator(home.path()))
      testing::touch(entry.path(), Instant::parseISO8601(now)->unixSeconds() - 60);
  }
  RunResult tool(std::vector<std::string> args, std::map<std::string, std::string> more = {}) {
    more.insert(env.begin(), env.end());
    return testing::run(LANTREL_BINARY, args, more, {}, home.path());
  }
};

TEST_F(View, ShowsEverySourceInMenuOrder) {
  RunResult r = tool({});
  EXPECT_EQ(r.out + r.err + std::to_string(r.status), testing::readFile(data / "view.txt") + "0");
  EXPECT_EQ(tool({"--json"}).out, testing::readFile(data / "view.json"));
  // The last hour leaves out the backup job that failed before it.
  EXPECT_EQ(tool({"--window", "1"}).out.rfind("3 Waiting · 1 Failed · 3 Finished\n", 0), 0u);
  EXPECT_EQ(tool({"--window", "24"}).status, 0);  // the widest window allowed
}

TEST_F(View, ReadMarksAreSavedInTheirOwnStateAndShown) {
  EXPECT_EQ(tool({"read", claude + "3", "nope"}).err, "lantrel: no task has the ID nope\n");
  EXPECT_FALSE(fs::exists(ours("Lantrel/claude-read-state.json")));  // refused before writing
  RunResult r = tool({"read", claude + "1", claude + "3"});
  EXPECT_EQ(r.out + r.err + std::to_string(r.status), "Finished · read: Write unit tests for the "
            "settings store\nFinished · read: Sync crash triage\n0");
  EXPECT_NE(tool({"--json"}).out.find(R"(green":3})"), std::string::npos);  // both now read
  // A read state that cannot be read is never replaced.
  testing::writeFile(ours("Lantrel/claude-read-state.json"), "{}");
  r = tool({"read", "--all"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("\nlantrel: cannot mark " + claude + "3 read: "), std::string::npos);
  EXPECT_EQ(testing::readFile(ours("Lantrel/claude-read-state.json")), "{}");
}

TEST_F(View, OpensOrcaPanesThroughItsToolAndPrintsOtherDestinations) {
  fs::copy(data / "orca", home / "orca");  // a fake of Orca's tool
  RunResult r = tool({"open", claude + "1"}, {{"PATH", home.path().string() + ":/bin"}});
  EXPECT_EQ(r.out + r.err, "Opened in Orca: Write unit tests for the settings store\n");
  EXPECT_EQ(tool({"open", codex + "3"}).out,
            "codex://threads/0199a3f2-5b1c-7d2e-8f90-1a2b3c4d5e03\n");
  r = tool({"open", "backup-job"});
  EXPECT_EQ(r.err + std::to_string(r.status), "lantrel: backup-job has nothing to open\n1");
}

TEST_F(View, LeavesOutABrokenSourceAndRefusesBadCommandLines) {
  const std::pair<fs::path, std::string> broken[] = {
      {ours("Lantrel/tasks/x.json"), "Local tasks ("},
      {ours("Orca/agent-hooks/last-status.json"), "Orca panes ("},
      {ours("Lantrel/orca-state.json"), "Orca read state ("}};
  for (const auto& [file, problem] : broken) {
    testing::writeFile(file, "[");
    RunResult r = tool({});  // one line on the problem, and the rest still shows
    EXPECT_EQ(r.err.rfind("lantrel: " + problem, 0) + r.status + r.err.find('\n') + 1,
              r.err.size());
    EXPECT_NE(r.out.find("Sync crash triage"), std::string::npos);
    SetUp();
  }
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--bogus"}, "unknown option --bogus"}, {{"--window", "3"}, "invalid --window hours '3'"},
      {{"--watch", "0"}, "invalid --watch interval '0'"},
      {{"read"}, "read needs task IDs or --all"},
      {{"open", "a", "b"}, "open needs one task ID"}, {{"list"}, "unexpected argument list"}};
  for (const auto& [args, error] : refused) {
    RunResult r = tool(args);
    EXPECT_EQ(r.out + r.err + std::to_string(r.status), "lantrel: " + error + "\n1");
  }
}

// The watch on a terminal: coloured, and the terminal as it was once q ends it.
TEST_F(View, WatchOnATerminalRestoresItOnQuit) {
  std::string homeVariable = "HOME=" + home.path().string(), nowVariable = "LANTREL_NOW=" + now;
  const char* envp[] = {homeVariable.c_str(), nowVariable.c_str(), "TERM=xterm", nullptr};
  int terminal;
  pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) ::execle(LANTREL_BINARY, "lantrel", "--watch", "0.1", nullptr, envp), _exit(127);
  std::string out;
  auto readUntil = [&](const char* text) {
    char buffer[4096];
    pollfd ready = {terminal, POLLIN, 0};
    for (ssize_t n; out.find(text) == std::string::npos && out.size() < 1000000 &&
                    ::poll(&ready, 1, 10000) > 0 && (n = ::read(terminal, buffer, 4096)) > 0;)
      out.append(buffer, static_cast<std::size_t>(n));
  };
  readUntil("q quits");                     // the first frame is drawn
  EXPECT_EQ(::write(terminal, "q", 1), 1);  // no Enter: keys arrive one by one
  readUntil("\001");                        // to the end: the terminal closes as the view exits
  int status;
  ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);  // a view that did not end fails below
  termios after;
  ::tcgetattr(terminal, &after), ::close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), tcflag_t(ICANON | ECHO));
  EXPECT_TRUE(out.ends_with("\033[K\r\n\033[J\033[?7h\033[?25h\033[?1049l")) << out;
  EXPECT_NE(out.find("\033[31m●\033[0m  Needs"), std::string::npos);
}

}  // namespace
}  // namespace lantrel
