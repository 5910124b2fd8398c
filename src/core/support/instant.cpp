#include "lantrel/instant.hpp"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace lantrel {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// algorithm), and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool isLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(std::int64_t y, unsigned m) {
  static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// Reads exactly `count` decimal digits at `pos`.
bool digits(std::string_view s, std::size_t& pos, int count, int& out) {
  if (pos + count > s.size()) return false;
  out = 0;
  for (int i = 0; i < count; ++i) {
    char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  pos += count;
  return true;
}

// The text form carries the years 0000 to 9999 (Unix seconds).
constexpr double earliestText = -62167219200;  // 0000-01-01T00:00:00Z
constexpr double latestText = 253402300799;    // 9999-12-31T23:59:59Z

bool expect(std::string_view s, std::size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

Instant Instant::now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return fromUnix(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

std::optional<Instant> Instant::parseISO8601(std::string_view s, bool fraction) {
  std::size_t pos = 0;
  int year, month, day, hour, minute, second;
  if (!digits(s, pos, 4, year) || !expect(s, pos, '-') || !digits(s, pos, 2, month) ||
      !expect(s, pos, '-') || !digits(s, pos, 2, day) || !expect(s, pos, 'T') ||
      !digits(s, pos, 2, hour) || !expect(s, pos, ':') || !digits(s, pos, 2, minute) ||
      !expect(s, pos, ':') || !digits(s, pos, 2, second))
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || static_cast<unsigned>(day) > daysInMonth(year, month) ||
      hour > 23 || minute > 59 || second > 59)
    return std::nullopt;
  double fractionValue = 0;
  if (fraction) {
    if (!expect(s, pos, '.')) return std::nullopt;
    // Up to 15 significant digits, read as one integer for exact rounding.
    std::int64_t numerator = 0;
    double denominator = 1;
    std::size_t start = pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      if (pos - start < 15) {
        numerator = numerator * 10 + (s[pos] - '0');
        denominator *= 10;
      }
      ++pos;
    }
    if (pos == start) return std::nullopt;
    fractionValue = static_cast<double>(numerator) / denominator;
  }
  int offsetSeconds = 0;
  if (pos < s.size() && s[pos] == 'Z') {
    ++pos;
  } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
    int sign = s[pos] == '-' ? -1 : 1;
    ++pos;
    int oh, om;
    if (!digits(s, pos, 2, oh) || !expect(s, pos, ':') || !digits(s, pos, 2, om) || oh > 23 ||
        om > 59)
      return std::nullopt;
    offsetSeconds = sign * (oh * 3600 + om * 60);
  } else {
    return std::nullopt;
  }
  if (pos != s.size()) return std::nullopt;
  double unix = static_cast<double>(daysFromCivil(year, month, day)) * 86400 + hour * 3600 +
                minute * 60 + second - offsetSeconds;
  return fromUnix(unix + fractionValue);
}

std::optional<Instant> Instant::parseISO8601(std::string_view text) {
  if (auto withFraction = parseISO8601(text, true)) return withFraction;
  return parseISO8601(text, false);
}

std::string Instant::iso8601(bool roundUp) const {
  double unix = unixSeconds();
  double whole = roundUp ? std::ceil(unix) : std::floor(unix);
  // An instant the text cannot carry is written as the nearest one it can
  // (NaN as the earliest): a file we write never holds a time that reading
  // it back would refuse, and the conversion below stays in range.
  whole = std::isnan(whole) ? earliestText : std::clamp(whole, earliestText, latestText);
  auto total = static_cast<std::int64_t>(whole);
  std::int64_t days = total >= 0 ? total / 86400 : (total - 86399) / 86400;
  std::int64_t rest = total - days * 86400;
  std::int64_t y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02d:%02d:%02dZ",
                static_cast<long long>(y), m, d, static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return buffer;
}

}  // namespace lantrel
