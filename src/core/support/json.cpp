#include "support/json.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>
#include <type_traits>

#include "lantrel/errors.hpp"

namespace lantrel::json {

std::optional<Element> Parser::parse(std::string_view bytes, bool padded) {
  Element document;
  if (parser_.parse(bytes.data(), bytes.size(), !padded).get(document) != simdjson::SUCCESS)
    return std::nullopt;
  return document;
}

Element Parser::parse(std::string_view bytes, bool padded, std::string_view what) {
  Element document;
  if (auto error = parser_.parse(bytes.data(), bytes.size(), !padded).get(document))
    throw DecodingError("The " + std::string(what) + " isn't valid JSON: " +
                        simdjson::error_message(error) + ".");
  return document;
}

std::optional<Object> Parser::object(std::string_view bytes, bool padded) {
  Object object;
  if (parser_.parse(bytes.data(), bytes.size(), !padded).get(object) != simdjson::SUCCESS)
    return std::nullopt;
  return object;
}

namespace {

namespace od = simdjson::ondemand;

// Four hexadecimal digits as a number; above 0xFFFF when one is not.
unsigned hex4(const char* text) {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    char c = text[i];
    unsigned digit = c >= '0' && c <= '9'   ? unsigned(c - '0')
                     : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                     : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                            : 0x10000u;
    value = value * 16 + digit;
  }
  return value;
}

// Whether the escapes of a string, from just after its opening quote, are
// those a full parse decodes: one of \\" \\\\ \\/ \\b \\f \\n \\r \\t, or \\u with
// four hexadecimal digits, where a high surrogate is followed by an escaped
// low one and a low one never stands alone. The first pass over the
// document (which ends before `end`) has checked the UTF-8 and that the
// string is closed.
bool escapesAreValid(const char* text, const char* end) {
  const char* quote = nullptr;
  for (;;) {
    if (!quote || quote < text)
      quote = static_cast<const char*>(std::memchr(text, '"', std::size_t(end - text)));
    if (!quote) return false;
    auto escape = static_cast<const char*>(std::memchr(text, '\\', std::size_t(quote - text)));
    if (!escape) return true;
    char kind = escape[1];
    text = escape + 2;
    if (kind == 'u') {
      unsigned unit = hex4(text);
      text += 4;
      if (unit >= 0xD800 && unit < 0xDC00) {
        if (text[0] != '\\' || text[1] != 'u') return false;
        unit = hex4(text + 2);
        if (unit < 0xDC00 || unit > 0xDFFF) return false;
        text += 6;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return false;
      }
      if (unit > 0xFFFF) return false;
    } else if (kind == 0 || !std::strchr("\"\\/bfnrt", kind)) {
      return false;
    }
  }
}

// Finds the backslashes of a document for the walk, which goes through it
// from front to back: only a string that holds one has escapes to check.
// One search a few kilobytes ahead of the walk, which reads those bytes
// next, costs less than one search per string, and keys need none of
// their own.
class Escapes {
 public:
  explicit Escapes(std::string_view document)
      : clean_(document.data()), end_(document.data() + document.size()) {}
  const char* end() const { return end_; }
  // Whether the string from just after its opening quote at `text` to
  // before `stop` (where the next token starts) has valid escapes.
  bool valid(const char* text, const char* stop) { return clean_ >= stop || search(text, stop); }

 private:
  // Out of line, so that the common case above stays a comparison in the walk.
  [[gnu::noinline]] bool search(const char* text, const char* stop) {
    constexpr std::size_t window = 4096;
    clean_ = std::max(clean_, text);
    while (clean_ < stop) {
      if (*clean_ == '\\') return escapesAreValid(text, end_);
      std::size_t length = std::min(window, std::size_t(end_ - clean_));
      auto found = static_cast<const char*>(std::memchr(clean_, '\\', length));
      clean_ = found ? found : clean_ + length;
    }
    return true;
  }

