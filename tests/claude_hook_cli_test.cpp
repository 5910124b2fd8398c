// Black-box tests of `lantrel-status claude-hook`, down to a user's machine:
// hooks installed by the library, run by the shell as Claude Code runs them.
#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "lantrel/claude_hook_store.hpp"
#include "lantrel/claude_integration.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::RunResult;
using testing::TempDir;

const std::string session = "6f9619ff-8b86-d011-b42d-00c04fc964ff";

json event(const std::string& name, const fs::path& home, json extra = json::object()) {
  json e = {{"session_id", session},
            {"transcript_path", (home / ".claude/projects/-p/" / (session + ".jsonl")).string()},
            {"cwd", (home / "project").string()},
            {"permission_mode", "default"},
            {"hook_event_name", name}};
  e.update(extra);
  return e;
}

class ClaudeHookCLI : public ::testing::Test {
 protected:
  TempDir root;
  fs::path home = root / "home";

  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);  // the tool stops reading oversized input
    fs::create_directories(home);
  }
  fs::path events() const { return home / "Library/Application Support/Lantrel/claude-events"; }
  RunResult hook(const std::string& input, std::vector<std::string> args = {"claude-hook"}) {
    return testing::run(LANTREL_STATUS_BINARY, args, {{"HOME", home.string()}}, input);
  }
  std::vector<ClaudeHookRecord> records() const {
    return ClaudeHookStore{events()}.loadAll(Instant::now());
  }
};

// The user's own settings and hooks, which must come through untouched.
const char* userSettings = R"json({
  "env": {"DEBUG": "1"},
  "cleanupPeriodDays": 20,
  "hooks": {
    "Stop": [{"hooks": [{"type": "command", "command": "afplay done.aiff"}]}],
    "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "audit-bash",
                                                   "timeout": 30}]}]
  }
})json";

// Installs the hooks into `home` with the freshly built tool, feeds a session
// through them exactly as Claude Code would, and removes them again.
void realUse(const fs::path& home) {
  SCOPED_TRACE(home.string());
  const fs::path settingsURL = home / ".claude/settings.json";
  const fs::path helperURL = home / "Library/Application Support/Lantrel/bin/lantrel-status";
  testing::writeFile(settingsURL, userSettings);
  ClaudeIntegration::enable(LANTREL_STATUS_BINARY, settingsURL, helperURL);
  ASSERT_EQ(ClaudeIntegration::health(settingsURL, helperURL), ClaudeIntegrationHealth::enabled);

  const json settings = json::parse(testing::readFile(settingsURL));
  const std::set<std::string> userCommands = {"afplay done.aiff", "audit-bash"};
  ClaudeHookStore store{home / "Library/Application Support/Lantrel/claude-events"};
  using L = LightState;
  struct Step {
    std::string name;
    json extra;
    std::optional<LightState> state;  // nullopt: no hook of ours runs
    bool pending = false;
  };
  const std::vector<Step> steps = {
      {"UserPromptSubmit", {{"prompt", "SECRET: fix the build"}}, L::working},
      {"PreToolUse", {{"tool_name", "Bash"}, {"tool_input", {{"command", "make"}}}}, std::nullopt},
      {"PostToolUse", {{"tool_name", "Bash"}, {"tool_response", "ok"}}, L::working},
      {"PermissionRequest", {{"tool_name", "Bash"}}, L::waiting, true},
      {"Notification", {{"notification_type", "permission_prompt"}, {"message", "Needs you"}},
       L::waiting, true},
      {"PostToolUse", {{"tool_name", "Bash"}}, L::working},
      {"PreToolUse", {{"tool_name", "AskUserQuestion"}}, L::waiting, true},
      {"PostToolUse", {{"tool_name", "AskUserQuestion"}}, L::working},
      {"Stop", {{"stop_hook_active", false}}, L::done},
      {"Notification", {{"notification_type", "idle_prompt"}}, L::done},
      {"SessionEnd", {{"reason", "prompt_input_exit"}}, L::done},
  };
  LightState expected = L::unknown;
  bool expectedPending = false;
  for (const Step& step : steps) {
    const std::string& name = step.name;
    const json stepEvent = event(name, home, step.extra);
    SCOPED_TRACE(name);
    // Claude Code runs every handler of every group whose matcher fits.
    const std::string subject =
        step.extra.value("tool_name", step.extra.value("notification_type", std::string()));
    int ran = 0;
    for (const json& group : settings["hooks"].value(name, json::array())) {
      std::string matcher = group.value("matcher", "");
      if (!matcher.empty() && matcher != subject) continue;
      for (const json& handler : group["hooks"]) {
        std::string command = handler["command"];
        if (userCommands.count(command)) continue;
        RunResult r = testing::run("/bin/sh", {"-c", command}, {{"HOME", home.string()}},
                                   stepEvent.dump());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        ++ran;
      }
    }
    EXPECT_EQ(ran, step.state ? 1 : 0);
    if (step.state) {
      expected = *step.state;
      expectedPending = step.pending;
    }
    std::vector<ClaudeHookRecord> records = store.loadAll(Instant::now());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::make_tuple(records[0].sessionID, records[0].state,
                              records[0].confirmedAttentionPending, records[0].cwd),
              std::make_tuple(session, expected, expectedPending, (home / "project").string()));
  }
  // Status metadata only: six keys, no prompt, no tool input.
  std::string stored = testing::readFile(store.directory / (session + ".json"));
  EXPECT_EQ(json::parse(stored).size(), 6u);
  EXPECT_EQ(stored.find("SECRET"), std::string::npos);
  EXPECT_EQ(stored.find("make"), std::string::npos);

  ClaudeIntegration::disable(settingsURL, helperURL);
  EXPECT_EQ(json::parse(testing::readFile(settingsURL)), json::parse(userSettings));
  EXPECT_EQ(ClaudeIntegration::health(settingsURL, helperURL), ClaudeIntegrationHealth::disabled);
}

