#include <gtest/gtest.h>

#include <atomic>

#include <nlohmann/json.hpp>

#include "lantrel/claude_integration.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace testing;
using Health = ClaudeIntegrationHealth;

class Integration : public ::testing::Test {
 protected:
  testing::TempDir home;
  fs::path dir = home.path(), settings = dir / ".claude/settings.json";
  fs::path helper = dir / "Library/Application Support/Lantrel/bin/lantrel-status";
  fs::path source = dir / "src/lantrel-status";

  void SetUp() override { writeFile(source, "A"), fs::permissions(source, fs::perms::owner_all); }
  Health health() const { return ClaudeIntegration::health(settings, helper); }
  void enable(const fs::path& from = {}) const {
    ClaudeIntegration::enable(from.empty() ? source : from, settings, helper);
  }
  // Entries below `d`: to see that nothing was written, or no temporary file stayed.
  static long count(const fs::path& d) {
    return std::distance(fs::recursive_directory_iterator(d), {});
  }
};

TEST_F(Integration, EnableInstallsAndDisableRestores) {
  enable();
  for (auto [path, mode] : {std::pair{dir / ".claude", 0700u}, {settings, 0600u}, {helper, 0700u},
                            {helper.parent_path(), 0700u}})
    EXPECT_EQ(testing::modeOf(path), mode) << path;
  EXPECT_EQ(health(), Health::enabled);
  // Health finds damage that enable repairs, and a helper it cannot run.
  json damaged = json::parse(readFile(settings));
  writeFile(settings, (damaged["hooks"]["Notification"].erase(1), damaged.dump()));
  EXPECT_EQ(health(), Health::needsRepair);
  enable();
  EXPECT_EQ(health(), Health::enabled);
  fs::permissions(helper, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(health(), Health::needsRepair);
  // The user's settings are kept aside, and disable gives them back.
  const std::string user = R"({"model": "opus", "ratio": 1.5, "hooks": {"Stop": [
    {"matcher": "", "hooks": [{"command": "say"}], "note": 1}, {"hooks": "x"}]}})";
  writeFile(settings, user);
  enable();
  EXPECT_EQ(readFile(settings.string() + ".lantrel-backup"), user);
  ClaudeIntegration::disable(settings, helper);
  EXPECT_EQ(json::parse(readFile(settings)), json::parse(user));
  EXPECT_EQ(health(), Health::disabled);
}

TEST_F(Integration, RefusesBadSettingsLinksOtherOwnersAndFilesTooBig) {
  const auto big = ClaudeIntegration::maximumSettingsBytes + 1;
  // Health reports the damage; enable and disable refuse without writing.
  const std::tuple<std::string, Health, std::function<void()>> cases[] = {
      {"[]", Health::needsRepair, [&] { writeFile(settings, "[]"); }},
      {"owner", Health::needsRepair,
       [&] { writeFile(settings, "{}"), void(::chown(settings.c_str(), 65534, 65534)); }},
      {"link", Health::needsRepair, [&] {
         writeFile(dir / "d/settings.json", "{}");
         fs::create_directory_symlink(dir / "d", dir / ".claude");
       }},
      {"settings", Health::needsRepair, [&] { writeFile(settings, std::string(big, ' ')); }},
      {"helper", Health::disabled, [&] {
         writeFile(helper, ""), fs::resize_file(helper, ClaudeIntegration::maximumHelperBytes + 1);
       }}};
  for (const auto& [what, expected, setUp] : cases) {
    if (what == "owner" && ::geteuid() != 0) continue;  // changing owners needs root
    SCOPED_TRACE(what);
    fs::remove_all(dir / ".claude"), fs::remove_all(dir / "Library"), fs::remove_all(dir / "d");
    setUp();
    const long before = count(dir);
    EXPECT_EQ(health(), expected);
    EXPECT_EQ(errorOf([&] { enable(); }), "invalidRecord");
    EXPECT_EQ(errorOf([&] { ClaudeIntegration::disable(settings, helper); }) == "no error",
              fs::exists(helper));
    EXPECT_EQ(count(dir), before);
  }
}

TEST_F(Integration, HelperIsReplacedInOneStep) {
  // Whoever runs the helper while it is replaced finds a whole, executable copy;
  // a failed copy leaves the old helper and no temporary file.
  const std::string a(1 << 20, 'A'), b((1 << 20) + 4096, 'B');
  writeFile(source, a), writeFile(dir / "b", b);
  enable();
  std::atomic<int> bad{0}, left{40};
  std::thread reader([&] {
    for (std::string seen = a; left; seen = readFile(helper))
      bad += (seen != a && seen != b) || testing::modeOf(helper) != 0700u;
  });
  for (; left; --left) enable(left % 2 ? source : dir / "b");
  reader.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(errorOf([&] { enable(dir / "src"); }), "invalidRecord");
  EXPECT_EQ(std::pair(readFile(helper), count(dir / ".claude") + count(helper.parent_path())),
            std::pair(a, 2L));
}

}  // namespace
}  // namespace lantrel
