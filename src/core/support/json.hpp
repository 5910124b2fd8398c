// Reading JSON, with one reused simdjson parser per call. Other programs'
// files are read leniently: a member that is missing or of another type is
// absent, and a malformed line is not an object. Our own records are read
// strictly: a required member that is missing or mistyped fails the whole
// record with a DecodingError that names it.
#pragma once

#include <simdjson.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "support/files.hpp"

namespace lantrel::json {

using Element = simdjson::dom::element;
using Object = simdjson::dom::object;
using Array = simdjson::dom::array;

static_assert(files::padding >= simdjson::SIMDJSON_PADDING);

class Parser {
 public:
  // The document in `bytes`, or nullopt when it is not well-formed JSON.
  // `padded`: files::padding bytes after `bytes` may be read (anything read
  // into a ReadBuffer, or a slice of it), so they are parsed where they lie;
  // otherwise they are copied first. The result lives until the next parse.
  std::optional<Element> parse(std::string_view bytes, bool padded);
  // The same, but malformed JSON throws DecodingError: "The <what> isn't
  // valid JSON: <reason>."
  Element parse(std::string_view bytes, bool padded, std::string_view what);
  // The document when it is a JSON object (a line of JSON Lines).
  std::optional<Object> object(std::string_view bytes, bool padded);
  // For a document of megabytes of which a few members matter: the
  // document is checked whole, exactly as parse() would check it, but only
  // the members named `keys` (the first of each name) are built, as one
  // object of their own. A document that is not an object is built whole.
  // `bytes` lie in `buffer`, which is released once the members are
  // gathered, so that building them reuses the document's memory.
  Element members(files::ReadBuffer& buffer, std::string_view bytes,
                  std::initializer_list<std::string_view> keys, std::string_view what);

 private:
  simdjson::dom::parser parser_;
  files::ReadBuffer gathered_;
};

// --- other programs' members: missing or of another type reads as absent ---

template <typename T>
std::optional<T> member(Object object, std::string_view key) {
  T value;
  if (object.at_key(key).get(value) != simdjson::SUCCESS) return std::nullopt;
  return value;
}
inline auto string(Object o, std::string_view key) { return member<std::string_view>(o, key); }
inline auto object(Object o, std::string_view key) { return member<Object>(o, key); }
inline auto array(Object o, std::string_view key) { return member<Array>(o, key); }
// Only JSON true and false; numbers and strings are not booleans.
inline auto boolean(Object o, std::string_view key) { return member<bool>(o, key); }
inline auto number(Object o, std::string_view key) { return member<double>(o, key); }

// --- our own records: a missing or mistyped member fails the record --------

class Record {
 public:
  // `what` names the record in errors ("task record"); a value that is not
  // an object fails with "The <what> is not a JSON object."
  Record(Element value, std::string_view what);
  Record(Object object, std::string_view what) : object_(object), what_(what) {}

  // A required member of type T (std::string_view, double, std::int64_t,
  // bool, Object): a missing one, null, or one of another type fails with
  // "The <what>'s "<key>" is missing." or "... is not <a T>."; a number
  // must be finite.
  template <typename T>
  T get(std::string_view key) const {
    auto value = find<T>(key);
    if (!value) fail(key, "is missing");
    return *value;
  }
  // An optional member: missing or null is absent; another type fails.
  template <typename T>
  std::optional<T> find(std::string_view key) const;

  // The record's members, for maps.
  Object members() const { return object_; }
  [[noreturn]] void fail(std::string_view key, std::string_view problem) const;

 private:
  Object object_;
  std::string_view what_;
};

}  // namespace lantrel::json
