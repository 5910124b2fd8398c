#include "support/text.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/ucasemap.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>
#include <stdexcept>

namespace lantrel::text {

namespace {

bool isASCII(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

bool isASCIIWhitespace(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Length of the well-formed sequence at s[i], or 0 when the bytes there are
// not one (then s[i] starts a maximal invalid subpart, see subpartLength).
std::size_t sequenceLength(std::string_view s, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = at(i);
  if (b0 < 0x80) return 1;
  std::size_t n = s.size() - i;
  auto cont = [&](std::size_t k, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return k < n && at(i + k) >= lo && at(i + k) <= hi;
  };
  if (b0 >= 0xC2 && b0 <= 0xDF) return cont(1) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
    return cont(1, lo, hi) && cont(2) ? 3 : 0;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
    return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

// Length of the maximal subpart of an ill-formed sequence starting at s[i]:
// the lead byte plus the continuation bytes that were still acceptable.
std::size_t subpartLength(std::string_view s, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = at(i);
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) need = 1;
  else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  std::size_t len = 1;
  for (std::size_t k = 0; k < need && i + len < s.size(); ++k) {
    unsigned char b = at(i + len);
    if (b < (k == 0 ? lo : 0x80) || b > (k == 0 ? hi : 0xBF)) break;
    ++len;
  }
  return len;
}

struct UTextCloser {
  void operator()(UText* t) const { utext_close(t); }
};

// Calls `visit(end)` for the end offset of each grapheme cluster until it
// returns false.
template <typename Visit>
void forEachCluster(std::string_view utf8, Visit visit) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, UTextCloser> text(
      utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status));
  std::unique_ptr<icu::BreakIterator> breaks(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) throw std::runtime_error("Unicode text rules are unavailable");
  breaks->setText(text.get(), status);
  if (U_FAILURE(status)) throw std::runtime_error("Unicode text rules are unavailable");
  breaks->first();
  for (int32_t end = breaks->next(); end != icu::BreakIterator::DONE; end = breaks->next())
    if (!visit(static_cast<std::size_t>(end))) return;
}

bool isWhitespaceAt(std::string_view s, std::size_t& i) {
  UChar32 c;
  int32_t pos = static_cast<int32_t>(i);
  U8_NEXT(s.data(), pos, static_cast<int32_t>(s.size()), c);
  i = static_cast<std::size_t>(pos);
  return c >= 0 && u_isUWhiteSpace(c);
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t n = sequenceLength(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string repairUTF8(std::string_view bytes) {
  if (isValidUTF8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (std::size_t i = 0; i < bytes.size();) {
    if (std::size_t n = sequenceLength(bytes, i)) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      out.append("\xEF\xBF\xBD");
      i += subpartLength(bytes, i);
    }
  }
  return out;
}

std::size_t characterCount(std::string_view utf8) {
  if (isASCII(utf8)) {
    // In ASCII only CR LF joins two bytes into one character.
    std::size_t count = utf8.size();
    for (std::size_t i = 1; i < utf8.size(); ++i)
      if (utf8[i - 1] == '\r' && utf8[i] == '\n') --count;
    return count;
  }
  std::size_t count = 0;
  forEachCluster(utf8, [&](std::size_t) {
    ++count;
    return true;
  });
  return count;
}

std::string characterPrefix(std::string_view utf8, std::size_t count) {
  if (count == 0) return {};
  if (isASCII(utf8)) {
    std::size_t i = 0;
    for (std::size_t taken = 0; i < utf8.size() && taken < count; ++taken)
      i += (utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') ? 2 : 1;
    return std::string(utf8.substr(0, i));
  }
  std::size_t end = utf8.size(), taken = 0;
  forEachCluster(utf8, [&](std::size_t clusterEnd) {
    if (++taken < count) return true;
    end = clusterEnd;
    return false;
  });
  return std::string(utf8.substr(0, end));
}

std::string_view trimmed(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t next = begin;
    if (!isWhitespaceAt(s, next)) break;
    begin = next;
  }
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

std::string collapsedWhitespace(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool pendingSpace = false;
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t next = i;
    bool space = c < 0x80 ? (++next, isASCIIWhitespace(c)) : isWhitespaceAt(s, next);
    if (space) {
      pendingSpace = !out.empty();
    } else {
      if (pendingSpace) out.push_back(' ');
      pendingSpace = false;
      out.append(s.substr(i, next - i));
    }
    i = next;
  }
  return out;
}

std::string lowercased(std::string_view s) {
  if (isASCII(s)) {
    std::string out(s);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  }
  UErrorCode status = U_ZERO_ERROR;
  UCaseMap* map = ucasemap_open("", 0, &status);
  if (U_FAILURE(status)) throw std::runtime_error("Unicode case mapping is unavailable");
  std::string out(s.size() + 16, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    status = U_ZERO_ERROR;
    int32_t n = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()), s.data(),
                                     static_cast<int32_t>(s.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(static_cast<std::size_t>(n));
      continue;
    }
    out.resize(U_SUCCESS(status) ? static_cast<std::size_t>(n) : 0);
    break;
  }
  ucasemap_close(map);
  if (U_FAILURE(status)) throw std::runtime_error("Unicode case mapping failed");
  return out;
}

}  // namespace lantrel::text
