// The file form shared by the Codex automation and Claude read states:
// {"readAt": {"<key>": "2025-10-01T12:34:56Z", ...}}, whole seconds in UTC.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "lantrel/instant.hpp"

namespace lantrel::readtimes {

using ReadTimes = std::map<std::string, Instant>;

// Throws DecodingError with a readable text for malformed JSON, a missing
// "readAt", a value that is not a string or not a whole-second ISO 8601 time.
ReadTimes decode(std::string_view bytes);
// Compact; a fractional time is rounded up to the next whole second so that a
// mark read back never lies before the moment it covered.
std::string encode(const ReadTimes& readAt);

// Missing file: empty. A link, a non-regular file or one above `limit` bytes:
// StatusError::invalidRecord. Writes nothing.
ReadTimes load(const std::filesystem::path& url, std::uint64_t limit);
// Creates missing directories (0700) and replaces the file atomically (0600).
void save(const std::filesystem::path& url, const ReadTimes& readAt);

}  // namespace lantrel::readtimes
