// Text rules on Unicode: user-perceived characters are grapheme clusters,
// white space is the Unicode White_Space property, lower-casing is full case
// mapping. Pure ASCII takes fast paths that never load ICU data.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lantrel::text {

// Calls `visit(line)` for each non-empty line of `bytes` (split at line
// feeds) until it returns false. A line of a padded buffer is padded too.
template <typename Visit>
void forEachLine(std::string_view bytes, Visit visit) {
  while (!bytes.empty()) {
    std::size_t end = bytes.find('\n');
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    if (!line.empty() && !visit(line)) return;
  }
}

// Replaces every ill-formed UTF-8 sequence with U+FFFD (one per maximal
// invalid subpart, as the Unicode standard recommends).
std::string repairUTF8(std::string_view bytes);
bool isValidUTF8(std::string_view bytes);

// Whether the text has at most `limit` grapheme clusters (valid UTF-8
// expected; repair first). Text of at most `limit` code points is never
// segmented.
bool atMostCharacters(std::string_view utf8, std::size_t limit);
// The first `count` grapheme clusters.
std::string characterPrefix(std::string_view utf8, std::size_t count);

// Leading and trailing white space and line breaks removed.
std::string_view trimmed(std::string_view utf8);
// `utf8` without the white space that a regular expression's \s matches
// at its start: tab, line feed, form feed, carriage return and the Unicode
// separators (general category Z).
std::string_view withoutLeadingPatternSpace(std::string_view utf8);
// Words split at white space, empty words dropped, joined by single spaces.
std::string collapsedWhitespace(std::string_view utf8);

// Full Unicode lower-casing (root locale).
std::string lowercased(std::string_view utf8);

}  // namespace lantrel::text