TEST_F(ClaudeHookCLI, RealUseThroughInstalledHooks) {
  realUse(home);
  realUse(root / "it's a home");
}

TEST_F(ClaudeHookCLI, InputLimitsAndRefusals) {
  const std::string usageEnd = "Claude hooks write status metadata only.\n";
  auto expectRefused = [&](RunResult r, const std::string& message) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("Lantrel status: " + message)) << r.err;
    EXPECT_TRUE(r.err.ends_with(usageEnd)) << r.err;
  };
  std::string exact = event("UserPromptSubmit", home).dump();
  exact.append(ClaudeHookStore::maximumEventBytes - exact.size(), ' ');
  expectRefused(hook(exact + " "), "invalidRecord\n");
  expectRefused(hook(exact + std::string(1 << 20, ' ')), "invalidRecord\n");
  expectRefused(hook(""), "The hook event isn't valid JSON");
  expectRefused(hook(exact, {"claude-hook", "extra"}), "invalidRecord\n");
  EXPECT_FALSE(fs::exists(home / "Library"));

  RunResult ok = hook(exact, {"--directory", "elsewhere", "claude-hook"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out + ok.err, "");
  ASSERT_EQ(records().size(), 1u);
  EXPECT_FALSE(fs::exists("elsewhere"));
  const std::string before = testing::readFile(events() / (session + ".json"));

  json traversal = event("Stop", home, {{"session_id", "../../../../.claude/settings"}});
  expectRefused(hook(traversal.dump()), "invalidRecord\n");
  EXPECT_EQ(testing::readFile(events() / (session + ".json")), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(events()), fs::directory_iterator()), 1);
}

TEST_F(ClaudeHookCLI, ConcurrentHooksLeaveOneValidRecord) {
  const char* names[] = {"UserPromptSubmit", "PermissionRequest", "PostToolUse", "Stop"};
  std::vector<std::thread> threads;
  std::vector<RunResult> results(20);
  for (int i = 0; i < 20; ++i)
    threads.emplace_back([&, i] { results[i] = hook(event(names[i % 4], home).dump()); });
  for (auto& t : threads) t.join();
  for (const RunResult& r : results) EXPECT_EQ(r.status, 0) << r.err;
  std::vector<ClaudeHookRecord> loaded = records();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].sessionID, session);
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(events()))
    files.push_back(entry.path().filename());
  EXPECT_EQ(files, std::vector<std::string>{session + ".json"});  // no temporary file left
}

}  // namespace
}  // namespace lantrel
