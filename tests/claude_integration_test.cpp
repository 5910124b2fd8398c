#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "lantrel/claude_integration.hpp"
#include "lantrel/errors.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using Health = ClaudeIntegrationHealth;

using testing::errorOf;

// A user's settings with values of every kind and hooks of their own.
const std::string userSettings = R"json({
  "model": "opus",
  "cleanupPeriodDays": 30,
  "ratio": 1.5,
  "huge": 1e300,
  "permissions": {"allow": ["Bash(git status)", "Read"], "deny": [], "nested": {"x": null}},
  "unknownFlag": true,
  "hooks": {
    "Stop": [{"matcher": "", "hooks": [{"type": "command", "command": "say done", "timeout": 2.5}],
              "comment": "mine"}],
    "Notification": [{"hooks": [{"type": "command", "command": "notify-send hi"}]}],
    "SubagentStop": "not a list",
    "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "audit"}]},
                   {"matcher": "Edit", "hooks": [{"type": "command", "command": "lint"}]}]
  }
})json";

class Integration : public ::testing::Test {
 protected:
  TempDir home;
  fs::path settings = home / ".claude/settings.json";
  fs::path backup = home / ".claude/settings.json.lantrel-backup";
  fs::path helper = home / "Library/Application Support/Lantrel/bin/lantrel-status";
  fs::path source = home / "build/lantrel-status";
  std::string command = ClaudeIntegration::command(helper);

  void SetUp() override {
    writeFile(source, "#!/bin/sh\nexit 0\n");
    fs::permissions(source, fs::perms::owner_all);
  }
  Health health() const { return ClaudeIntegration::health(settings, helper); }
  void enable() const { ClaudeIntegration::enable(source, settings, helper); }
  void disable() const { ClaudeIntegration::disable(settings, helper); }
  json settingsJSON() const { return json::parse(readFile(settings)); }
  std::size_t ownedCount(const std::string& text) const {
    std::string needle = json(command).dump();
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
      ++count;
    return count;
  }
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    if (fs::exists(helper.parent_path()))
      for (const auto& entry : fs::directory_iterator(helper.parent_path()))
        if (entry.path().filename().string().starts_with(".lantrel-status-"))
          names.push_back(entry.path().filename());
    return names;
  }
};

TEST(ClaudeIntegrationNames, CommandAndHealthNames) {
  EXPECT_EQ(ClaudeIntegration::command("/Users/ana/bin/lantrel-status"),
            "'/Users/ana/bin/lantrel-status' claude-hook");
  EXPECT_EQ(ClaudeIntegration::command("/Users/o'brien/my bin/x"),
            "'/Users/o'\\''brien/my bin/x' claude-hook");
  for (Health h : {Health::disabled, Health::enabled, Health::needsRepair})
    EXPECT_EQ(claudeIntegrationHealth(rawValue(h)), h);
  EXPECT_EQ(rawValue(Health::needsRepair), "Needs repair");
  EXPECT_EQ(claudeIntegrationHealth("enabled"), std::nullopt);
}

TEST_F(Integration, EnableWithoutSettings) {
  EXPECT_EQ(health(), Health::disabled);
  enable();
  for (auto [path, mode] : {std::pair{home / ".claude", 0700u}, {settings, 0600u}, {helper, 0700u},
                            {helper.parent_path(), 0700u}})
    EXPECT_EQ(testing::modeOf(path), mode) << path;
  EXPECT_EQ(readFile(helper), readFile(source));
  EXPECT_FALSE(fs::exists(backup));
  EXPECT_TRUE(leftovers().empty());
  std::string text = readFile(settings);
  EXPECT_EQ(text.back(), '\n');
  json written = json::parse(text);
  ASSERT_EQ(written.size(), 1u);
  const json& hooks = written["hooks"];
  EXPECT_EQ(hooks.size(), 11u);
  std::size_t groups = 0;
  for (const auto& [event, list] : hooks.items()) groups += list.size();
  EXPECT_EQ(groups, 13u);
  EXPECT_EQ(hooks["Notification"][1],
            json::parse(R"({"matcher":"idle_prompt","hooks":[{"type":"command","timeout":5,
                            "command":)" + json(command).dump() + "}]}"));
  EXPECT_EQ(hooks["Stop"][0]["matcher"], "");
  EXPECT_EQ(health(), Health::enabled);
}

