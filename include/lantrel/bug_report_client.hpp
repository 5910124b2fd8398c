// The problem report that the application sends, with one screenshot, to
// Lantrel's support service over HTTPS. Part of the LantrelFeedback library,
// which the command-line tool never links.
#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lantrel/feedback_screenshot_validator.hpp"

namespace lantrel {

// Every way a submission can fail, each with the text the application shows.
class BugReportSubmissionError : public std::exception {
 public:
  enum Code { server, invalidServer, insecureServer, invalidReport, invalidResponse, unavailable };

  explicit BugReportSubmissionError(Code code);
  // The service refused the report and said why; `message` is shown as is.
  static BugReportSubmissionError serverMessage(std::string message);

  Code code() const { return code_; }
  // The service's own text for `server`, empty for the other cases.
  const std::string& message() const { return message_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  bool operator==(const BugReportSubmissionError& other) const {
    return code_ == other.code_ && message_ == other.message_;
  }

 private:
  Code code_;
  std::string message_;
  std::string description_;
};

// The service's acknowledgement of a stored report.
struct BugReportReceipt {
  std::string id;
  bool emailSent = false;
  bool operator==(const BugReportReceipt&) const = default;
};

// One request as the transport sends it.
struct BugReportRequest {
  std::string url;
  std::string method;
  std::vector<std::pair<std::string, std::string>> headers;  // in sending order
  std::string body;
  std::chrono::seconds timeout{60};
};

// What came back. `statusCode` is empty when the answer was not an HTTP
// response at all.
struct BugReportResponse {
  std::optional<int> statusCode;
  std::string body;
};

// Sends one request and waits for the answer; throws when no answer came
// (connection, certificate, time limit). Called on the submission's own
// thread, never on the caller's, possibly after the caller has dropped the
// submission's future.
using BugReportTransport = std::function<BugReportResponse(const BugReportRequest&)>;

struct CurlTransportOptions {
  // Certificate authorities to trust instead of the system's (tests use a
  // private one); empty means the system's store.
  std::filesystem::path caFile;
  // Largest answer body accepted; a longer one fails the transfer.
  std::size_t maximumResponseBytes = 1 << 20;
};

// The default transport on libcurl: certificates and host names are always
// verified, redirects are followed only to HTTPS, and the request's time
// limit bounds the whole exchange.
BugReportTransport curlTransport(CurlTransportOptions options = {});

class BugReportClient {
 public:
  // Throws BugReportSubmissionError: invalidServer when `baseURL` has no
  // scheme or host; insecureServer unless it is HTTPS, or plain HTTP to this
  // machine (localhost, 127.0.0.1, ::1).
  explicit BugReportClient(std::string baseURL, BugReportTransport transport = curlTransport());

  const std::string& baseURL() const { return baseURL_; }

  // Sends the report to "<baseURL>/api/bug-reports" on a thread of its own.
  // Every check happens before anything is sent; the future then holds the
  // receipt or a BugReportSubmissionError (invalidReport for a refused
  // report, whatever the service answered otherwise).
  // The caller may drop the future unread at any time without waiting: the
  // exchange then runs to its answer or its time limit on its own thread,
  // with its own copies of the request and the transport. The transport is
  // called on that thread, so whatever it refers to must stay alive until it
  // returns (give it what it needs by value). Let a submission end before the
  // process exits: its thread would otherwise run on into the exit.
  // `token` goes out as "Bearer <token>": non-empty, no control characters.
  // `provider` is "Codex" or "Claude Code"; `installationID` a UUID;
  // `details` 1 to 4,000 characters once trimmed; `appVersion` is cut to 40
  // characters and left out when absent; the screenshot is 1 to 2,500,000
  // bytes of PNG, JPEG or HEIC.
  std::future<BugReportReceipt> submit(std::string token, std::string installationID,
                                       std::string provider, std::string details,
                                       std::optional<std::string> appVersion,
                                       PreparedFeedbackScreenshot screenshot) const;

 private:
  std::string baseURL_;
  std::string endpoint_;
  BugReportTransport transport_;
};

}  // namespace lantrel
