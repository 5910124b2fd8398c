// Automation definitions.
#include <gtest/gtest.h>

#include "lantrel/codex_automation.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;

const std::string upperID = "3F1C9A2E-1B2C-4D5E-8F90-A1B2C3D4E5F6", lowerID = "3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6";

std::string line(std::string_view value) { return "target_thread_id = \"" + std::string(value) + "\""; }
std::string numberedID(int n) { return "00000000-0000-0000-0000-" + std::to_string(100000000000 + n); }

TEST(CodexAutomationIndex, TargetLine) {
  std::string big = line(lowerID) + "\n#";
  big.append(CodexAutomationIndex::maximumDefinitionBytes - big.size(), 'c');
  const std::pair<std::string, std::string> cases[] = {
      {"name = \"weekly\"\n" + line(upperID) + "\nschedule = \"x\"\n", lowerID}, {"  " + line(upperID) + "  # weekly", lowerID},
      {"\u3000target_thread_id\u00A0=\u2003\"" + upperID + "\"\u00A0#", lowerID}, {"target_thread_id='" + upperID + "'", ""},
      {line(upperID) + " extra", ""}, {line(lowerID) + "\n\xFF", ""}, {big, lowerID}, {big + "c", ""},
      {line(std::string(36, '-')) + "\n" + line(lowerID), ""}};  // only the first matching line counts
  for (const auto& [bytes, id] : cases) EXPECT_EQ(CodexAutomationIndex::targetThreadID(bytes).value_or(""), id) << bytes.substr(0, 80);
}

TEST(CodexAutomationIndex, LoadReadsTheFirst500Definitions) {
  testing::TempDir home;
  fs::path automations = home / "automations";
  EXPECT_TRUE(CodexAutomationIndex::load(home.path()).empty());
  for (auto [file, content] : {std::pair{"good/automation.toml", line(upperID)}, {".hidden/automation.toml", line(numberedID(1))},
                               {"plain-file", line(numberedID(2))}, {"../elsewhere/automation.toml", line(numberedID(3))},
                               {"oversized/automation.toml", line(numberedID(4)) + "\n#" +
                                                                  std::string(CodexAutomationIndex::maximumDefinitionBytes, 'c')}})
    testing::writeFile(automations / file, content);
  fs::create_directory_symlink(home / "elsewhere", automations / "linked");
  fs::create_directory(automations / "toml-link");
  fs::create_symlink(home / "elsewhere/automation.toml", automations / "toml-link/automation.toml");
  EXPECT_EQ(CodexAutomationIndex::load(home.path()), std::set<std::string>{lowerID});

  // Only the first 500 entries are looked at.
  fs::remove_all(automations);
  for (int n = 0; n < 501; ++n) testing::writeFile(automations / std::to_string(n) / "automation.toml", line(numberedID(n)));
  EXPECT_EQ(CodexAutomationIndex::load(home.path()).size(), 500u);
}

}  // namespace
}  // namespace lantrel