TEST_F(Integration, EnableAndDisableKeepTheUsersSettings) {
  writeFile(settings, userSettings);
  const json original = json::parse(userSettings);
  enable();
  EXPECT_EQ(readFile(backup), userSettings);
  EXPECT_EQ(testing::modeOf(backup), 0600u);
  json once = settingsJSON();
  for (const auto& [key, value] : original.items())
    EXPECT_TRUE(key == "hooks" || once[key] == value) << key;
  EXPECT_TRUE(once["cleanupPeriodDays"].is_number_integer());
  const json& hooks = once["hooks"];
  EXPECT_EQ(hooks["Stop"][0], original["hooks"]["Stop"][0]);  // the user's group first
  EXPECT_EQ(hooks["Stop"][1]["hooks"][0]["command"], command);
  EXPECT_EQ(hooks["SubagentStop"], "not a list");
  ASSERT_EQ(hooks["Notification"].size(), 4u);
  EXPECT_EQ(hooks["Notification"][0], original["hooks"]["Notification"][0]);
  for (int i : {1, 2, 3})
    EXPECT_EQ(hooks["Notification"][i]["matcher"],
              (std::array{"permission_prompt", "idle_prompt", "elicitation_dialog"}[i - 1]));
  EXPECT_EQ(hooks["PreToolUse"][1], original["hooks"]["PreToolUse"][1]);
  EXPECT_EQ(hooks["PreToolUse"][2]["matcher"], "AskUserQuestion");
  EXPECT_EQ(ownedCount(readFile(settings)), 13u);

  // Enabling again changes nothing and never duplicates a handler.
  const std::string first = readFile(settings);
  enable();
  EXPECT_EQ(readFile(settings), first);
  EXPECT_EQ(readFile(backup), userSettings);  // unchanged bytes: no new backup
  EXPECT_EQ(health(), Health::enabled);

  disable();
  EXPECT_EQ(settingsJSON(), original);
  EXPECT_EQ(readFile(backup), first);
  EXPECT_EQ(health(), Health::disabled);
  EXPECT_TRUE(fs::exists(helper));  // the helper stays
}

