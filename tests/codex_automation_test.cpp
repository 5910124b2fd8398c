// Automation definitions.
#include <gtest/gtest.h>

#include <unicode/regex.h>

#include <algorithm>

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

// The target line is matched by hand; ICU's expression is what it must agree with, also where
// lines end in CR, LF, VT, FF, NEL or U+2028, and white space is Unicode's White_Space.
TEST(CodexAutomationIndex, TargetLineAgreesWithTheExpression) {
  std::string id = "3F1C9A2E-1b2c-4d5e-8f90-a1b2c3d4e5f6", t = "target_thread_id", v = "\"" + id + "\"";
  const std::string cases[] = {
      t + " = " + v, "\r\n" + t + "=" + v + "\r\n", "x\r" + t + "=" + v + "\r\n# c", t + "=" + v + " \u2028",
      t + "=" + v + "\u0085x", t + "=" + v + "\v", "\v" + t + "=" + v, "\u0085 \f" + t + "=" + v,
      "\u00A0\u3000" + t + "\t=\u2029" + v + "\u202F#x", t + "=" + v + " x", " x " + t + "=" + v,
      t + "=\"" + id + "0\"", "a" + t + "=" + v + "\n " + t + "=" + v, t + "\n=\n" + v + "\n",
      t + "=" + v + "\u2028x", "\u180E" + t + "=" + v, t + "=" + v + "\u180E", "", "\n", t + "=" + v + "#",
      t + "= " + v + " \u2029 x", "\r" + t + "=" + v.substr(0, 20), t + " \v= " + v};
  UErrorCode status = U_ZERO_ERROR;
  UParseError where;
  std::unique_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
      R"re((?m)^\s*target_thread_id\s*=\s*"([0-9A-Fa-f-]{36})"\s*(?:#.*)?$)re", 0, where, status));
  for (const std::string& bytes : cases) {
    icu::UnicodeString input = icu::UnicodeString::fromUTF8(bytes), group;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
    if (matcher->find(status)) group = matcher->group(1, status);
    std::string expected;
    group.toUTF8String(expected);
    std::transform(expected.begin(), expected.end(), expected.begin(), ::tolower);
    EXPECT_EQ(CodexAutomationIndex::targetThreadID(bytes).value_or(""), expected) << bytes;
  }
  EXPECT_TRUE(U_SUCCESS(status));
}

}  // namespace
}  // namespace lantrel
