#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "lantrel/claude_integration.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::errorOf;
using testing::readFile;
using testing::writeFile;
using Health = ClaudeIntegrationHealth;

class Integration : public ::testing::Test {
 protected:
  testing::TempDir home;
  fs::path dir = home.path(), settings = dir / ".claude/settings.json";
  fs::path helper = dir / "Library/Application Support/Lantrel/bin/lantrel-status";
  fs::path source = dir / "src/lantrel-status", backup = settings.string() + ".lantrel-backup";
  std::string command = ClaudeIntegration::command(helper);

  void SetUp() override { writeFile(source, "A"), fs::permissions(source, fs::perms::owner_all); }
  Health health() const { return ClaudeIntegration::health(settings, helper); }
  void enable(const fs::path& from = {}) const {
    ClaudeIntegration::enable(from.empty() ? source : from, settings, helper);
  }
  json hooks() const { return json::parse(readFile(settings))["hooks"]; }
  // Every entry below `d`: where nothing may be written, or no temporary file stay.
  static long count(const fs::path& d) {
    return std::distance(fs::recursive_directory_iterator(d), {});
  }
};

TEST(ClaudeIntegrationNames, CommandAndHealthNames) {
  EXPECT_EQ(ClaudeIntegration::command("/o'b/my bin/x"), "'/o'\\''b/my bin/x' claude-hook");
  for (Health h : {Health::disabled, Health::enabled, Health::needsRepair})
    EXPECT_EQ(claudeIntegrationHealth(rawValue(h)), h);
  EXPECT_EQ(rawValue(Health::needsRepair), "Needs repair");
  EXPECT_EQ(claudeIntegrationHealth("enabled"), std::nullopt);
}

TEST_F(Integration, EnableInstallsAndDisableRestores) {
  EXPECT_EQ(health(), Health::disabled);
  enable();
  for (auto [path, mode] : {std::pair{dir / ".claude", 0700u}, {settings, 0600u}, {helper, 0700u},
                            {helper.parent_path(), 0700u}})
    EXPECT_EQ(testing::modeOf(path), mode) << path;
  EXPECT_EQ(count(dir / ".claude") + count(helper.parent_path()), 2);  // no backup
  EXPECT_EQ(hooks()["Notification"][1], json::parse(R"({"matcher":"idle_prompt","hooks":[{
      "type":"command","timeout":5,"command":)" + json(command).dump() + "}]}"));
  EXPECT_EQ(health(), Health::enabled);
  const std::string ours = readFile(settings);
  ClaudeIntegration::disable(settings, helper);
  EXPECT_EQ(std::pair(readFile(settings), readFile(backup)), std::pair(std::string("{}\n"), ours));

  // The user's settings and hooks come through; ours go after theirs, once.
  const std::string user = R"({"model": "opus", "n": 30, "ratio": 1.5, "hooks": {"Stop": [
    {"matcher": "", "hooks": [{"command": "say done"}], "note": 1}, {"hooks": "x"}],
    "SubagentStop": "x"}})";
  writeFile(settings, user);
  enable();
  EXPECT_EQ(hooks()["Stop"][0], json::parse(user)["hooks"]["Stop"][0]);
  EXPECT_EQ(hooks()["Stop"][2]["hooks"][0]["command"], command);
  const std::string first = readFile(settings);
  enable();
  EXPECT_EQ(readFile(settings), first);
  EXPECT_EQ(readFile(backup), user);  // unchanged bytes make no new backup
  EXPECT_EQ(testing::modeOf(backup), 0600u);
  ClaudeIntegration::disable(settings, helper);
  EXPECT_EQ(json::parse(readFile(settings)), json::parse(user));
  EXPECT_EQ(health(), Health::disabled);
  EXPECT_TRUE(fs::exists(helper));  // the helper stays
}