TEST_F(Integration, RepairsPartialInstallation) {
  enable();
  json damaged = settingsJSON();
  damaged["hooks"]["Notification"].erase(1);  // idle prompt deleted by hand
  writeFile(settings, damaged.dump());
  EXPECT_EQ(health(), Health::needsRepair);
  enable();
  EXPECT_EQ(health(), Health::enabled);
  EXPECT_EQ(settingsJSON()["hooks"]["Notification"][2]["matcher"], "elicitation_dialog");

  fs::permissions(helper, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(health(), Health::needsRepair);  // not executable
  fs::remove(helper);
  EXPECT_EQ(health(), Health::needsRepair);
  enable();
  EXPECT_EQ(health(), Health::enabled);
  // Hooks written for another helper path are not ours.
  EXPECT_EQ(ClaudeIntegration::health(settings, home / "other/lantrel-status"), Health::disabled);
  writeFile(settings, "{not json");
  EXPECT_EQ(health(), Health::needsRepair);
  writeFile(settings, "[]");
  EXPECT_EQ(health(), Health::needsRepair);
}

TEST_F(Integration, RemovingHooks) {
  const json mine = {{"type", "command"}, {"command", command}, {"timeout", 5}};
  const json theirs = {{"type", "command"}, {"command", "say hi"}};
  json input = {{"theme", "dark"},
                {"hooks",
                 {{"Stop", {{{"matcher", ""}, {"hooks", {theirs, mine}}, {"note", 1}}}},
                  {"PostToolUse",
                   {{{"hooks", {mine}}}, {{"matcher", "Bash"}, {"hooks", {theirs}}}}},
                  {"SessionEnd", {{{"hooks", {mine}}}}},
                  {"Odd", {{{"matcher", "x"}, {"hooks", "not a list"}}}}}}};
  json output = json::parse(ClaudeIntegration::removingHooks(input.dump(), command));
  json expected = {{"theme", "dark"},
                   {"hooks",
                    {{"Stop", {{{"matcher", ""}, {"hooks", {theirs}}, {"note", 1}}}},
                     {"PostToolUse", {{{"matcher", "Bash"}, {"hooks", {theirs}}}}},
                     {"Odd", {{{"matcher", "x"}, {"hooks", "not a list"}}}}}}};
  EXPECT_EQ(output, expected);
  // Nothing left: the key goes.
  json onlyMine = {{"hooks", {{"Stop", {{{"hooks", {mine}}}}}}}};
  EXPECT_EQ(ClaudeIntegration::removingHooks(onlyMine.dump(), command), "{}\n");
  // A "hooks" value that is not an object is the user's and stays.
  EXPECT_EQ(json::parse(ClaudeIntegration::removingHooks(R"({"hooks":[1]})", command)),
            json::parse(R"({"hooks":[1]})"));

  // disable without a settings file succeeds and creates nothing.
  disable();
  EXPECT_FALSE(fs::exists(home / ".claude"));
}

TEST_F(Integration, AddingHooksRefusals) {
  std::string big = R"({"x":")" + std::string(ClaudeIntegration::maximumSettingsBytes, 'a') + "\"}";
  for (const std::string& data :
       {std::string("[]"), std::string("3"), std::string(R"({"hooks":[]})"),
        std::string(R"({"hooks":{"Stop":{}}})"), std::string(R"({"hooks":{"Stop":[1]}})"),
        std::string(R"({"hooks":{"Stop":null}})"), std::string(600, '[') + std::string(600, ']'),
        big})
    EXPECT_EQ(errorOf([&] { ClaudeIntegration::addingHooks(data, command); }), "invalidRecord")
        << data.substr(0, 40);
  EXPECT_THROW(ClaudeIntegration::addingHooks("{\"a\":", command), DecodingError);
  EXPECT_THROW(ClaudeIntegration::removingHooks("", command), DecodingError);
  // Brackets inside strings are text, not nesting.
  EXPECT_NO_THROW(ClaudeIntegration::addingHooks(R"({"x":")" + std::string(1000, '[') + R"(\""})",
                                                 command));

  // A refused settings file stops enable before anything is copied.
  writeFile(settings, R"({"hooks":{"Stop":"x"}})");
  EXPECT_EQ(errorOf([&] { enable(); }), "invalidRecord");
  EXPECT_FALSE(fs::exists(helper.parent_path()));
  EXPECT_EQ(readFile(settings), R"({"hooks":{"Stop":"x"}})");
}

// Every path under `root` with the bytes of the small regular files.
std::vector<std::pair<std::string, std::string>> snapshot(const fs::path& root) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    files.emplace_back(entry.path(), entry.is_regular_file() && !entry.is_symlink() &&
                                             entry.file_size() < 65536
                                         ? readFile(entry.path())
                                         : "(other)");
  std::sort(files.begin(), files.end());
  return files;
}