  const char* clean_;  // no backslash from where the last search began up to here
  const char* end_;
};

// The name of a member of the root object: its own text when it has no
// escapes, else decoded, which checks the escapes. Names are short, so one
// pass byte by byte finds the closing quote or a backslash sooner than two
// searches.
simdjson::error_code nameOf(simdjson::simdjson_result<od::field>& field, const char* end,
                            std::string_view& name) {
  if (auto error = field.error()) return error;
  auto raw = reinterpret_cast<const char*>(field.key().value_unsafe().raw());
  const char* at = raw;
  while (at < end && *at != '"' && *at != '\\') ++at;
  if (at < end && *at == '"') {
    name = std::string_view(raw, std::size_t(at - raw));
    return simdjson::SUCCESS;
  }
  return field.unescaped_key().get(name);
}

// Checks a value inside `depth` arrays and objects the way a full parse
// would, without building it; the full parse allows 1024 of them.
simdjson::error_code check(simdjson::simdjson_result<od::value> result, Escapes& escapes,
                           int depth) {
  od::value value;
  od::json_type type;
  if (auto error = std::move(result).get(value)) return error;
  if (auto error = value.type().get(type)) return error;
  bool container = type == od::json_type::object || type == od::json_type::array;
  if (container && depth >= 1024) return simdjson::DEPTH_ERROR;
  switch (type) {
    case od::json_type::object: {
      od::object object;
      if (auto error = value.get_object().get(object)) return error;
      for (auto field : object) {
        if (auto error = field.error()) return error;
        // The name runs from its quote to where the member's value starts.
        auto name = reinterpret_cast<const char*>(field.value_unsafe().key().raw());
        od::value& member = field.value_unsafe().value();
        if (!escapes.valid(name, member.raw_json_token().data())) return simdjson::STRING_ERROR;
        if (auto error = check(simdjson::simdjson_result<od::value>(std::move(member)), escapes,
                               depth + 1))
          return error;
      }
      return simdjson::SUCCESS;
    }
    case od::json_type::array: {
      od::array array;
      if (auto error = value.get_array().get(array)) return error;
      for (auto element : array)
        if (auto error = check(element, escapes, depth + 1)) return error;
      return simdjson::SUCCESS;
    }
    case od::json_type::string: {
      // The token runs to the next structural character, so it holds the
      // whole string.
      std::string_view token = value.raw_json_token();
      od::raw_json_string raw;
      if (auto error = value.get_raw_json_string().get(raw)) return error;
      return escapes.valid(reinterpret_cast<const char*>(raw.raw()), token.data() + token.size())
                 ? simdjson::SUCCESS
                 : simdjson::STRING_ERROR;
    }
    case od::json_type::number:
      return value.get_number().error();
    case od::json_type::boolean:
      return value.get_bool().error();
    case od::json_type::null: {
      bool null = false;
      if (auto error = value.is_null().get(null)) return error;
      return null ? simdjson::SUCCESS : simdjson::N_ATOM_ERROR;
    }
  }
  return simdjson::TAPE_ERROR;
}

// The text of a value of the root object, which the caller parses again.
// A scalar is checked as it is read, which also moves past it.
simdjson::error_code text(simdjson::simdjson_result<od::value> result, Escapes& escapes,
                          std::string_view& out) {
  od::value value;
  od::json_type type;
  if (auto error = std::move(result).get(value)) return error;
  if (auto error = value.type().get(type)) return error;
  if (type == od::json_type::object) {
    od::object object;
    if (auto error = value.get_object().get(object)) return error;
    return object.raw_json().get(out);
  }
  if (type == od::json_type::array) {
    od::array array;
    if (auto error = value.get_array().get(array)) return error;
    return array.raw_json().get(out);
  }
  out = value.raw_json_token();
  return check(simdjson::simdjson_result<od::value>(std::move(value)), escapes, 1);
}

}  // namespace