TEST_F(Integration, HealthFindsDamageAndEnableRepairsIt) {
  enable();
  json damaged = json::parse(readFile(settings));
  damaged["hooks"]["Notification"].erase(1);  // the idle prompt deleted by hand
  writeFile(settings, damaged.dump());
  EXPECT_EQ(health(), Health::needsRepair);
  enable();
  EXPECT_EQ(hooks()["Notification"][2]["matcher"], "elicitation_dialog");
  fs::permissions(helper, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(health(), Health::needsRepair);  // not executable
  fs::remove(helper);
  EXPECT_EQ(health(), Health::needsRepair);
  enable();
  EXPECT_EQ(health(), Health::enabled);
  // Hooks written for another helper path are not ours.
  EXPECT_EQ(ClaudeIntegration::health(settings, dir / "other/lantrel-status"), Health::disabled);
  for (const char* text : {"{not json", "[]"}) {
    writeFile(settings, text);
    EXPECT_EQ(health(), Health::needsRepair) << text;
  }
}

TEST_F(Integration, SettingsThatCannotTakeTheHooksAreRefused) {
  const auto max = ClaudeIntegration::maximumSettingsBytes;
  auto nested = [](int n) { return "{\"x\":" + std::string(n, '[') + std::string(n, ']') + "}"; };
  auto adding = [&](const std::string& data) { ClaudeIntegration::addingHooks(data, command); };
  for (std::string data :
       std::vector<std::string>{"[]", R"({"hooks":[]})", R"({"hooks":{"Stop":{}}})", nested(513),
                                R"({"hooks":{"Stop":[1]}})", std::string(max - 1, ' ') + "{}"})
    EXPECT_EQ(errorOf([&] { adding(data); }), "invalidRecord") << data.substr(0, 40);
  EXPECT_EQ(errorOf([&] { ClaudeIntegration::addingHooks("{}", "\xC3("); }), "invalidRecord");
  EXPECT_THROW(adding("{\"a\":"), DecodingError);
  EXPECT_THROW(ClaudeIntegration::removingHooks("", command), DecodingError);
  // A "hooks" value that is not an object is the user's.
  EXPECT_EQ(json::parse(ClaudeIntegration::removingHooks(R"({"hooks":1})", command))["hooks"], 1);
  // At the limits; brackets inside strings are text, not nesting.
  EXPECT_NO_THROW(adding(nested(512)));
  EXPECT_NO_THROW(adding("{\"x\":\"" + std::string(999, '[') + "\"}"));
  writeFile(settings, std::string(max - 2, ' ') + "{}");
  enable();
  EXPECT_EQ(health(), Health::enabled);
  // A refused settings file stops enable before anything is copied.
  fs::remove_all(dir / "Library");
  writeFile(settings, R"({"hooks":{"Stop":"x"}})");
  EXPECT_EQ(errorOf([&] { enable(); }), "invalidRecord");
  EXPECT_FALSE(fs::exists(dir / "Library"));
}

TEST_F(Integration, RefusesLinksOddFilesAndOtherOwners) {
  const std::string text = R"({"hooks":{"Stop":[{"hooks":[{"command":"x"}]}]}})";
  auto link = [&](const fs::path& at) {
    fs::create_directories(dir / "d"), fs::create_directories(at.parent_path());
    fs::create_symlink(dir / "d", at);
  };
  auto other = [](const fs::path& p) { ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0); };
  const auto big = ClaudeIntegration::maximumSettingsBytes + 1;
  const std::tuple<const char*, Health, bool, std::function<void()>> cases[] = {
      {".claude link", Health::needsRepair, false,
       [&] { writeFile(dir / "d/settings.json", text), link(settings.parent_path()); }},
      {"settings too big", Health::needsRepair, false,
       [&] { writeFile(settings, std::string(big, ' ')); }},
      {"helper too big", Health::disabled, false, [&] {
         writeFile(helper, ""), fs::resize_file(helper, ClaudeIntegration::maximumHelperBytes + 1);
       }},
      {"helper directory link", Health::disabled, false, [&] { link(helper.parent_path()); }},
      {"settings of another user", Health::needsRepair, true,
       [&] { writeFile(settings, text), other(settings); }},
      {".claude of another user", Health::needsRepair, true,
       [&] { writeFile(settings, text), other(settings.parent_path()); }},
      {"helper of another user", Health::disabled, true,
       [&] { writeFile(helper, ""), other(helper); }},
  };
  // Health reports the damage; enable and disable refuse without writing.
  for (const auto& [what, expected, needsRoot, setUp] : cases) {
    if (needsRoot && ::geteuid() != 0) continue;  // changing owners needs root
    SCOPED_TRACE(what);
    fs::remove_all(dir / ".claude"), fs::remove_all(dir / "Library"), fs::remove_all(dir / "d");
    setUp();
    const long before = count(dir);
    EXPECT_EQ(health(), expected);
    EXPECT_EQ(errorOf([&] { enable(); }), "invalidRecord");
    EXPECT_EQ(errorOf([&] { ClaudeIntegration::disable(settings, helper); }),
              fs::exists(fs::symlink_status(settings)) ? "invalidRecord" : "no error");
    EXPECT_EQ(count(dir), before);
  }
}

TEST_F(Integration, HelperIsReplacedInOneStep) {
  // Whoever runs the helper while it is replaced finds the old copy or the
  // new one, whole and executable.
  const std::string a(1 << 20, 'A'), b((1 << 20) + 4096, 'B');
  writeFile(source, a), writeFile(dir / "b", b);
  enable();
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!stop)
      if (std::string seen = readFile(helper);
          (seen != a && seen != b) || testing::modeOf(helper) != 0700u)
        ++bad;
  });
  for (int i = 0; i < 40; ++i) enable(i % 2 ? source : dir / "b");
  stop = true;
  reader.join();
  EXPECT_EQ(bad, 0);
  // A failed copy leaves the old helper and no temporary file behind.
  EXPECT_THROW(enable(dir / "missing"), fs::filesystem_error);
  EXPECT_EQ(errorOf([&] { enable(dir / "src"); }), "invalidRecord");
  EXPECT_EQ(readFile(helper), a);
  EXPECT_EQ(count(dir / ".claude") + count(helper.parent_path()), 2);
}

}  // namespace
}  // namespace lantrel