TEST_F(Integration, RefusesLinksOddFilesAndOtherOwners) {
  const std::string userText = R"({"hooks":{"Stop":[{"hooks":[{"command":"mine"}]}]}})";
  const bool root = ::geteuid() == 0;  // changing owners needs root
  auto chownOrSkip = [](const fs::path& p) { ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0); };
  struct Case {
    const char* what;
    Health health;
    std::function<void(const fs::path& dir, const fs::path& settings, const fs::path& helper)>
        setUp;
    bool needsRoot = false;
  };
  const Case cases[] = {
      {"settings link", Health::needsRepair, [&](auto& d, auto& settings, auto&) {
         writeFile(d / "real.json", userText);
         fs::create_directories(settings.parent_path());
         fs::create_symlink(d / "real.json", settings);
       }},
      {".claude link", Health::needsRepair, [&](auto& d, auto& settings, auto&) {
         writeFile(d / "real/settings.json", userText);
         fs::create_directory_symlink(d / "real", settings.parent_path());
       }},
      {"settings is a directory", Health::needsRepair,
       [](auto&, auto& settings, auto&) { fs::create_directories(settings); }},
      {"settings oversized", Health::needsRepair, [](auto&, auto& settings, auto&) {
         writeFile(settings,
                   R"({"x":")" + std::string(ClaudeIntegration::maximumSettingsBytes, 'a') + "\"}");
       }},
      {"helper link", Health::disabled, [](auto& d, auto&, auto& helper) {
         writeFile(d / "elsewhere", "old");
         fs::create_directories(helper.parent_path());
         fs::create_symlink(d / "elsewhere", helper);
       }},
      {"helper oversized", Health::disabled, [](auto&, auto&, auto& helper) {
         writeFile(helper, "");
         fs::resize_file(helper, ClaudeIntegration::maximumHelperBytes + 1);  // sparse
       }},
      {"helper directory is a link", Health::disabled, [](auto& d, auto&, auto& helper) {
         fs::create_directories(d / "bin");
         fs::create_directories(helper.parent_path().parent_path());
         fs::create_directory_symlink(d / "bin", helper.parent_path());
       }},
      {"settings of another user", Health::needsRepair, [&](auto&, auto& settings, auto&) {
         writeFile(settings, userText);
         chownOrSkip(settings);
       }, true},
      {".claude of another user", Health::needsRepair, [&](auto&, auto& settings, auto&) {
         writeFile(settings, userText);
         chownOrSkip(settings.parent_path());
       }, true},
      {"helper of another user", Health::disabled, [&](auto&, auto&, auto& helper) {
         writeFile(helper, "old");
         chownOrSkip(helper);
       }, true},
  };
  // Health reports the damage; enable and disable refuse without writing.
  for (const Case& c : cases) {
    if (c.needsRoot && !root) continue;
    SCOPED_TRACE(c.what);
    TempDir fresh;
    settings = fresh / ".claude/settings.json";
    helper = fresh / "Library/Application Support/Lantrel/bin/lantrel-status";
    command = ClaudeIntegration::command(helper);
    c.setUp(fresh.path(), settings, helper);
    auto before = snapshot(fresh.path());
    EXPECT_EQ(health(), c.health);
    EXPECT_EQ(errorOf([&] { enable(); }), "invalidRecord");
    EXPECT_EQ(snapshot(fresh.path()), before);
    if (fs::exists(fs::symlink_status(settings))) {
      EXPECT_EQ(errorOf([&] { disable(); }), "invalidRecord");
      EXPECT_EQ(snapshot(fresh.path()), before);
    }
  }
}

TEST_F(Integration, HelperIsReplacedInOneStep) {
  const std::string a(1 << 20, 'A'), b((1 << 20) + 4096, 'B');
  writeFile(source, a);
  enable();
  fs::path otherSource = home / "build/other";
  writeFile(otherSource, b);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, reads{0};
  std::thread reader([&] {
    while (!stop) {
      std::string seen = readFile(helper);
      if (seen != a && seen != b) ++bad;
      ++reads;
    }
  });
  for (int i = 0; i < 40; ++i)
    ClaudeIntegration::enable(i % 2 ? source : otherSource, settings, helper);
  stop = true;
  reader.join();
  EXPECT_EQ(bad, 0) << "of " << reads;
  EXPECT_EQ(readFile(helper), a);
  EXPECT_TRUE(leftovers().empty());

  // A failed copy leaves the old helper and no temporary file behind.
  EXPECT_THROW(ClaudeIntegration::enable(home / "missing", settings, helper),
               fs::filesystem_error);
  fs::create_directories(home / "fifo-dir");
  EXPECT_EQ(errorOf([&] { ClaudeIntegration::enable(home / "fifo-dir", settings, helper); }),
            "invalidRecord");
  EXPECT_EQ(readFile(helper), a);
  EXPECT_TRUE(leftovers().empty());
}

}  // namespace
}  // namespace lantrel
