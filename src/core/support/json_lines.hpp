// Reading other programs' JSON Lines: each non-empty line is one document,
// parsed by one reused simdjson parser. A line that is not well-formed JSON
// (bad syntax, invalid UTF-8, nesting too deep) is simply not an object.
#pragma once

#include <simdjson.h>

#include <optional>
#include <string_view>

namespace lantrel::jsonl {

// Calls `visit(line)` for each non-empty line of `bytes` (split at line
// feeds) until it returns false.
template <typename Visit>
void forEachLine(std::string_view bytes, Visit visit) {
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    if (end > start && !visit(bytes.substr(start, end - start))) return;
    start = end + 1;
  }
}

// Parses lines cut from one buffer with one reused parser. simdjson may read
// up to SIMDJSON_PADDING bytes past a document: a line with that many bytes
// of the buffer after it is parsed where it lies, and only the last few
// lines are copied into a padded scratch buffer first.
class LineParser {
 public:
  explicit LineParser(std::string_view buffer) : buffer_(buffer) {}
  LineParser(const LineParser&) = delete;
  LineParser& operator=(const LineParser&) = delete;

  // Moves on to lines of another buffer, keeping the parser's memory.
  void rebind(std::string_view buffer) { buffer_ = buffer; }

  // The line as an object; `line` must be a slice of the buffer.
  std::optional<simdjson::dom::object> object(std::string_view line) {
    const char* data = line.data();
    std::size_t after = static_cast<std::size_t>(buffer_.data() + buffer_.size() -
                                                 (line.data() + line.size()));
    if (after < simdjson::SIMDJSON_PADDING) {
      scratch_ = simdjson::padded_string(line);
      data = scratch_.data();
    }
    simdjson::dom::object result;
    if (parser_.parse(data, line.size(), false).get(result) != simdjson::SUCCESS)
      return std::nullopt;
    return result;
  }

 private:
  std::string_view buffer_;
  simdjson::padded_string scratch_;
  simdjson::dom::parser parser_;
};

// Members of the wrong JSON type read as absent.
inline std::optional<std::string_view> string(simdjson::dom::object object, std::string_view key) {
  std::string_view value;
  if (object.at_key(key).get(value) != simdjson::SUCCESS) return std::nullopt;
  return value;
}

inline std::optional<simdjson::dom::object> object(simdjson::dom::object object,
                                                   std::string_view key) {
  simdjson::dom::object value;
  if (object.at_key(key).get(value) != simdjson::SUCCESS) return std::nullopt;
  return value;
}

inline std::optional<simdjson::dom::array> array(simdjson::dom::object object,
                                                 std::string_view key) {
  simdjson::dom::array value;
  if (object.at_key(key).get(value) != simdjson::SUCCESS) return std::nullopt;
  return value;
}

}  // namespace lantrel::jsonl
