// Automation definitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "lantrel/codex_automation.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

constexpr char upperID[] = "3F1C9A2E-1B2C-4D5E-8F90-A1B2C3D4E5F6";
constexpr char lowerID[] = "3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6";

std::string line(std::string_view value) {
  return "target_thread_id = \"" + std::string(value) + "\"";
}

std::string numberedID(int n) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "00000000-0000-0000-0000-%012d", n);
  return buffer;
}

TEST(CodexAutomationIndex, TargetLine) {
  auto target = CodexAutomationIndex::targetThreadID;
  EXPECT_EQ(target("name = \"weekly\"\n" + line(upperID) + "\nschedule = \"x\"\n"), lowerID);
  EXPECT_EQ(target("  " + line(upperID) + "  # weekly report"), lowerID);
  EXPECT_EQ(target("\u3000target_thread_id\u00A0=\u2003\"" + std::string(upperID) + "\"\u00A0#"),
            lowerID);
  EXPECT_EQ(target("target_thread_id='" + std::string(upperID) + "'"), std::nullopt);
  EXPECT_EQ(target(line(upperID) + " extra"), std::nullopt);
  // Only the first matching line counts, even when its value is no UUID.
  EXPECT_EQ(target(line(std::string(36, '-')) + "\n" + line(lowerID)), std::nullopt);
  EXPECT_EQ(target(line(lowerID) + "\n\xFF"), std::nullopt);

  std::string big = line(lowerID) + "\n#";
  big.append(CodexAutomationIndex::maximumDefinitionBytes - big.size(), 'c');
  EXPECT_EQ(target(big), lowerID);
  EXPECT_EQ(target(big + "c"), std::nullopt);
}

TEST(CodexAutomationIndex, LoadSkipsWhatIsNotADefinition) {
  TempDir home;
  EXPECT_TRUE(CodexAutomationIndex::load(home.path()).empty());
  fs::path automations = home / "automations";
  testing::writeFile(automations / "good/automation.toml", line(upperID));
  testing::writeFile(automations / ".hidden/automation.toml", line(numberedID(1)));
  testing::writeFile(automations / "plain-file", line(numberedID(2)));
  testing::writeFile(home / "elsewhere/automation.toml", line(numberedID(3)));
  fs::create_directory_symlink(home / "elsewhere", automations / "linked");
  fs::create_directory(automations / "toml-link");
  fs::create_symlink(home / "elsewhere/automation.toml", automations / "toml-link/automation.toml");
  std::string oversized = line(numberedID(4)) + "\n#";
  oversized.append(CodexAutomationIndex::maximumDefinitionBytes + 1 - oversized.size(), 'c');
  testing::writeFile(automations / "oversized/automation.toml", oversized);
  EXPECT_EQ(CodexAutomationIndex::load(home.path()), std::set<std::string>{lowerID});
}

TEST(CodexAutomationIndex, OnlyTheFirst500EntriesInListingOrder) {
  TempDir home;
  fs::path automations = home / "automations";
  for (int n = 0; n < 600; ++n)
    testing::writeFile(automations / std::to_string(n) / "automation.toml", line(numberedID(n)));
  std::set<std::string> expected;
  for (const auto& entry : fs::directory_iterator(automations)) {
    if (expected.size() == 500) break;
    expected.insert(numberedID(std::stoi(entry.path().filename().string())));
  }
  EXPECT_EQ(CodexAutomationIndex::load(home.path()), expected);
}

}  // namespace
}  // namespace lantrel