Element Parser::members(files::ReadBuffer& buffer, std::string_view bytes,
                        std::initializer_list<std::string_view> keys, std::string_view what) {
  auto fail = [&](simdjson::error_code error) {
    throw DecodingError("The " + std::string(what) + " isn't valid JSON: " +
                        simdjson::error_message(error) + ".");
  };
  // The wanted members, each the first of its name, as in a full parse.
  // Their texts lie in `bytes`: the walk's parser and its index of the
  // whole document are gone before the members are built.
  std::vector<std::pair<std::string_view, std::string_view>> found;
  {
    // check() refuses a container below 1024 others, as the full parse does,
    // before the walk goes in: the walk's own depth must reach one further.
    od::parser parser;
    od::document document;
    od::json_type type;
    if (auto error = parser.allocate(bytes.size(), 1025)) fail(error);
    if (auto error = parser.iterate(bytes.data(), bytes.size(), bytes.size() + files::padding)
                         .get(document))
      fail(error);
    if (auto error = document.type().get(type)) fail(error);
    if (type != od::json_type::object) return parse(bytes, true, what);

    od::object root;
    std::vector<std::string_view> wanted(keys);
    Escapes escapes(bytes);
    if (auto error = document.get_object().get(root)) fail(error);
    for (auto field : root) {
      std::string_view key, value;
      if (auto error = nameOf(field, escapes.end(), key)) fail(error);
      auto at = std::find(wanted.begin(), wanted.end(), key);
      if (at == wanted.end()) {
        if (auto error = check(field.value(), escapes, 1)) fail(error);
        continue;
      }
      if (auto error = text(field.value(), escapes, value)) fail(error);
      found.emplace_back(*at, value);
      wanted.erase(at);
    }
    // Nothing but white space may follow the object: its text, taken once
    // it has been read, ends where the next token would start.
    std::string_view whole;
    if (auto error = root.raw_json().get(whole)) fail(error);
    std::string_view rest = bytes.substr(std::size_t(whole.data() + whole.size() - bytes.data()));
    if (rest.find_first_not_of(" \t\n\r") != std::string_view::npos) fail(simdjson::TAPE_ERROR);
  }

  // {"key":value,...}, parsed where it lies.
  std::size_t size = 2;
  for (auto [key, value] : found) size += key.size() + value.size() + 4;
  char* start = gathered_.reserve(size);
  char* out = start;
  *out++ = '{';
  for (auto [key, value] : found) {
    if (out - start > 1) *out++ = ',';
    *out++ = '"';
    out = std::copy(key.begin(), key.end(), out);
    *out++ = '"';
    *out++ = ':';
    out = std::copy(value.begin(), value.end(), out);
  }
  *out++ = '}';
  buffer.release();
  return parse(std::string_view(start, std::size_t(out - start)), true, what);
}

Record::Record(Element value, std::string_view what) : what_(what) {
  if (value.get(object_) != simdjson::SUCCESS)
    throw DecodingError("The " + std::string(what) + " is not a JSON object.");
}

void Record::fail(std::string_view key, std::string_view problem) const {
  throw DecodingError("The " + std::string(what_) + "'s \"" + std::string(key) + "\" " +
                      std::string(problem) + ".");
}

template <typename T>
std::optional<T> Record::find(std::string_view key) const {
  Element value;
  if (object_.at_key(key).get(value) != simdjson::SUCCESS || value.is_null()) return std::nullopt;
  if constexpr (std::is_same_v<T, Element>) return value;
  T result;
  if (value.get(result) != simdjson::SUCCESS) {
    constexpr const char* kind = std::is_same_v<T, std::string_view> ? "a string"
                                 : std::is_same_v<T, double>         ? "a number"
                                 : std::is_same_v<T, std::int64_t>   ? "an integer"
                                 : std::is_same_v<T, bool>           ? "a boolean"
                                                                     : "an object";
    fail(key, std::string("is not ") + kind);
  }
  if constexpr (std::is_same_v<T, double>)
    if (!std::isfinite(result)) fail(key, "is not a finite number");
  return result;
}

template std::optional<std::string_view> Record::find(std::string_view) const;
template std::optional<double> Record::find(std::string_view) const;
template std::optional<std::int64_t> Record::find(std::string_view) const;
template std::optional<bool> Record::find(std::string_view) const;
template std::optional<Object> Record::find(std::string_view) const;
template std::optional<Element> Record::find(std::string_view) const;

}  // namespace lantrel::json
