#include "lantrel/bug_report_client.hpp"

#include <curl/curl.h>

#include <memory>
#include <stdexcept>
#include <string_view>

#include "support/background.hpp"
#include "support/json.hpp"
#include "support/json_writer.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

// In the order of BugReportSubmissionError::Code; `server` brings its own.
constexpr const char* descriptions[] = {
    "",
    "The Lantrel support service is not configured.",
    "The support service must use HTTPS.",
    "Check the report details and screenshot, then try again.",
    "The support service returned an invalid response.",
    "The report could not be sent. Check your connection and try again.",
};

constexpr std::size_t maximumDetailsCharacters = 4000;
constexpr std::size_t maximumAppVersionCharacters = 40;
constexpr std::size_t maximumScreenshotNameCharacters = 120;
constexpr const char* notAcceptedMessage = "The report was not accepted. Please try again.";

[[noreturn]] void fail(BugReportSubmissionError::Code code) {
  throw BugReportSubmissionError(code);
}

struct URLCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using URL = std::unique_ptr<CURLU, URLCleanup>;

// One part of a parsed URL; empty when the URL has none.
std::string urlPart(CURLU* url, CURLUPart which) {
  char* part = nullptr;
  if (curl_url_get(url, which, &part, 0) != CURLUE_OK || !part) return {};
  std::string value = part;
  curl_free(part);
  return value;
}

// Checks the service's address and returns the report endpoint under it.
std::string endpointFor(const std::string& baseURL) {
  // libcurl would read "https:///x" as the host "x"; an address without an
  // authority has no host.
  std::size_t authority = baseURL.find("://");
  if (authority == std::string::npos || authority + 3 >= baseURL.size() ||
      baseURL[authority + 3] == '/')
    fail(BugReportSubmissionError::invalidServer);
  URL url(curl_url());
  if (!url) throw std::bad_alloc();
  // Any scheme parses, so that an unsupported one is told apart from a
  // malformed address.
  if (baseURL.find('\0') != std::string::npos ||
      curl_url_set(url.get(), CURLUPART_URL, baseURL.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
          CURLUE_OK)
    fail(BugReportSubmissionError::invalidServer);
  std::string scheme = text::lowercased(urlPart(url.get(), CURLUPART_SCHEME));
  std::string host = text::lowercased(urlPart(url.get(), CURLUPART_HOST));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (scheme.empty() || host.empty()) fail(BugReportSubmissionError::invalidServer);
  bool local = host == "localhost" || host == "127.0.0.1" || host == "::1";
  if (!(scheme == "https" || (scheme == "http" && local)))
    fail(BugReportSubmissionError::insecureServer);

  std::string path = urlPart(url.get(), CURLUPART_PATH);
  while (!path.empty() && path.back() == '/') path.pop_back();
  path += "/api/bug-reports";
  if (curl_url_set(url.get(), CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK)
    fail(BugReportSubmissionError::invalidServer);
  std::string endpoint = urlPart(url.get(), CURLUPART_URL);
  if (endpoint.empty()) fail(BugReportSubmissionError::invalidServer);
  return endpoint;
}

std::string base64(std::string_view bytes) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  // Three bytes give four characters; a last group of one or two bytes gives
  // two or three, and "=" fills the rest.
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    unsigned group = 0;
    for (std::size_t k = 0; k < 3; ++k)
      group = group << 8 | (k < count ? static_cast<unsigned char>(bytes[i + k]) : 0);
    for (std::size_t k = 0; k < 4; ++k) out += k <= count ? alphabet[group >> (18 - 6 * k) & 63] : '=';
  }
  return out;
}

bool isAcceptedContentType(std::string_view type) {
  return type == "image/png" || type == "image/jpeg" || type == "image/heic";
}

