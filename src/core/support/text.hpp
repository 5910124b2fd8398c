// Text rules on Unicode: user-perceived characters are grapheme clusters,
// white space is the Unicode White_Space property, lower-casing is full case
// mapping. Pure ASCII takes fast paths that never load ICU data.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lantrel::text {

// Replaces every ill-formed UTF-8 sequence with U+FFFD (one per maximal
// invalid subpart, as the Unicode standard recommends).
std::string repairUTF8(std::string_view bytes);
bool isValidUTF8(std::string_view bytes);

// Number of grapheme clusters (valid UTF-8 expected; repair first).
std::size_t characterCount(std::string_view utf8);
// The first `count` grapheme clusters.
std::string characterPrefix(std::string_view utf8, std::size_t count);

// Leading and trailing white space and line breaks removed.
std::string_view trimmed(std::string_view utf8);
// Words split at white space, empty words dropped, joined by single spaces.
std::string collapsedWhitespace(std::string_view utf8);

// Full Unicode lower-casing (root locale).
std::string lowercased(std::string_view utf8);

}  // namespace lantrel::text
