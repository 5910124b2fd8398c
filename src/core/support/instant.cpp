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

// The text form carries the years 0000 to 9999 (Unix seconds).
constexpr double earliestText = -62167219200;  // 0000-01-01T00:00:00Z
constexpr double latestText = 253402300799;    // 9999-12-31T23:59:59Z

// The decimal number of the `count` characters at `at`; -1 when one of
// them is no decimal digit.
int number(std::string_view s, std::size_t at, std::size_t count) {
  int n = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    unsigned digit = static_cast<unsigned char>(s[i]) - unsigned('0');
    if (digit > 9) return -1;
    n = n * 10 + static_cast<int>(digit);
  }
  return n;
}

}  // namespace

Instant Instant::now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return fromUnix(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

std::optional<Instant> Instant::parseISO8601(std::string_view s, bool fraction) {
  // "YYYY-MM-DDThh:mm:ss"
  if (s.size() < 19 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':')
    return std::nullopt;
  int year = number(s, 0, 4), month = number(s, 5, 2), day = number(s, 8, 2);
  int hour = number(s, 11, 2), minute = number(s, 14, 2), second = number(s, 17, 2);
  if ((year | month | day | hour | minute | second) < 0) return std::nullopt;
  year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                      std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  std::size_t pos = 19;
  double fractionValue = 0;
  if (fraction) {
    if (pos == s.size() || s[pos++] != '.') return std::nullopt;
    // Up to 15 significant digits, read as one integer for exact rounding.
    std::int64_t numerator = 0;
    double denominator = 1;
    std::size_t start = pos;
    for (; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos) {
      if (pos - start < 15) {
        numerator = numerator * 10 + (s[pos] - '0');
        denominator *= 10;
      }
    }
    if (pos == start) return std::nullopt;
    fractionValue = static_cast<double>(numerator) / denominator;
  }
  std::string_view zone = s.substr(pos);
  int offsetSeconds = 0;
  if ((zone.starts_with('+') || zone.starts_with('-')) && zone.size() == 6 && zone[3] == ':') {
    int hours = number(zone, 1, 2), minutes = number(zone, 4, 2);
    if (hours < 0 || minutes < 0 || hours > 23 || minutes > 59) return std::nullopt;
    offsetSeconds = (zone[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
  } else if (zone != "Z") {
    return std::nullopt;
  }
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
