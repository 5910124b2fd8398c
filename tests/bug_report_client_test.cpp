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

// A support service on 127.0.0.1: HTTPS with a fresh self-signed certificate
// (pem) for `names`, or plain HTTP without names. It keeps what it is sent
// and gives the answer the test sets.
struct Service {
  fs::path pem;
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  int port = 0;
  std::mutex mutex;
  std::vector<httplib::Request> seen;
  int status = 200;
  std::string body = R"({"id":"r","emailSent":true})", location;

  Service(const testing::TempDir& dir, const std::string& name, const std::string& names = "")
      : pem(dir / (name + ".pem")), server(std::make_unique<httplib::Server>()) {
    fs::path key = dir / (name + ".key");
    if (!names.empty() &&
        testing::run("/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                     "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj", "/CN=" + name,
                     "-addext", "subjectAltName=" + names, "-keyout", key, "-out", pem}).status)
      throw std::runtime_error("cannot make a certificate");
    if (!names.empty()) server = std::make_unique<httplib::SSLServer>(pem.c_str(), key.c_str());
    server->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex);
      seen.push_back(request);
      response.status = status;
      if (!location.empty()) response.set_header("Location", location);
      response.set_content(body, "application/json");
    });
    port = server->bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server->listen_after_bind(); });
  }
  ~Service() {
    server->stop();
    thread.join();
  }
  std::string url(const std::string& scheme = "https") const {
    return scheme + "://127.0.0.1:" + std::to_string(port);
  }
  std::string submitTrusting(const fs::path& authority, const std::string& base) {
    PreparedFeedbackScreenshot screenshot = shot(300'001);
    screenshot.fileName = std::string(125, 'n') + ".png";
    return outcome(BugReportClient(base, curlTransport({authority}))
                       .submit("token-abc", installation, "Claude Code", " \n\tRed.\u2003\n",
                               std::string(45, 'v'), screenshot));
  }
};

