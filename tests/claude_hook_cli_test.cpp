#include <gtest/gtest.h>

#include "lantrel/claude_hook_store.hpp"
#include "lantrel/claude_integration.hpp"
#include "test_support.hpp"

namespace lantrel {

// `lantrel-status claude-hook` as Claude Code runs it: the installed hook command, by the shell.
TEST(ClaudeHookCLI, InstalledHookTakesEventsUpToTheLimit) {
  testing::TempDir root;
  const auto home = root / "it's a home", lantrel = home / "Library/Application Support/Lantrel";
  ClaudeIntegration::enable(LANTREL_STATUS_BINARY, home / ".claude/settings.json", lantrel / "t");
  std::string exact = R"({"session_id":"6f9619ff-8b86-d011-b42d-00c04fc964ff",)"
                      R"("hook_event_name":"UserPromptSubmit","cwd":"/p","transcript_path":"/t"})";
  exact.append(ClaudeHookStore::maximumEventBytes - exact.size(), ' ');
  auto run = [&](const std::string& input) {
    auto r = testing::run("/bin/sh", {"-c", ClaudeIntegration::command(lantrel / "t")},
                          {{"HOME", home.string()}}, input);
    return std::to_string(r.status) + r.out + "|" + r.err.substr(0, r.err.find('\n') + 1);
  };
  EXPECT_EQ(run(exact + " "), "1|Lantrel status: invalidRecord\n");
  EXPECT_EQ(run(exact), "0|");
  EXPECT_EQ(ClaudeHookStore{lantrel / "claude-events"}.loadAll(Instant::now()).size(), 1u);
}

}  // namespace lantrel
