#include "support/json_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "lantrel/errors.hpp"
#include "support/text.hpp"

namespace lantrel::json {

void Writer::open(char bracket) {
  beforeValue();
  out_.push_back(bracket);
  open_.push_back({out_.size(), members_.size(), false});
}

void Writer::close(char bracket) {
  Container container = open_.back();
  open_.pop_back();
  auto first = members_.begin() + static_cast<std::ptrdiff_t>(container.firstMember);
  auto byKey = [](const Member& a, const Member& b) { return a.key < b.key; };
  if (first != members_.end()) members_.back().end = out_.size();
  if (!std::is_sorted(first, members_.end(), byKey)) {  // written as given, put in key order
    if (members_.end() - first <= 16) {  // a record's few members: insertion, stable
      for (auto member = first + 1; member != members_.end(); ++member)
        std::rotate(std::upper_bound(first, member, *member, byKey), member, member + 1);
    } else {
      std::stable_sort(first, members_.end(), byKey);
    }
    body_.clear();
    for (auto member = first; member != members_.end(); ++member) {
      if (member != first) body_.push_back(',');
      if (pretty_) body_.append("\n").append((open_.size() + 1) * 2, ' ');
      body_.append(out_, member->start, member->end - member->start);
    }
    out_.replace(container.bodyStart, std::string::npos, body_);
  }
  members_.erase(first, members_.end());
  if (pretty_ && container.any) out_.append("\n").append(open_.size() * 2, ' ');
  out_.push_back(bracket);
}

void Writer::beforeValue() {
  if (afterKey_) {  // the key already placed separator and indentation
    afterKey_ = false;
    return;
  }
  if (open_.empty()) return;
  Container& container = open_.back();
  if (members_.size() > container.firstMember) members_.back().end = out_.size();
  if (container.any) out_.push_back(',');
  container.any = true;
  if (pretty_) out_.append("\n").append(open_.size() * 2, ' ');
}

void Writer::key(std::string_view name) {
  beforeValue();
  if (sorted_) members_.push_back({std::string(name), out_.size(), 0});
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

void Writer::value(bool flag) {
  beforeValue();
  out_ += flag ? "true" : "false";
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

}  // namespace lantrel::json
