// The system's JSON text: compact for files, or the pretty form of the
// `list` output (two-space indent, " : ", keys sorted at every level, "/"
// escaped as "\/"). Writer streams values straight into a string; callers
// that emit objects in a sorted style give keys in sorted order, and
// write(tree) sorts them itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace lantrel::json {

enum class Style {
  compact,        // no white space, keys as given
  compactSorted,  // no white space, keys sorted
  pretty,         // the `list` form
};

class Writer {
 public:
  explicit Writer(Style style = Style::compact)
      : pretty_(style == Style::pretty), sorted_(style != Style::compact) {}

  // Whether callers must give object keys in sorted order.
  bool sortsKeys() const { return sorted_; }

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  // A member's key; the value follows with one of the calls below.
  void key(std::string_view name);

  void value(std::string_view text);
  void value(const char* text) { value(std::string_view(text)); }
  void value(double number);  // throws StatusError::invalidRecord when not finite
  void value(std::int64_t number);
  void value(std::uint64_t number);
  void value(bool flag);
  void null();

  const std::string& text() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  void open(char bracket);
  void close(char bracket);
  void beforeValue();
  void writeString(std::string_view s);

  std::string out_;
  std::vector<bool> hasMembers_;  // one entry per open container
  bool afterKey_ = false;
  bool pretty_;
  bool sorted_;
};

// A whole tree; in the sorted styles every object's keys come out sorted.
std::string write(const nlohmann::ordered_json& value, Style style = Style::compact);

// Parses text with nlohmann, turning its errors into DecodingError.
nlohmann::json parse(std::string_view text);

}  // namespace lantrel::json
