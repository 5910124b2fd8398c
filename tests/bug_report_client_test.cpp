#include "lantrel/bug_report_client.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

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

std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()))));
  return out;
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

// A support service on 127.0.0.1 over HTTPS, with a fresh self-signed
// certificate (pem), that keeps what it is sent.
struct Service {
  fs::path pem;
  httplib::SSLServer* server = nullptr;
  std::thread thread;
  int port = 0;
  std::vector<httplib::Request> seen;

  Service(const testing::TempDir& dir, const std::string& name) : pem(dir / (name + ".pem")) {
    fs::path key = dir / (name + ".key");
    if (testing::run("/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                     "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj", "/CN=" + name,
                     "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", pem}).status)
      throw std::runtime_error("cannot make a certificate");
    server = new httplib::SSLServer(pem.c_str(), key.c_str());
    server->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
      seen.push_back(request);
      response.set_content(R"({"id":"r","emailSent":true})", "application/json");
    });
    port = server->bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server->listen_after_bind(); });
  }
  ~Service() { server->stop(), thread.join(), delete server; }
  std::string submitTrusting(const fs::path& authority, const std::string& path) {
    PreparedFeedbackScreenshot screenshot = shot(300'001);
    screenshot.fileName = std::string(125, 'n') + ".png";
    return outcome(BugReportClient("https://127.0.0.1:" + std::to_string(port) + path,
                                   curlTransport({authority}))
                       .submit("token-abc", installation, "Claude Code", " \n\tRed.\u2003\n",
                               std::string(45, 'v'), screenshot));
  }
};

TEST(BugReportClientTest, SendsJSONOverVerifiedHTTPSOnly) {
  testing::TempDir dir;
  Service service(dir, "service"), stranger(dir, "stranger");
  EXPECT_EQ(service.submitTrusting(service.pem, "/base/"), "r sent");
  ASSERT_EQ(service.seen.size(), 1u);
  const httplib::Request& sent = service.seen[0];
  EXPECT_EQ(sent.path, "/base/api/bug-reports");
  EXPECT_EQ(sent.get_header_value("Authorization"), "Bearer token-abc");
  EXPECT_EQ(sent.get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(json::parse(sent.body),
            (json{{"installationId", "6f1c2d3e-4a5b-4c6d-8e7f-9a0b1c2d3e4f"},
                  {"provider", "Claude Code"}, {"details", "Red."},
                  {"appVersion", std::string(40, 'v')}, {"screenshotName", std::string(120, 'n')},
                  {"screenshotContentType", "image/png"},
                  {"screenshotBase64", base64(shot(300'001).data)}}));
  // A certificate nobody vouches for fails before anything is accepted.
  EXPECT_EQ(service.submitTrusting(stranger.pem, ""), "unavailable");
  EXPECT_EQ(service.seen.size(), 1u);
}

TEST(BugReportClientTest, ServiceAddressMustBeHTTPSOrThisMachine) {
  auto codeOf = [](const std::string& url) {
    try {
      BugReportClient client(url, [](const BugReportRequest&) { return BugReportResponse{}; });
    } catch (const E& error) {
      return static_cast<int>(error.code());
    }
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
}

TEST(BugReportClientTest, ChecksTheReportAndReadsEveryAnswer) {
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
                    std::string provider = "Codex", std::string token = "t",
                    std::string id = installation) {
    return outcome(client.submit(token, id, provider, details, "1.\xC0", screenshot));
  };
  for (const std::string& refused :
       {submit("d", shot(10), "codex"), submit(" \n\u00A0\t"), submit(thumbs + "x"),
        submit("d", shot(10), "Codex", ""), submit("d", shot(10), "Codex", "t\r\nX-Injected: 1"),
        submit("d", shot(10), "Codex", "t", "not-a-uuid"), submit("d", shot(0)),
        submit("d", shot(2'500'001)), submit("d", shot(10, "image/gif"))})
    EXPECT_EQ(refused, "invalidReport");
  EXPECT_TRUE(seen.empty());

  // The limits themselves pass; text that is not UTF-8 is mended; every
  // length of the last base64 group is padded right.
  answer = {200, R"({"id":"ok","emailSent":false,"extra":1})"};
  EXPECT_EQ(submit("\n " + thumbs + " \n", shot(2'500'000)), "ok unsent");
  EXPECT_EQ(seen.at(0).url, "https://support.example.com/v1/api/bug-reports");
  EXPECT_EQ(json::parse(seen[0].body)["details"], thumbs);
  submit("bad \xFF byte", shot(2, "image/heic"));
  EXPECT_EQ(json::parse(seen.back().body),
            (json{{"installationId", "6f1c2d3e-4a5b-4c6d-8e7f-9a0b1c2d3e4f"}, {"provider", "Codex"},
                  {"details", "bad \uFFFD byte"}, {"appVersion", "1.\uFFFD"},
                  {"screenshotName", "screen.png"}, {"screenshotContentType", "image/heic"},
                  {"screenshotBase64", base64(shot(2).data)}}));

  const std::string notAccepted = "server: The report was not accepted. Please try again.";
  const std::pair<BugReportResponse, std::string> answers[] = {
      {{299, R"({"id":"r","emailSent":true})"}, "r sent"},
      {{200, R"({"emailSent":true})"}, "invalidResponse"},
      {{201, R"({"id":"","emailSent":true})"}, "invalidResponse"},
      {{std::nullopt, ""}, "invalidResponse"},
      {{404, R"({"error":"Unknown installation"})"}, "server: Unknown installation"},
      {{400, R"({"error":"  "})"}, notAccepted},
      {{199, R"({"id":"r","emailSent":true})"}, notAccepted},
      {{300, R"({"id":"r","emailSent":true})"}, notAccepted},
      {{499, ""}, notAccepted},
      {{500, R"({"error":"down"})"}, "unavailable"},
      {{0, ""}, "unavailable"},  // the transport failed
  };
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
        BugReportClient client("https://support.example.com", [gate, token](const BugReportRequest&) {
          gate.wait();
          return BugReportResponse{200, R"({"id":"ok","emailSent":false})"};
        });
        client.submit("t", installation, "Codex", "d", "1", shot(10));
      },
      [&] { open.set_value(); }));
}

}  // namespace
}  // namespace lantrel
