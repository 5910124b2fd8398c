// A Codex automation definition: its target thread line, matched by hand,
// against the ICU expression it stands for.
#include <unicode/regex.h>

#include <memory>

#include "fuzz_support.hpp"
#include "lantrel/codex_automation.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes = fuzz::bytes(data, size);
  auto thread = CodexAutomationIndex::targetThreadID(bytes);
  if (!text::isValidUTF8(bytes)) return thread ? (std::abort(), 0) : 0;
  static UErrorCode status = U_ZERO_ERROR;
  static UParseError where;
  static std::unique_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
      R"re((?m)^\s*target_thread_id\s*=\s*"([0-9A-Fa-f-]{36})"\s*(?:#.*)?$)re", 0, where, status));
  icu::UnicodeString input = icu::UnicodeString::fromUTF8({bytes.data(), int32_t(bytes.size())});
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
  std::string group;
  if (matcher->find(status)) matcher->group(1, status).toUTF8String(group);
  // A value that is no UUID is never a target; a target is lower-cased.
  if (thread.value_or("") != (isUUID(group) ? text::lowercased(group) : "")) std::abort();
  return 0;
}
