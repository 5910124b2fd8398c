#include "support/json.hpp"

#include <cmath>
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
