// Black-box test of `lantrel-status claude-hook` as Claude Code runs it: the
// hook command that the installer writes, run by the shell.
#include <gtest/gtest.h>

#include "lantrel/claude_hook_store.hpp"
#include "lantrel/claude_integration.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

TEST(ClaudeHookCLI, InstalledHookTakesEventsUpToTheLimit) {
  testing::TempDir root;
  const auto home = root / "it's a home";  // a path the command must quote
  const auto lantrel = home / "Library/Application Support/Lantrel";
  ClaudeIntegration::enable(LANTREL_STATUS_BINARY, home / ".claude/settings.json",
                            lantrel / "bin/lantrel-status");
  auto run = [&](const std::string& input, const std::string& arguments = "") {
    std::string command = ClaudeIntegration::command(lantrel / "bin/lantrel-status") + arguments;
    return testing::run("/bin/sh", {"-c", command}, {{"HOME", home.string()}}, input);
  };
  std::string exact = R"({"session_id":"6f9619ff-8b86-d011-b42d-00c04fc964ff",)"
                      R"("hook_event_name":"UserPromptSubmit","cwd":"/p","transcript_path":"/t"})";
  exact.append(ClaudeHookStore::maximumEventBytes - exact.size(), ' ');
  for (const testing::RunResult& r : {run(exact + " "), run(exact, " extra")}) {
    EXPECT_EQ(std::tie(r.status, r.out), std::make_tuple(1, ""));
    EXPECT_TRUE(r.err.starts_with("Lantrel status: invalidRecord\n")) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(lantrel / "claude-events"));
  testing::RunResult ok = run(exact);
  EXPECT_EQ(std::tie(ok.status, ok.out, ok.err), std::make_tuple(0, "", ""));
  auto records = ClaudeHookStore{lantrel / "claude-events"}.loadAll(Instant::now());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].state, LightState::working);
}

}  // namespace
}  // namespace lantrel
