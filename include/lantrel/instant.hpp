// A point in time as the system's files store it: seconds since
// 2001-01-01T00:00:00Z, with fraction.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lantrel {

struct Instant {
  double seconds = 0;  // since 2001-01-01T00:00:00Z

  // Seconds between 1970-01-01 and 2001-01-01.
  static constexpr double unixEpochOffset = 978307200;

  static Instant now();
  // The platform's "distant past", year 1 of the common era.
  static Instant distantPast() { return Instant{-63114076800}; }
  static Instant fromUnix(double unixSeconds) { return Instant{unixSeconds - unixEpochOffset}; }
  double unixSeconds() const { return seconds + unixEpochOffset; }

  // ISO 8601 internet date-time: "2025-10-01T12:34:56Z" or with an offset
  // ("+02:00"). With `fraction` the seconds must carry a fractional part
  // ("12:34:56.789Z"); without it they must not. Anything else is nullopt.
  static std::optional<Instant> parseISO8601(std::string_view text, bool fraction);
  // Tries the form with a fraction first, then the one without.
  static std::optional<Instant> parseISO8601(std::string_view text);

  // "2025-10-01T12:34:56Z". The fraction is dropped (rounded down), or with
  // `roundUp` a fractional instant moves to the next whole second, so the
  // text never names a moment earlier than the instant. Instants outside the
  // years 0000 to 9999 are written as the nearest end of that range (NaN as
  // its start), so what is written can always be parsed again.
  std::string iso8601(bool roundUp = false) const;

  Instant operator+(double delta) const { return Instant{seconds + delta}; }
  Instant operator-(double delta) const { return Instant{seconds - delta}; }
  double operator-(Instant other) const { return seconds - other.seconds; }
  auto operator<=>(const Instant&) const = default;
};

}  // namespace lantrel
