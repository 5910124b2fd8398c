// Black-box tests of `lantrel-status codex` on generated Codex homes and
// desktop logs, dated around the real clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "codex_fixtures.hpp"
#include "lantrel/instant.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
namespace fx = testing::codex;
using testing::RunResult;

const std::string working = "43f1b1a0-0000-4000-8000-000000000001";
const std::string stale = "43f1b1a0-0000-4000-8000-000000000002";
const std::string finished = "43f1b1a0-0000-4000-8000-000000000003";
const std::string asking = "43f1b1a0-0000-4000-8000-000000000004";

class CodexCLI : public ::testing::Test {
 protected:
  testing::TempDir home;
  fx::CodexHome codex;
  // Seconds from the fixtures' base instant to now, so that fx:: lines and
  // log lines written at `ago(s)` are s seconds old.
  double nowOffset = Instant::now() - fx::base;
  double ago(double seconds) const { return nowOffset - seconds; }

  RunResult tool(const std::vector<std::string>& args, bool withCodexHome = true) {
    std::map<std::string, std::string> env{{"HOME", home.path().string()}};
    env["CODEX_HOME"] = withCodexHome ? codex.path().string() : "";
    return testing::run(LANTREL_STATUS_BINARY, args, env, {}, home.path());
  }

  // A transcript modified `age` seconds ago; the newest is listed first.
  void addTask(const std::string& id, const std::string& lines, double age) {
    codex.addTranscript(id + ".jsonl", id, lines, Instant::now().unixSeconds() - age);
  }

  // Today's UTC day directory of the desktop log.
  fs::path today() const {
    std::string day = Instant::now().iso8601().substr(0, 10);
    std::replace(day.begin(), day.end(), '-', '/');
    return home / "Library/Logs/com.openai.codex" / day;
  }
};

TEST_F(CodexCLI, PrintsEachTaskWithItsVisibleState) {
  addTask(working, fx::event(ago(30), "task_started"), 1);
  addTask(stale, fx::event(ago(600), "task_started"), 2);
  addTask(finished, fx::event(ago(90), "task_started") + fx::event(ago(60), "task_complete"), 3);
  addTask(asking, fx::event(ago(90), "task_started"), 4);
  codex.addThreadName(working, "Build\tthe\napp");
  codex.addThreadName(finished, "Release notes");
  codex.writeGlobalState({{working, "Lantrel"}});
  testing::writeFile(today() / "codex-desktop-1-t0-a.log", fx::showApproval(ago(20), asking, "7", "commandExecution") +
           fx::showApproval(ago(20), working, "8", "fileChange") +
           fx::sendResponse(ago(10), "8", "item/fileChange/requestApproval"));

  // No unread set in the global state: every finished task is unread.
  RunResult r = tool({"codex", "--directory", "ignored"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Working\tBuild the app\tLantrel\n"
            "Unknown / disconnected\tCodex task 43f1b1a0\t\n"
            "Finished · unread\tRelease notes\t\n"
            "Needs your attention\tCodex task 43f1b1a0\t\n");
  EXPECT_FALSE(fs::exists(home / "ignored"));

  // With an unread set that leaves the finished task out, it has been read.
  std::vector<std::string> unread{stale};
  codex.writeGlobalState({{working, "Lantrel"}}, &unread);
  r = tool({"codex"});
  EXPECT_NE(r.out.find("Finished · read\tRelease notes\t\n"), std::string::npos) << r.out;
}

TEST_F(CodexCLI, DefaultHomeEmptyListsAndFailures) {
  // Without CODEX_HOME the Codex home is ~/.codex.
  EXPECT_EQ(tool({"codex"}, false).out, "");
  testing::writeFile(home / ".codex/sessions/x.jsonl", fx::sessionMeta(working));
  RunResult r = tool({"codex"}, false);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Unknown / disconnected\tCodex task 43f1b1a0\t\n");
  EXPECT_EQ(tool({"codex"}).out, "");  // CODEX_HOME wins, and has no sessions

  r = tool({"codex", "extra"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Lantrel status: invalidRecord\nlantrel-status set", 0), 0u) << r.err;

  // A log directory that cannot be listed fails the command, with no task
  // line printed.
  addTask(working, fx::event(ago(30), "task_started"), 1);
  testing::writeFile(today(), "not a directory");
  r = tool({"codex"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("Lantrel status: filesystem error: cannot list directory: Not a "
                        "directory [" + today().string() + "]\nlantrel-status set",
                        0),
            0u)
      << r.err;
  EXPECT_NE(r.err.find("\nlantrel-status codex\n"), std::string::npos);
}

}  // namespace
}  // namespace lantrel
