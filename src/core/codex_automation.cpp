#include "lantrel/codex_automation.hpp"

#include <vector>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "lantrel/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

// The one line of a definition that names the thread: nothing but the key,
// a double-quoted 36-character value and an optional comment. It is the
// first match of the ICU expression
//   (?m)^\s*target_thread_id\s*=\s*"([0-9A-Fa-f-]{36})"\s*(?:#.*)?$
// matched by hand: ICU's regular expressions cost a millisecond to start,
// most of a load. As in ICU, \s is White_Space (so it crosses lines),
// a line ends before U+000A to U+000D, U+0085, U+2028 and U+2029, "^" holds
// at the start and after a line end but not at the very end, and "$" at
// the end and before a line end (never between CR and LF: the CR comes
// first).
class TargetLine {
 public:
  explicit TargetLine(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
      UChar32 c;
      auto at = static_cast<int32_t>(i);
      U8_NEXT(bytes.data(), at, static_cast<int32_t>(bytes.size()), c);
      i = static_cast<std::size_t>(at);
      text_.push_back(c);
    }
  }

  // The value of the first match.
  std::optional<std::string> value() const {
    std::size_t passed = 0;  // starts up to here skip to where the one before failed
    for (std::size_t start = 0; start < text_.size() || start == 0; ++start) {
      if (start > 0 && (start < passed || !isLineEnd(text_[start - 1]))) continue;
      std::size_t key = skipSpace(start);
      if (auto found = matchAt(key)) return found;
      passed = key + 1;
    }
    return std::nullopt;
  }

 private:
  static bool isLineEnd(UChar32 c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
  }
  static bool isSpace(UChar32 c) { return c >= 0 && u_isUWhiteSpace(c); }
  static bool isIDCharacter(UChar32 c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') || c == '-';
  }
  UChar32 at(std::size_t i) const { return i < text_.size() ? text_[i] : -1; }
  std::size_t skipSpace(std::size_t i) const {
    while (i < text_.size() && isSpace(text_[i])) ++i;
    return i;
  }
  // From the key at `i` to the line's end.
  std::optional<std::string> matchAt(std::size_t i) const {
    for (char c : std::string_view("target_thread_id"))
      if (at(i++) != c) return std::nullopt;
    if (at(i = skipSpace(i)) != '=' || at(i = skipSpace(i + 1)) != '"') return std::nullopt;
    std::string value;
    for (++i; value.size() < 36 && isIDCharacter(at(i)); ++i)
      value.push_back(static_cast<char>(at(i)));
    if (value.size() < 36 || at(i++) != '"') return std::nullopt;
    // Any white space, then a comment or the line's end.
    for (;; ++i) {
      if (i >= text_.size() || at(i) == '#' || isLineEnd(at(i))) return value;
      if (!isSpace(at(i))) return std::nullopt;
    }
  }

  std::vector<UChar32> text_;
};

std::optional<std::string> targetOf(std::string_view bytes) {
  if (bytes.size() > CodexAutomationIndex::maximumDefinitionBytes || !text::isValidUTF8(bytes))
    return std::nullopt;
  std::optional<std::string> captured = TargetLine(bytes).value();
  if (!captured || !isUUID(*captured)) return std::nullopt;
  return text::lowercased(*captured);
}

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
    if (auto thread = targetOf(definition)) threads.insert(std::move(*thread));
  }
  return threads;
}

std::optional<std::string> CodexAutomationIndex::targetThreadID(std::string_view bytes) {
  return targetOf(bytes);
}

}  // namespace lantrel
