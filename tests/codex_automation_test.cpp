// Automation definitions.
#include <gtest/gtest.h>

#include "lantrel/codex_automation.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

std::string line(std::string id) { return "target_thread_id = \"" + id + "\""; }

TEST(CodexAutomationIndex, TargetLineAndTheFirst500Definitions) {
  std::string lower = "3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6", big = "a = 1\n  " + line(lower);
  big.resize(CodexAutomationIndex::maximumDefinitionBytes, ' ');
  for (auto [bytes, id] : {std::pair{big, lower}, {big + "c", ""}, {line(lower) + " x", ""},
                           {line("3F1C9A2E-1B2C-4D5E-8F90-A1B2C3D4E5F6") + " # weekly", lower}})
    EXPECT_EQ(CodexAutomationIndex::targetThreadID(bytes).value_or(""), id) << bytes.substr(0, 80);
  testing::TempDir home;
  for (int n = 100; n < 601; ++n)
    testing::writeFile(home / "automations" / std::to_string(n) / "automation.toml",
                       line("00000000-0000-0000-0000-000000000" + std::to_string(n)));
  EXPECT_EQ(CodexAutomationIndex::load(home.path()).size(), 500u);
}

}  // namespace
}  // namespace lantrel
