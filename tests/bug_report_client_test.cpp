#include "lantrel/bug_report_client.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using E = BugReportSubmissionError;
using nlohmann::json;
const std::string installation = "6F1C2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4F";

// `size` bytes of every value, zeros included.
PreparedFeedbackScreenshot shot(std::size_t size, std::string type = "image/png") {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7919 % 256);
  return {data, "screen.png", type};
}

// "id sent|unsent" for a receipt, else the error's case and message.
std::string outcome(std::future<BugReportReceipt> submission) {
  try {
    BugReportReceipt receipt = submission.get();
    return receipt.id + (receipt.emailSent ? " sent" : " unsent");
  } catch (const E& error) {
    const char* names[] = {"server", "invalidServer", "insecureServer", "invalidReport",
                           "invalidResponse", "unavailable"};
    return names[error.code()] + (error.code() == E::server ? ": " + error.message() : "");
  }
}

// A fresh self-signed certificate for 127.0.0.1: dir/name.pem, its key dir/name.
fs::path certificate(const fs::path& dir, const std::string& name) {
  EXPECT_EQ(testing::run("/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt",
      "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj", "/CN=" + name, "-addext",
      "subjectAltName=IP:127.0.0.1", "-keyout", dir / name, "-out", dir / (name + ".pem")}).status,
      0);
  return dir / name;
}

// A support service on 127.0.0.1 over HTTPS that keeps what it is sent.
struct Service {
  fs::path key;
  httplib::SSLServer server{(key.string() + ".pem").c_str(), key.c_str()};
  std::vector<httplib::Request> seen;
  int port = 0;
  std::thread thread;

  explicit Service(fs::path k) : key(std::move(k)) {
    server.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
      seen.push_back(request);
      response.set_content(R"({"id":"r","emailSent":true})", "application/json");
    });
    port = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
  }
  ~Service() { server.stop(), thread.join(); }
  std::string submitTrusting(const fs::path& authority, const std::string& path) {
    return outcome(BugReportClient("https://127.0.0.1:" + std::to_string(port) + path,
        curlTransport({authority.string() + ".pem"})).submit("token-abc", installation,
            "Claude Code", " \n\tRed.\u2003\n", std::string(45, 'v'),
            {std::string("\0\xEF\xDE", 3), std::string(125, 'n') + ".png", "image/png"}));
  }
};

TEST(BugReportClientTest, SendsJSONOverVerifiedHTTPSOnly) {
  testing::TempDir dir;
  Service service{certificate(dir.path(), "service")};
  EXPECT_EQ(service.submitTrusting(service.key, "/base/"), "r sent");
  ASSERT_EQ(service.seen.size(), 1u);
  const httplib::Request& sent = service.seen[0];
  EXPECT_EQ(sent.path, "/base/api/bug-reports");
  EXPECT_EQ(sent.get_header_value("Authorization"), "Bearer token-abc");
  EXPECT_EQ(json::parse(sent.body),
            (json{{"installationId", "6f1c2d3e-4a5b-4c6d-8e7f-9a0b1c2d3e4f"},
                  {"provider", "Claude Code"}, {"details", "Red."},
                  {"appVersion", std::string(40, 'v')}, {"screenshotName", std::string(120, 'n')},
                  {"screenshotContentType", "image/png"},
                  {"screenshotBase64", "AO/e"}}));
  // A certificate nobody vouches for fails before anything is accepted.
  EXPECT_EQ(service.submitTrusting(certificate(dir.path(), "stranger"), ""), "unavailable");
  EXPECT_EQ(service.seen.size(), 1u);
}

