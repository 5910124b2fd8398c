// Black-box tests of `lantrel-status codex` on generated Codex homes and
// desktop logs, dated around the real clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "codex_fixtures.hpp"

namespace lantrel {
namespace {

using namespace testing::codex;

TEST(CodexCLI, PrintsEachTaskWithItsVisibleState) {
  testing::TempDir home;
  CodexHome codex;
  auto tool = [&](const std::vector<std::string>& args, bool withCodexHome = true) {
    std::map<std::string, std::string> env{{"HOME", home.path()}, {"CODEX_HOME", withCodexHome ? codex.path() : ""}};
    return testing::run(LANTREL_STATUS_BINARY, args, env, {}, home.path());
  };
  std::string day = Instant::now().iso8601().substr(0, 10), id = "43f1b1a0-0000-4000-8000-00000000000";
  std::replace(day.begin(), day.end(), '-', '/');
  std::filesystem::path log = home / "Library/Logs/com.openai.codex" / day / "codex-desktop-1-t0-a.log";
  double now = std::floor(Instant::now() - base);  // in fixture seconds
  // Without CODEX_HOME the Codex home is ~/.codex.
  testing::writeFile(home / ".codex/sessions/x.jsonl", sessionMeta("53f1b1a0-0000-4000-8000-000000000000"));
  EXPECT_EQ(tool({"codex"}, false).out, "Unknown / disconnected\tCodex task 53f1b1a0\t\n");

  const std::string lines[] = {event(now - 30, "task_started"), event(now - 600, "task_started"),
                               event(now - 90, "task_started") + event(now - 60, "task_complete"), event(now - 90, "task_started")};
  for (int i = 0; i < 4; ++i) codex.addTranscript(id + std::to_string(i) + ".jsonl", id + std::to_string(i), lines[i], now + base.unixSeconds() - i);
  codex.addThreadName(id + "0", "Build\tthe\napp");
  codex.addThreadName(id + "2", "Release notes");
  codex.writeGlobalState({{id + "0", "Lantrel"}});
  testing::writeFile(log, shown(now - 20, id + "3", "7", "commandExecution") + shown(now - 20, id + "0", "8", "fileChange") +
                              sent(now - 10, "8", "item/fileChange/requestApproval"));
  // No unread set in the global state: every finished task is unread.
  testing::RunResult r = tool({"codex", "--directory", "ignored"});
  EXPECT_EQ(std::tie(r.status, r.err), std::make_tuple(0, std::string()));
  EXPECT_EQ(r.out, "Working\tBuild the app\tLantrel\nUnknown / disconnected\tCodex task 43f1b1a0\t\n"
                   "Finished · unread\tRelease notes\t\nNeeds your attention\tCodex task 43f1b1a0\t\n");
  EXPECT_FALSE(std::filesystem::exists(home / "ignored"));
  // With an unread set that leaves the finished task out, it has been read.
  codex.writeGlobalState({{id + "0", "Lantrel"}}, json::array({id + "1"}));
  EXPECT_NE(tool({"codex"}).out.find("Finished · read\tRelease notes\t\n"), std::string::npos);

  r = tool({"codex", "extra"});
  EXPECT_TRUE(r.status == 1 && r.err.starts_with("Lantrel status: invalidRecord\n")) << r.err;
  // A log directory that cannot be listed fails the command, with no task line printed.
  std::filesystem::remove_all(log.parent_path());
  testing::writeFile(log.parent_path(), "not a directory");
  r = tool({"codex"});
  EXPECT_EQ(std::tie(r.status, r.out), std::make_tuple(1, std::string()));
  EXPECT_NE(r.err.find("cannot list directory: Not a directory [" + log.parent_path().string() + "]"), std::string::npos);
}

}  // namespace
}  // namespace lantrel
