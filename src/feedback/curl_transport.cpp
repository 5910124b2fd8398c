// The support report's default transport on libcurl.
#include <curl/curl.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "lantrel/bug_report_client.hpp"

namespace lantrel {

namespace {

// libcurl's process-wide set-up, done once before the first transfer.
void startCurl() {
  static const CURLcode started = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (started != CURLE_OK) throw std::runtime_error("libcurl could not start");
}

struct Received {
  std::string body;
  std::size_t limit;
};

// Collects the answer body; returning less than given stops a body that
// outgrows the limit.
std::size_t receive(char* data, std::size_t size, std::size_t count, void* context) {
  auto* received = static_cast<Received*>(context);
  std::size_t length = size * count;
  if (received->body.size() + length > received->limit) return 0;
  received->body.append(data, length);
  return length;
}

void check(CURLcode result) {
  if (result != CURLE_OK)
    throw std::runtime_error(std::string("libcurl: ") + curl_easy_strerror(result));
}

BugReportResponse perform(const BugReportRequest& request, const CurlTransportOptions& options) {
  startCurl();
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
  if (!handle) throw std::runtime_error("libcurl: no handle");
  CURL* easy = handle.get();
  Received received{{}, options.maximumResponseBytes};
  char errorText[CURL_ERROR_SIZE] = {};

  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, curl_slist_free_all);
  auto append = [&](const std::string& line) {
    curl_slist* list = curl_slist_append(headers.get(), line.c_str());
    if (!list) throw std::bad_alloc();
    (void)headers.release();  // the same list, or its first node when it was empty
    headers.reset(list);
  };
  for (const auto& [name, value] : request.headers) append(name + ": " + value);
  // No "Expect: 100-continue" round trip before a large body.
  append("Expect:");

  check(curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str()));
  check(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
  check(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText));
  // Plain HTTP only reaches this machine (the client checks the address);
  // a redirect may lead only to HTTPS.
  check(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
  check(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https"));
  check(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L));
  check(curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L));
  check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
  check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
  if (!options.caFile.empty()) {
    check(curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str()));
    check(curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr));
  }
  check(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                         static_cast<long>(request.timeout.count()) * 1000L));
  if (request.method != "POST")
    check(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str()));
  check(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size())));
  check(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data()));
  check(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get()));
  check(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, receive));
  check(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received));

  CURLcode result = curl_easy_perform(easy);
  if (result != CURLE_OK)
    throw std::runtime_error(std::string("libcurl: ") +
                             (errorText[0] ? errorText : curl_easy_strerror(result)));
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  BugReportResponse response;
  if (status > 0) response.statusCode = static_cast<int>(status);
  response.body = std::move(received.body);
  return response;
}

}  // namespace

BugReportTransport curlTransport(CurlTransportOptions options) {
  return [options = std::move(options)](const BugReportRequest& request) {
    return perform(request, options);
  };
}

}  // namespace lantrel
