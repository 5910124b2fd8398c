// Error types shared by every area of LantrelCore.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace lantrel {

// Refused input: an ID that could escape the store, or a record, file, input
// or command line that cannot be accepted. what() is the case name exactly,
// which is also the text the command-line tool prints.
class StatusError : public std::exception {
 public:
  enum Code { invalidID, invalidRecord };

  explicit StatusError(Code code) : code_(code) {}
  Code code() const { return code_; }
  const char* what() const noexcept override {
    return code_ == invalidID ? "invalidID" : "invalidRecord";
  }
  bool operator==(const StatusError& other) const { return code_ == other.code_; }

 private:
  Code code_;
};

// JSON that is malformed or does not have the shape a record needs.
// what() is a readable description for the user.
class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace lantrel
