// `lantrel-status codex` on a generated Codex home and desktop log, dated around the real clock.
#include <gtest/gtest.h>

#include "codex_fixtures.hpp"

namespace lantrel {
namespace {

using namespace testing::codex;

TEST(CodexCLI, PrintsEachTaskWithItsVisibleState) {
  testing::TempDir home;
  CodexHome codex;
  string day = Instant::now().iso8601().substr(0, 10), id = "43f1b1a0-0000-4000-8000-00000000000";
  day[4] = day[7] = '/';
  double now = std::floor(Instant::now() - base);  // in fixture seconds
  const string lines[] = {event(now - 30, "task_started"), event(now - 600, "task_started"),
                          event(now - 90, "task_started") + event(now - 60, "task_complete"),
                          event(now - 90, "task_started")};
  for (int i = 0; i < 4; ++i)
    codex.addTranscript(id + char('0' + i) + ".jsonl", id + char('0' + i), lines[i],
                        now - i + base.unixSeconds());
  codex.addThreadName(id + "0", "Build\tthe\napp");
  codex.addThreadName(id + "2", "Release notes");
  testing::writeFile(home / "Library/Logs/com.openai.codex" / day / "codex-desktop-1-t0-a.log",
                     shown(now - 20, id + "3", "7", "commandExecution"));
  testing::writeFile(codex / ".codex-global-state.json",
                     R"({"thread-project-assignments":{")" + id + R"(0":{"projectKind":"local",)"
                     R"("projectId":"p"}},"local-projects":{"p":{"name":"Lantrel"}}})");
  // No unread set in the global state: every finished task is unread.
  std::map<string, string> env = {{"HOME", home.path()}, {"CODEX_HOME", codex.path()}};
  testing::RunResult r = testing::run(LANTREL_STATUS_BINARY, {"codex"}, env, {}, home.path());
  EXPECT_EQ(std::tie(r.status, r.err), std::make_tuple(0, string()));
  EXPECT_EQ(r.out, "Working\tBuild the app\tLantrel\n"
                   "Unknown / disconnected\tCodex task 43f1b1a0\t\n"
                   "Finished · unread\tRelease notes\t\n"
                   "Needs your attention\tCodex task 43f1b1a0\t\n");
}

}  // namespace
}  // namespace lantrel
