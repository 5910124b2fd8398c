#include "support/text.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/ucasemap.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <simdjson.h>

#include <memory>
#include <stdexcept>

namespace lantrel::text {

namespace {

// The code point at s[i], advancing i past it; negative when the bytes there
// are ill-formed, advancing past their maximal subpart as the Unicode
// standard recommends.
UChar32 next(std::string_view s, std::size_t& i) {
  UChar32 c;
  auto at = static_cast<int32_t>(i);
  U8_NEXT(s.data(), at, static_cast<int32_t>(s.size()), c);
  i = static_cast<std::size_t>(at);
  return c;
}

bool isWhitespaceAt(std::string_view s, std::size_t& i) {
  UChar32 c = next(s, i);
  return c >= 0 && u_isUWhiteSpace(c);
}

// A grapheme cluster has at least one code point, so text of at most
// `limit` code points has at most `limit` clusters and needs no rules.
std::size_t codePoints(std::string_view utf8) {
  std::size_t count = 0;
  for (unsigned char c : utf8) count += (c & 0xC0) != 0x80;
  return count;
}

// Calls `visit(end)` for the end offset of each grapheme cluster until it
// returns false.
template <typename Visit>
void forEachCluster(std::string_view utf8, Visit visit) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, UText* (*)(UText*)> text(
      utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status),
      utext_close);
  std::unique_ptr<icu::BreakIterator> breaks(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_SUCCESS(status)) breaks->setText(text.get(), status);
  if (U_FAILURE(status)) throw std::runtime_error("Unicode text rules are unavailable");
  breaks->first();
  for (int32_t end = breaks->next(); end != icu::BreakIterator::DONE; end = breaks->next())
    if (!visit(static_cast<std::size_t>(end))) return;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

std::string repairUTF8(std::string_view bytes) {
  if (isValidUTF8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t start = i;
    if (next(bytes, i) < 0)
      out.append("\xEF\xBF\xBD");
    else
      out.append(bytes.substr(start, i - start));
  }
  return out;
}

bool atMostCharacters(std::string_view utf8, std::size_t limit) {
  if (codePoints(utf8) <= limit) return true;
  std::size_t count = 0;
  forEachCluster(utf8, [&](std::size_t) { return ++count <= limit; });
  return count <= limit;
}

std::string characterPrefix(std::string_view utf8, std::size_t count) {
  if (codePoints(utf8) <= count) return std::string(utf8);
  std::size_t end = 0, taken = 0;
  forEachCluster(utf8, [&](std::size_t clusterEnd) {
    if (taken++ == count) return false;
    end = clusterEnd;
    return true;
  });
  return std::string(utf8.substr(0, end));
}

std::string_view trimmed(std::string_view s) {
  std::size_t begin = 0;
  for (std::size_t next = 0; begin < s.size() && isWhitespaceAt(s, next);) begin = next;
  std::size_t end = s.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    std::size_t probe = start;
    if (!isWhitespaceAt(s, probe) || probe != end) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

std::string_view withoutLeadingPatternSpace(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    std::size_t start = i;
    UChar32 c = next(s, i);
    if (!(c == '\t' || c == '\n' || c == '\f' || c == '\r' || (c >= 0 && (U_GET_GC_MASK(c) & U_GC_Z_MASK))))
      return s.substr(start);
  }
  return {};
}

std::string collapsedWhitespace(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool pendingSpace = false;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t start = i;
    if (isWhitespaceAt(s, i)) {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out.push_back(' ');
    pendingSpace = false;
    out.append(s.substr(start, i - start));
  }
  return out;
}

std::string lowercased(std::string_view s) {
  std::string out(s);
  bool ascii = true;
  for (char& c : out) {
    ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (ascii) return out;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, void (*)(UCaseMap*)> map(ucasemap_open("", 0, &status), ucasemap_close);
  // The lower-cased text may be longer: then a second round with the room
  // the first one asked for.
  for (int round = 0; round < 2 && (round == 0 || status == U_BUFFER_OVERFLOW_ERROR); ++round) {
    if (round > 0) status = U_ZERO_ERROR;
    int32_t n = ucasemap_utf8ToLower(map.get(), out.data(), static_cast<int32_t>(out.size()),
                                     s.data(), static_cast<int32_t>(s.size()), &status);
    out.resize(static_cast<std::size_t>(n));
  }
  if (U_FAILURE(status)) throw std::runtime_error("Unicode case mapping failed");
  return out;
}

}  // namespace lantrel::text
