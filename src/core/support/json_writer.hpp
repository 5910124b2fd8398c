// The system's JSON text: compact for files, or the pretty form of the
// `list` output (two-space indent, " : ", keys sorted at every level, "/"
// escaped as "\/"). Writer streams values straight into a string; in the
// sorted styles it puts each object's members in key order when it closes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  // A member's key; the value follows with one of the calls below.
  void key(std::string_view name);
  // A whole member whose value is a scalar.
  template <typename T>
  void member(std::string_view name, const T& scalar) {
    key(name);
    value(scalar);
  }

  void value(std::string_view text);
  void value(const char* text) { value(std::string_view(text)); }
  void value(double number);  // throws StatusError::invalidRecord when not finite
  void value(bool flag);

  const std::string& text() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  void open(char bracket);
  void close(char bracket);
  void beforeValue();
  void writeString(std::string_view s);

  // An open object or array: where its body starts in out_ and, in the
  // sorted styles, where its members start in members_.
  struct Container {
    std::size_t bodyStart;
    std::size_t firstMember;
    bool any = false;
  };
  // A member written so far: its key and where its text lies in out_.
  struct Member {
    std::string key;
    std::size_t start, end;
  };
  std::vector<Member> members_;  // of every open object, innermost last
  std::string body_;             // reused to put a body in key order
  std::string out_;
  std::vector<Container> open_;
  bool afterKey_ = false;
  bool pretty_;
  bool sorted_;
};

}  // namespace lantrel::json
