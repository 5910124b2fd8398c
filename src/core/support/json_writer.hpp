// The system's JSON text: compact for files, or the pretty form of the
// `list` output. Trees are nlohmann::ordered_json so field order survives
// where it is wanted; the pretty form sorts keys at every level.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace lantrel::json {

enum class Style {
  compact,  // no white space, keys in insertion order
  pretty,   // two-space indent, " : ", keys sorted, "/" escaped as "\/"
};

std::string write(const nlohmann::ordered_json& value, Style style = Style::compact);

// Parses text with nlohmann, turning its errors into DecodingError.
nlohmann::json parse(std::string_view text);

}  // namespace lantrel::json
