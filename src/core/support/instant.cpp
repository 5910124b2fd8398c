#include "lantrel/instant.hpp"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace lantrel {

namespace {

using namespace std::chrono;

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
  year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                      std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
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
  double days = static_cast<double>(sys_days(date).time_since_epoch().count());
  double unix = days * 86400 + hour * 3600 + minute * 60 + second - offsetSeconds;
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
  sys_seconds time{std::chrono::seconds(static_cast<std::int64_t>(whole))};
  sys_days day = floor<days>(time);
  year_month_day date(day);
  hh_mm_ss clock(time - day);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
  return buffer;
}

}  // namespace lantrel
