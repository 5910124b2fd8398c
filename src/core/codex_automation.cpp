#include "lantrel/codex_automation.hpp"

#include <memory>
#include <vector>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "lantrel/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

// The one line of a definition that names the thread: nothing but the key,
// a double-quoted 36-character value and an optional comment.
constexpr char targetLineExpression[] =
    R"re((?m)^\s*target_thread_id\s*=\s*"([0-9A-Fa-f-]{36})"\s*(?:#.*)?$)re";

// The target-line expression, compiled once and reused for every definition
// of one load.
class TargetLine {
 public:
  TargetLine() {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where;
    pattern_.reset(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(targetLineExpression), 0, where, status));
    if (U_FAILURE(status)) {
      pattern_.reset();
      return;
    }
    matcher_.reset(pattern_->matcher(status));
    if (U_FAILURE(status)) matcher_.reset();
  }

  std::optional<std::string> threadID(std::string_view bytes) {
    if (!matcher_ || bytes.size() > CodexAutomationIndex::maximumDefinitionBytes ||
        !text::isValidUTF8(bytes))
      return std::nullopt;
    // The matcher refers to `input_` without copying it; both live as long
    // as this object.
    input_ = icu::UnicodeString::fromUTF8(
        icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())));
    UErrorCode status = U_ZERO_ERROR;
    matcher_->reset(input_);
    if (!matcher_->find(status) || U_FAILURE(status)) return std::nullopt;
    icu::UnicodeString group = matcher_->group(1, status);
    if (U_FAILURE(status)) return std::nullopt;
    std::string captured;
    group.toUTF8String(captured);
    if (!isUUID(captured)) return std::nullopt;
    return text::lowercased(captured);
  }

 private:
  std::unique_ptr<icu::RegexPattern> pattern_;
  icu::UnicodeString input_;  // declared before the matcher, so it outlives it
  std::unique_ptr<icu::RegexMatcher> matcher_;
};

}  // namespace

std::set<std::string> CodexAutomationIndex::load(const std::filesystem::path& home) {
  // The first visible entries, in listing order; a directory that is missing
  // or cannot be listed gives none.
  std::vector<std::string> names;
  try {
    files::walk(home / "automations", {.skipHidden = true}, [&](const files::DirectoryEntry& e) {
      names.emplace_back(e.path);
      return names.size() < maximumEntries;
    });
  } catch (const std::filesystem::filesystem_error&) {
    names.clear();
  }
  std::set<std::string> threads;
  TargetLine targetLine;
  files::ReadBuffer buffer;
  for (const std::string& entry : names) {
    files::ResourceValues values = files::resourceValues(entry);  // failure ends the load
    if (!values.isDirectory) continue;
    std::string_view definition;
    try {
      // Refuses links, non-regular and oversized files before reading.
      definition = files::readOwnFile(entry + "/automation.toml", maximumDefinitionBytes, buffer);
    } catch (const std::exception&) {
      continue;
    }
    if (auto thread = targetLine.threadID(definition)) threads.insert(std::move(*thread));
  }
  return threads;
}

std::optional<std::string> CodexAutomationIndex::targetThreadID(std::string_view bytes) {
  return TargetLine().threadID(bytes);
}

}  // namespace lantrel