TEST(BugReportClientTest, ChecksAddressAndReportAndReadsEveryAnswer) {
  auto codeOf = [](const std::string& url) {
    try { BugReportClient(url, [](auto&) { return BugReportResponse{}; }); }
    catch (const E& error) { return static_cast<int>(error.code()); }
    return -1;
  };
  const std::pair<std::string, int> cases[] = {
      {"HTTPS://Support.Example.com/x?y=1", -1}, {"http://LOCALHOST:8080/base", -1},
      {"http://[::1]:8443/", -1}, {"http://127.0.0.2", E::insecureServer},
      {"http://localhost.example.com", E::insecureServer}, {"ftp://example.com", E::insecureServer},
      {"support.example.com", E::invalidServer}, {"https:///api", E::invalidServer},
      {"https://exa mple.com", E::invalidServer},
      {std::string("https://example.com\0.evil", 25), E::invalidServer}};
  for (const auto& [url, code] : cases) EXPECT_EQ(codeOf(url), code) << url;

  // A transport that records each request and gives `answer`, or fails when
  // it has no status at all.
  std::vector<BugReportRequest> seen;
  BugReportResponse answer;
  BugReportClient client("https://support.example.com/v1/", [&](const BugReportRequest& request) {
    seen.push_back(request);
    if (answer.statusCode == 0) throw std::runtime_error("offline");
    return answer;
  });
  std::string thumbs;  // 4,000 characters of two code points each
  for (int i = 0; i < 4000; ++i) thumbs += "\U0001F44D\U0001F3FD";
  auto submit = [&](std::string details, PreparedFeedbackScreenshot screenshot = shot(10),
                    std::string provider = "Codex", std::string token = "t") {
    return outcome(client.submit(token, installation, provider, details, "1.\xC0", screenshot));
  };
  for (const std::string& refused :
       {submit("d", shot(10), "codex"), submit(" \n\u00A0\t"), submit(thumbs + "x"),
        submit("d", shot(10), "Codex", ""), submit("d", shot(10), "Codex", "t\r\nX-Injected: 1"),
        submit("d", shot(0)), submit("d", shot(2'500'001)), submit("d", shot(10, "image/gif"))})
    EXPECT_EQ(refused, "invalidReport");
  EXPECT_TRUE(seen.empty());

  // The limits themselves pass; text that is not UTF-8 is mended; a short
  // last base64 group is padded.
  answer = {200, R"({"id":"ok","emailSent":false,"extra":1})"};
  EXPECT_EQ(submit("\n " + thumbs + " \n", shot(2'500'000)), "ok unsent");
  EXPECT_EQ(seen.at(0).url, "https://support.example.com/v1/api/bug-reports");
  submit("bad \xFF byte", shot(2, "image/heic"));
  json body = json::parse(seen.back().body);
  EXPECT_EQ(body["details"].dump() + body["appVersion"].dump() + body["screenshotBase64"].dump(),
            "\"bad \uFFFD byte\"\"1.\uFFFD\"\"AO8=\"");

  const std::string notAccepted = "server: The report was not accepted. Please try again.";
  const std::pair<BugReportResponse, std::string> answers[] = {
      {{299, R"({"id":"r","emailSent":true})"}, "r sent"}, {{std::nullopt, ""}, "invalidResponse"},
      {{200, R"({"emailSent":true})"}, "invalidResponse"}, {{499, ""}, notAccepted},
      {{404, R"({"error":"Unknown installation"})"}, "server: Unknown installation"},
      {{199, R"({"id":"r","emailSent":true})"}, notAccepted}, {{500, ""}, "unavailable"},
      {{300, R"({"id":"r","emailSent":true})"}, notAccepted}, {{0, ""}, "unavailable"}};
  for (const auto& [response, expected] : answers) {
    answer = response;
    EXPECT_EQ(submit("d"), expected) << response.statusCode.value_or(-1) << " " << response.body;
  }
}

// A submission whose future is dropped runs on by itself, with its own
// copies; the caller never waits for the service.
TEST(BugReportClientTest, DroppedSubmissionNeverWaits) {
  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  EXPECT_TRUE(testing::returnsWithoutWaiting(
      [&](std::shared_ptr<void> token) {
        BugReportClient client("https://support.example.com", [gate, token](auto&) {
          return gate.wait(), BugReportResponse{200, R"({"id":"ok","emailSent":false})"};
        });
        client.submit("t", installation, "Codex", "d", "1", shot(10));
      },
      [&] { open.set_value(); }));
}

}  // namespace
}  // namespace lantrel
