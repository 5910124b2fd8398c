#include "support/json_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "lantrel/errors.hpp"
#include "support/text.hpp"

namespace lantrel::json {

namespace {

using Json = nlohmann::ordered_json;

void writeString(std::string& out, std::string_view s, bool escapeSlash) {
  static constexpr char hex[] = "0123456789abcdef";
  // Never write text that a reader would refuse: bad UTF-8 becomes U+FFFD.
  std::string repaired;
  if (!text::isValidUTF8(s)) s = repaired = text::repairUTF8(s);
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '/':
        if (escapeSlash) out += "\\/";
        else out.push_back('/');
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

void writeNumber(std::string& out, double value) {
  if (!std::isfinite(value)) throw std::invalid_argument("a JSON number must be finite");
  char buffer[32];
  // Whole numbers print without a fraction, like the platform's encoder.
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    auto r = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value));
    out.append(buffer, r.ptr);
    return;
  }
  auto r = std::to_chars(buffer, buffer + sizeof buffer, value);  // shortest round trip
  out.append(buffer, r.ptr);
}

void newline(std::string& out, int depth) {
  out.push_back('\n');
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

void writeValue(std::string& out, const Json& v, bool pretty, int depth) {
  switch (v.type()) {
    case Json::value_t::null: out += "null"; return;
    case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return;
    case Json::value_t::number_integer: out += std::to_string(v.get<std::int64_t>()); return;
    case Json::value_t::number_unsigned: out += std::to_string(v.get<std::uint64_t>()); return;
    case Json::value_t::number_float: writeNumber(out, v.get<double>()); return;
    case Json::value_t::string:
      writeString(out, v.get_ref<const std::string&>(), pretty);
      return;
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : v) {
        if (!first) out.push_back(',');
        first = false;
        if (pretty) newline(out, depth + 1);
        writeValue(out, element, pretty, depth + 1);
      }
      if (pretty && !first) newline(out, depth);
      out.push_back(']');
      return;
    }
    case Json::value_t::object: {
      std::vector<Json::const_iterator> members;
      for (auto it = v.begin(); it != v.end(); ++it) members.push_back(it);
      if (pretty)
        std::sort(members.begin(), members.end(),
                  [](const auto& a, const auto& b) { return a.key() < b.key(); });
      out.push_back('{');
      bool first = true;
      for (const auto& it : members) {
        if (!first) out.push_back(',');
        first = false;
        if (pretty) newline(out, depth + 1);
        writeString(out, it.key(), pretty);
        out += pretty ? " : " : ":";
        writeValue(out, it.value(), pretty, depth + 1);
      }
      if (pretty && !first) newline(out, depth);
      out.push_back('}');
      return;
    }
    default: throw std::invalid_argument("unsupported JSON value");
  }
}

}  // namespace

std::string write(const nlohmann::ordered_json& value, Style style) {
  std::string out;
  writeValue(out, value, style == Style::pretty, 0);
  return out;
}

nlohmann::json parse(std::string_view text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    throw DecodingError(std::string("The data isn't valid JSON: ") + e.what());
  }
}

}  // namespace lantrel::json
