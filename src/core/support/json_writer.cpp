#include "support/json_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "lantrel/errors.hpp"
#include "support/text.hpp"

namespace lantrel::json {

void Writer::open(char bracket) {
  beforeValue();
  out_.push_back(bracket);
  hasMembers_.push_back(false);
}

void Writer::close(char bracket) {
  bool any = hasMembers_.back();
  hasMembers_.pop_back();
  if (pretty_ && any) {
    out_.push_back('\n');
    out_.append(hasMembers_.size() * 2, ' ');
  }
  out_.push_back(bracket);
}

void Writer::beforeValue() {
  if (afterKey_) {  // the key already placed separator and indentation
    afterKey_ = false;
    return;
  }
  if (hasMembers_.empty()) return;
  if (hasMembers_.back()) out_.push_back(',');
  hasMembers_.back() = true;
  if (pretty_) {
    out_.push_back('\n');
    out_.append(hasMembers_.size() * 2, ' ');
  }
}

void Writer::key(std::string_view name) {
  beforeValue();
  writeString(name);
  out_ += pretty_ ? " : " : ":";
  afterKey_ = true;
}

void Writer::value(std::string_view text) {
  beforeValue();
  writeString(text);
}

void Writer::value(double number) {
  // JSON has no NaN or infinity: such a value makes the record unwritable.
  if (!std::isfinite(number)) throw StatusError(StatusError::invalidRecord);
  beforeValue();
  char buffer[32];
  std::to_chars_result r;
  // Whole numbers print without a fraction, like the platform's encoder;
  // others in the shortest form that reads back to the same double.
  if (number == std::trunc(number) && std::fabs(number) < 1e15)
    r = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(number));
  else
    r = std::to_chars(buffer, buffer + sizeof buffer, number);
  out_.append(buffer, r.ptr);
}

void Writer::value(std::int64_t number) {
  beforeValue();
  out_ += std::to_string(number);
}

void Writer::value(std::uint64_t number) {
  beforeValue();
  out_ += std::to_string(number);
}

void Writer::value(bool flag) {
  beforeValue();
  out_ += flag ? "true" : "false";
}

void Writer::null() {
  beforeValue();
  out_ += "null";
}

void Writer::writeString(std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  // Never write text that a reader would refuse: bad UTF-8 becomes U+FFFD.
  std::string repaired;
  if (!text::isValidUTF8(s)) s = repaired = text::repairUTF8(s);
  out_.push_back('"');
  std::size_t run = 0;  // start of the pending run of characters kept as they are
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\' && (c != '/' || !pretty_)) continue;
    out_.append(s.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '"': out_ += "\\\""; break;
      case '\\': out_ += "\\\\"; break;
      case '/': out_ += "\\/"; break;
      case '\n': out_ += "\\n"; break;
      case '\r': out_ += "\\r"; break;
      case '\t': out_ += "\\t"; break;
      case '\b': out_ += "\\b"; break;
      case '\f': out_ += "\\f"; break;
      default:
        out_ += "\\u00";
        out_.push_back(hex[c >> 4]);
        out_.push_back(hex[c & 0xF]);
    }
  }
  out_.append(s.substr(run));
  out_.push_back('"');
}

namespace {

using Json = nlohmann::ordered_json;

void writeTree(Writer& w, const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: w.null(); return;
    case Json::value_t::boolean: w.value(v.get<bool>()); return;
    case Json::value_t::number_integer: w.value(v.get<std::int64_t>()); return;
    case Json::value_t::number_unsigned: w.value(v.get<std::uint64_t>()); return;
    case Json::value_t::number_float: w.value(v.get<double>()); return;
    case Json::value_t::string: w.value(std::string_view(v.get_ref<const std::string&>())); return;
    case Json::value_t::array:
      w.beginArray();
      for (const auto& element : v) writeTree(w, element);
      w.endArray();
      return;
    case Json::value_t::object: {
      std::vector<Json::const_iterator> members;
      for (auto it = v.begin(); it != v.end(); ++it) members.push_back(it);
      if (w.sortsKeys())
        std::sort(members.begin(), members.end(),
                  [](const auto& a, const auto& b) { return a.key() < b.key(); });
      w.beginObject();
      for (const auto& it : members) {
        w.key(it.key());
        writeTree(w, it.value());
      }
      w.endObject();
      return;
    }
    default: throw std::invalid_argument("unsupported JSON value");
  }
}

}  // namespace

std::string write(const nlohmann::ordered_json& value, Style style) {
  Writer w(style);
  writeTree(w, value);
  return w.take();
}

nlohmann::json parse(std::string_view text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    throw DecodingError(std::string("The data isn't valid JSON: ") + e.what());
  }
}

}  // namespace lantrel::json