TEST(BugReportClientTest, SendsJSONOverVerifiedHTTPSOnly) {
  testing::TempDir dir;
  Service service(dir, "service", "IP:127.0.0.1"), stranger(dir, "stranger", "IP:127.0.0.1"),
      plain(dir, "plain");
  EXPECT_EQ(service.submitTrusting(service.pem, service.url() + "/base/"), "r sent");
  ASSERT_EQ(service.seen.size(), 1u);
  const httplib::Request& sent = service.seen[0];
  EXPECT_EQ(sent.path, "/base/api/bug-reports");
  for (auto [name, value] : {std::pair{"Authorization", "Bearer token-abc"},
                             {"Content-Type", "application/json"}, {"Accept", "application/json"}})
    EXPECT_EQ(sent.get_header_value(name), value) << name;
  EXPECT_EQ(json::parse(sent.body),
            (json{{"installationId", "6f1c2d3e-4a5b-4c6d-8e7f-9a0b1c2d3e4f"},
                  {"provider", "Claude Code"}, {"details", "Red."},
                  {"appVersion", std::string(40, 'v')}, {"screenshotName", std::string(120, 'n')},
                  {"screenshotContentType", "image/png"},
                  {"screenshotBase64", base64(shot(300'001).data)}}));

  // A certificate nobody vouches for, and a redirect to plain HTTP, fail
  // before anything is accepted.
  EXPECT_EQ(service.submitTrusting(stranger.pem, service.url()), "unavailable");
  service.status = 307;
  service.location = plain.url("http") + "/api/bug-reports";
  EXPECT_EQ(service.submitTrusting(service.pem, service.url()), "unavailable");
  EXPECT_EQ(service.seen.size(), 2u);
  EXPECT_TRUE(plain.seen.empty());
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
  for (const char* accepted : {"https://support.example.com", "HTTPS://Support.Example.com/x?y=1",
                               "http://LOCALHOST:8080/base", "http://127.0.0.1:9", "http://[::1]:8443/"})
    EXPECT_EQ(codeOf(accepted), -1) << accepted;
  for (const char* insecure : {"http://example.com", "http://localhost.example.com",
                               "ftp://example.com", "http://127.0.0.2"})
    EXPECT_EQ(codeOf(insecure), E::insecureServer) << insecure;
  for (const char* invalid : {"", "support.example.com", "https://", "https:///api",
                              "mailto:help@example.com", "https://exa mple.com"})
    EXPECT_EQ(codeOf(invalid), E::invalidServer) << invalid;
  EXPECT_EQ(codeOf(std::string("https://example.com\0.evil", 25)), E::invalidServer);
}

TEST(BugReportClientTest, ChecksTheReportAndReadsEveryAnswer) {
  // A transport that records each request and gives `answer`, or fails when
  // it has no status at all.
  std::vector<BugReportRequest> seen;
  BugReportResponse answer;
  BugReportClient client("https://support.example.com/v1", [&](const BugReportRequest& request) {
    seen.push_back(request);
    if (answer.statusCode == 0) throw std::runtime_error("offline");
    return answer;
  });
  std::string thumbs;  // 4,000 characters of two code points each
  for (int i = 0; i < 4000; ++i) thumbs += "\U0001F44D\U0001F3FD";
  using Report = std::tuple<std::string, std::string, std::string, std::string,
                            PreparedFeedbackScreenshot>;
  auto submit = [&](const Report& r, std::optional<std::string> version = "1") {
    auto [token, id, provider, details, screenshot] = r;
    return outcome(client.submit(token, id, provider, details, version, screenshot));
  };
  for (const Report& refused : std::vector<Report>{
           {"t", installation, "codex", "d", shot(10)}, {"t", installation, "Orca", "d", shot(10)},
           {"t", installation, "Codex", " \n\u00A0\t", shot(10)},
           {"t", installation, "Codex", thumbs + "x", shot(10)},
           {"", installation, "Codex", "d", shot(10)},
           {"t\r\nX-Injected: 1", installation, "Codex", "d", shot(10)},
           {"t", "not-a-uuid", "Codex", "d", shot(10)}, {"t", installation, "Codex", "d", shot(0)},
           {"t", installation, "Codex", "d", shot(2'500'001)},
           {"t", installation, "Codex", "d", shot(10, "image/gif")}})
    EXPECT_EQ(submit(refused), "invalidReport") << std::get<3>(refused).substr(0, 20);
  EXPECT_TRUE(seen.empty());

  // The limits themselves pass; text that is not UTF-8 is mended; every
  // length of the last base64 group is padded right.
  answer = {200, R"({"id":"ok","emailSent":false,"extra":1})"};
  EXPECT_EQ(submit({"t", installation, "Codex", "\n " + thumbs + " \n", shot(2'500'000)}, {}),
            "ok unsent");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].url, "https://support.example.com/v1/api/bug-reports");
  EXPECT_EQ(seen[0].timeout, std::chrono::seconds(60));
  EXPECT_EQ(json::parse(seen[0].body)["details"], thumbs);
  EXPECT_FALSE(json::parse(seen[0].body).contains("appVersion"));
  for (std::size_t size : {1, 2, 3}) {
    submit({"t", installation, "Codex", "bad \xFF byte", shot(size, "image/heic")}, "1.\xC0");
    json body = json::parse(seen.back().body);
    EXPECT_EQ(body["screenshotBase64"], base64(shot(size).data));
    EXPECT_EQ(body["details"], "bad \uFFFD byte");
    EXPECT_EQ(body["appVersion"], "1.\uFFFD");
    EXPECT_EQ(body["screenshotContentType"], "image/heic");
  }

  const std::string notAccepted = "server: The report was not accepted. Please try again.";
  const std::pair<BugReportResponse, std::string> answers[] = {
      {{201, R"({"id":"r","emailSent":true})"}, "r sent"},
      {{299, R"({"id":"r","emailSent":false})"}, "r unsent"},
      {{200, R"({"emailSent":true})"}, "invalidResponse"},
      {{201, R"({"id":"","emailSent":true})"}, "invalidResponse"},
      {{200, R"({"id":"r"})"}, "invalidResponse"},
      {{204, ""}, "invalidResponse"},
      {{std::nullopt, ""}, "invalidResponse"},
      {{404, R"({"error":"Unknown installation"})"}, "server: Unknown installation"},
      {{404, "<html>Not found</html>"}, notAccepted},
      {{400, R"({"error":"  "})"}, notAccepted},
      {{429, R"({"error":42})"}, notAccepted},
      {{199, R"({"id":"r","emailSent":true})"}, notAccepted},
      {{300, R"({"id":"r","emailSent":true})"}, notAccepted},
      {{499, ""}, notAccepted},
      {{500, R"({"error":"down"})"}, "unavailable"},
      {{599, ""}, "unavailable"},
      {{0, ""}, "unavailable"},  // the transport failed
  };
  for (const auto& [response, expected] : answers) {
    answer = response;
    EXPECT_EQ(submit({"t", installation, "Codex", "d", shot(10)}), expected)
        << response.statusCode.value_or(-1) << " " << response.body;
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