// A header value must not be able to end its line and start another.
bool isHeaderSafe(std::string_view value) {
  for (unsigned char c : value)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

BugReportRequest makeRequest(const std::string& endpoint, const std::string& token,
                             const std::string& installationID, const std::string& provider,
                             const std::string& details,
                             const std::optional<std::string>& appVersion,
                             const PreparedFeedbackScreenshot& screenshot) {
  // Text from the caller is made valid UTF-8 first, so that building the
  // JSON body cannot fail half-way.
  std::string repairedDetails = text::repairUTF8(details);
  std::string_view trimmedDetails = text::trimmed(repairedDetails);
  if ((provider != "Codex" && provider != "Claude Code") || trimmedDetails.empty() ||
      !text::atMostCharacters(trimmedDetails, maximumDetailsCharacters) || token.empty() ||
      !isHeaderSafe(token) ||
      !isUUID(installationID) || screenshot.data.empty() ||
      screenshot.data.size() > FeedbackScreenshotValidator::maximumUploadBytes ||
      !isAcceptedContentType(screenshot.contentType))
    fail(BugReportSubmissionError::invalidReport);

  json::Writer body;
  body.beginObject();
  body.member("installationId", text::lowercased(installationID));
  body.member("provider", provider);
  body.member("details", trimmedDetails);
  if (appVersion)
    body.member("appVersion",
                text::characterPrefix(text::repairUTF8(*appVersion), maximumAppVersionCharacters));
  body.member("screenshotName", text::characterPrefix(text::repairUTF8(screenshot.fileName),
                                                      maximumScreenshotNameCharacters));
  body.member("screenshotContentType", screenshot.contentType);
  body.member("screenshotBase64", base64(screenshot.data));
  body.endObject();

  BugReportRequest request;
  request.url = endpoint;
  request.method = "POST";
  request.headers = {{"Authorization", "Bearer " + token},
                     {"Content-Type", "application/json"},
                     {"Accept", "application/json"}};
  request.body = body.take();
  request.timeout = std::chrono::seconds(60);
  return request;
}

// The service's text from an error answer, when the body is one.
std::optional<std::string> errorMessage(const std::string& body) {
  json::Parser parser;
  auto answer = parser.object(body, false);
  auto error = answer ? json::string(*answer, "error") : std::nullopt;
  if (!error) return std::nullopt;
  std::string message = text::repairUTF8(*error);
  // An empty message would show the user a blank alert.
  if (text::trimmed(message).empty()) return std::nullopt;
  return message;
}

BugReportReceipt interpret(const BugReportResponse& response) {
  if (!response.statusCode) fail(BugReportSubmissionError::invalidResponse);
  int status = *response.statusCode;
  if (status >= 200 && status <= 299) {
    json::Parser parser;
    auto answer = parser.object(response.body, false);
    auto id = answer ? json::string(*answer, "id") : std::nullopt;
    auto emailSent = answer ? json::boolean(*answer, "emailSent") : std::nullopt;
    if (!id || id->empty() || !emailSent) fail(BugReportSubmissionError::invalidResponse);
    return BugReportReceipt{std::string(*id), *emailSent};
  }
  if (status >= 500 && status <= 599) fail(BugReportSubmissionError::unavailable);
  throw BugReportSubmissionError::serverMessage(
      errorMessage(response.body).value_or(notAcceptedMessage));
}

}  // namespace

BugReportSubmissionError::BugReportSubmissionError(Code code)
    : code_(code), description_(descriptions[code]) {}

BugReportSubmissionError BugReportSubmissionError::serverMessage(std::string message) {
  BugReportSubmissionError error(server);
  error.message_ = message;
  error.description_ = std::move(message);
  return error;
}

BugReportClient::BugReportClient(std::string baseURL, BugReportTransport transport)
    : baseURL_(std::move(baseURL)),
      endpoint_(endpointFor(baseURL_)),
      transport_(std::move(transport)) {
  if (!transport_) throw std::invalid_argument("BugReportClient needs a transport");
}

std::future<BugReportReceipt> BugReportClient::submit(std::string token, std::string installationID,
                                                      std::string provider, std::string details,
                                                      std::optional<std::string> appVersion,
                                                      PreparedFeedbackScreenshot screenshot) const {
  BugReportRequest request;
  try {
    request =
        makeRequest(endpoint_, token, installationID, provider, details, appVersion, screenshot);
  } catch (...) {
    // A refused report never reaches the transport; the caller learns of it
    // where it learns of every other outcome.
    std::promise<BugReportReceipt> refused;
    refused.set_exception(std::current_exception());
    return refused.get_future();
  }
  // The transport travels with the request, so the client, and the future,
  // may go away while the report is in flight.
  return runInBackground([transport = transport_, request = std::move(request)] {
    BugReportResponse response;
    try {
      response = transport(request);
    } catch (...) {
      fail(BugReportSubmissionError::unavailable);
    }
    return interpret(response);
  });
}

}  // namespace lantrel
