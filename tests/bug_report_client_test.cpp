#include "lantrel/bug_report_client.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace lantrel {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

// A key and a self-signed certificate for `subjectAltName`, made fresh for
// each test so that nothing on the machine can vouch for it.
struct Certificate {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{EVP_EC_gen("P-256"), EVP_PKEY_free};
  std::unique_ptr<X509, decltype(&X509_free)> cert{X509_new(), X509_free};
  fs::path pemFile;

  Certificate(const fs::path& directory, const std::string& name, const char* subjectAltName)
      : pemFile(directory / (name + ".pem")) {
    X509* x = cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), static_cast<long>(name.size() * 7919 + name[0]));
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 24 * 3600);
    X509_set_pubkey(x, key.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(x, X509_get_subject_name(x));
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_subject_alt_name, subjectAltName},
                              std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
      X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
      X509_add_ext(x, extension, -1);
      X509_EXTENSION_free(extension);
    }
    FILE* out = std::fopen(pemFile.c_str(), "w");
    if (!X509_sign(x, key.get(), EVP_sha256()) || !out || !PEM_write_X509(out, x))
      throw std::runtime_error("cannot make a certificate");
    std::fclose(out);
  }
};

struct Captured {
  std::string path, body;
  httplib::Headers headers;
};

// A support service on 127.0.0.1 (HTTPS with a certificate, plain HTTP
// without) that records each POST and gives the answer the test sets.
class Service {
 public:
  explicit Service(const Certificate* certificate = nullptr)
      : server_(certificate ? std::make_unique<httplib::SSLServer>(certificate->cert.get(),
                                                                   certificate->key.get())
                            : std::make_unique<httplib::Server>()) {
    server_->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex_);
      requests_.push_back({request.path, request.body, request.headers});
      response.status = status_;
      if (!location_.empty()) response.set_header("Location", location_);
      response.set_content(answerBody_, "application/json");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
  }
  ~Service() {
    server_->stop();
    thread_.join();
  }
  void answer(int status, std::string body, std::string location = "") {
    std::lock_guard lock(mutex_);
    status_ = status;
    answerBody_ = std::move(body);
    location_ = std::move(location);
  }
  std::vector<Captured> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::string url(const char* scheme = "https") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  int status_ = 200;
  std::string answerBody_, location_;
  std::vector<Captured> requests_;
};

const std::string installation = "6F1C2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4F";

PreparedFeedbackScreenshot screenshotOf(std::size_t size) {
  PreparedFeedbackScreenshot screenshot;
  screenshot.data.resize(size);
  // Every byte value, zeros included, must survive the trip.
  for (std::size_t i = 0; i < size; ++i) screenshot.data[i] = static_cast<char>((i * 7919) % 256);
  screenshot.fileName = "screen.png";
  screenshot.contentType = "image/png";
  return screenshot;
}

std::string standardBase64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// The error that a finished submission ended with.
BugReportSubmissionError failureOf(std::future<BugReportReceipt> future) {
  try {
    future.get();
  } catch (const BugReportSubmissionError& error) {
    return error;
  }
  ADD_FAILURE() << "the submission succeeded";
  return BugReportSubmissionError(BugReportSubmissionError::invalidServer);
}

using E = BugReportSubmissionError;

class BugReportServiceTest : public ::testing::Test {
 protected:
  TempDir dir;
  Certificate certificate{dir.path(), "service", "IP:127.0.0.1,DNS:localhost"};
  Service service{&certificate};
  BugReportClient client{service.url() + "/base/", curlTransport({certificate.pemFile})};
};

TEST_F(BugReportServiceTest, SendsTheReportAsJSONWithTheBearerToken) {
  service.answer(201, R"({"id":"report-17","emailSent":true})");
  PreparedFeedbackScreenshot screenshot = screenshotOf(300'001);
  screenshot.fileName = std::string(125, 'n') + ".png";
  auto receipt = client.submit("token-abc", installation, "Claude Code",
                               " \n\tThe lamp stays red.\u2003\n", std::string(45, 'v'), screenshot);
  EXPECT_EQ(receipt.get(), (BugReportReceipt{"report-17", true}));
  auto requests = service.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/base/api/bug-reports");
  const httplib::Headers& headers = requests[0].headers;
  for (auto [name, value] : {std::pair{"Authorization", "Bearer token-abc"},
                             {"Content-Type", "application/json"}, {"Accept", "application/json"}})
    EXPECT_EQ(headers.count(name) ? headers.find(name)->second : "(none)", value) << name;
  nlohmann::json body = nlohmann::json::parse(requests[0].body);
  EXPECT_TRUE(body["screenshotBase64"] == standardBase64(screenshot.data));
  body.erase("screenshotBase64");
  EXPECT_EQ(body, (nlohmann::json{{"installationId", "6f1c2d3e-4a5b-4c6d-8e7f-9a0b1c2d3e4f"},
                            {"provider", "Claude Code"},
                            {"details", "The lamp stays red."},
                            {"appVersion", std::string(40, 'v')},
                            {"screenshotName", std::string(120, 'n')},
                            {"screenshotContentType", "image/png"}}));

  // Without a version the key is left out; a two-byte tail pads once.
  service.answer(200, R"({"id":"report-18","emailSent":false})");
  PreparedFeedbackScreenshot small = screenshotOf(2);
  small.contentType = "image/heic";
  EXPECT_EQ(client.submit("t", installation, "Codex", "x", std::nullopt, small).get().id,
            "report-18");
  body = nlohmann::json::parse(service.requests().back().body);
  EXPECT_FALSE(body.contains("appVersion"));
  EXPECT_EQ(body["screenshotBase64"], standardBase64(small.data));
}

TEST_F(BugReportServiceTest, EachKindOfAnswerHasItsOutcome) {
  auto submit = [&] {
    return client.submit("t", installation, "Codex", "details", "1.0", screenshotOf(10));
  };
  service.answer(200, R"({"id":"r","emailSent":false,"extra":1})");
  EXPECT_EQ(submit().get(), (BugReportReceipt{"r", false}));

  const std::string notAccepted = "The report was not accepted. Please try again.";
  struct Case {
    int status;
    const char* body;
    E expected;
  } cases[] = {
      {200, R"({"emailSent":true})", E(E::invalidResponse)},
      {201, R"({"id":"","emailSent":true})", E(E::invalidResponse)},
      {200, R"({"id":"r"})", E(E::invalidResponse)},
      {204, "", E(E::invalidResponse)},
      {404, R"({"error":"Unknown installation"})", E::serverMessage("Unknown installation")},
      {404, "<html>Not found</html>", E::serverMessage(notAccepted)},
      {400, R"({"error":"  "})", E::serverMessage(notAccepted)},
      {429, R"({"error":42})", E::serverMessage(notAccepted)},
      {503, R"({"error":"down for maintenance"})", E(E::unavailable)},
      {500, "", E(E::unavailable)},
  };
  for (const Case& c : cases) {
    service.answer(c.status, c.body);
    E error = failureOf(submit());
    EXPECT_EQ(error, c.expected) << c.status << " " << c.body << " gave " << error.description();
  }
  EXPECT_EQ(failureOf(submit()).description(),
            "The report could not be sent. Check your connection and try again.");
  EXPECT_EQ(service.requests().size(), std::size(cases) + 2);
}

TEST_F(BugReportServiceTest, UntrustedCertificatesAndRedirectsToPlainHTTPAreRefused) {
  auto codeOf = [&](const std::string& url, const Certificate& trusted) {
    BugReportClient other(url, curlTransport({trusted.pemFile}));
    return failureOf(other.submit("t", installation, "Codex", "d", "1.0", screenshotOf(10))).code();
  };
  Certificate stranger(dir.path(), "stranger", "IP:127.0.0.1");
  // Trusted, but made out for another host.
  Certificate elsewhere(dir.path(), "elsewhere", "DNS:elsewhere.test");
  Service misnamed(&elsewhere), plain;
  EXPECT_EQ(codeOf(service.url(), stranger), E::unavailable);
  EXPECT_EQ(codeOf(misnamed.url(), elsewhere), E::unavailable);
  EXPECT_TRUE(service.requests().empty());
  EXPECT_TRUE(misnamed.requests().empty());

  plain.answer(200, R"({"id":"leaked","emailSent":false})");
  service.answer(307, "", plain.url("http") + "/api/bug-reports");
  EXPECT_EQ(codeOf(service.url(), certificate), E::unavailable);
  EXPECT_EQ(service.requests().size(), 1u);
  EXPECT_TRUE(plain.requests().empty());
}

TEST(BugReportClientTest, ServiceAddressMustBeHTTPSOrThisMachine) {
  auto codeOf = [](const std::string& url) {
    try {
      BugReportClient client(url);
    } catch (const E& error) {
      return static_cast<int>(error.code());
    }
    return -1;
  };
  for (const char* accepted :
       {"https://support.example.com", "HTTPS://Support.Example.com/x?y=1", "http://localhost",
        "http://LOCALHOST:8080/base", "http://127.0.0.1:9", "http://[::1]:8443/"})
    EXPECT_EQ(codeOf(accepted), -1) << accepted;
  for (const char* insecure : {"http://example.com", "http://localhost.example.com",
                               "ftp://example.com", "http://127.0.0.2"})
    EXPECT_EQ(codeOf(insecure), E::insecureServer) << insecure;
  for (const char* invalid : {"", "support.example.com", "https://", "https:///api",
                              "mailto:help@example.com", "https://exa mple.com"})
    EXPECT_EQ(codeOf(invalid), E::invalidServer) << invalid;
  EXPECT_EQ(codeOf(std::string("https://example.com\0.evil", 25)), E::invalidServer);
  EXPECT_EQ(E(E::invalidServer).description(), "The Lantrel support service is not configured.");
  EXPECT_EQ(E(E::insecureServer).description(), "The support service must use HTTPS.");
}

TEST(BugReportClientTest, RefusedReportsNeverReachTheTransport) {
  // A transport that records each request; details "throw" make it fail and
  // "no-http" make it answer without a status.
  std::vector<BugReportRequest> seen;
  BugReportClient client("https://support.example.com/v1", [&](const BugReportRequest& request) {
    seen.push_back(request);
    if (request.body.find("throw") != std::string::npos) throw std::runtime_error("offline");
    BugReportResponse response{200, R"({"id":"ok","emailSent":true})"};
    if (request.body.find("no-http") != std::string::npos) response.statusCode.reset();
    return response;
  });
  std::string thumbs;  // 4,000 characters of two code points each
  for (int i = 0; i < 4000; ++i) thumbs += "\U0001F44D\U0001F3FD";
  auto codeOf = [&](std::string token, std::string id, std::string provider, std::string details,
                    PreparedFeedbackScreenshot shot) {
    return failureOf(client.submit(token, id, provider, details, "1", shot)).code();
  };
  auto refused = [&](auto... arguments) { return codeOf(arguments...) == E::invalidReport; };
  PreparedFeedbackScreenshot good = screenshotOf(10), gif = good;
  gif.contentType = "image/gif";
  EXPECT_TRUE(refused("t", installation, "codex", "d", good));
  EXPECT_TRUE(refused("t", installation, "Orca", "d", good));
  EXPECT_TRUE(refused("t", installation, "Codex", " \n\u00A0\t", good));
  EXPECT_TRUE(refused("t", installation, "Codex", thumbs + "x", good));
  EXPECT_TRUE(refused("", installation, "Codex", "d", good));
  EXPECT_TRUE(refused("t\r\nX-Injected: 1", installation, "Codex", "d", good));
  EXPECT_TRUE(refused("t", "not-a-uuid", "Codex", "d", good));
  EXPECT_TRUE(refused("t", installation, "Codex", "d", screenshotOf(0)));
  EXPECT_TRUE(refused("t", installation, "Codex", "d", screenshotOf(2'500'001)));
  EXPECT_TRUE(refused("t", installation, "Codex", "d", gif));
  EXPECT_TRUE(seen.empty());

  // The limits themselves are accepted.
  EXPECT_EQ(client
                .submit("t", installation, "Codex", "\n " + thumbs + " \n", std::nullopt,
                        screenshotOf(2'500'000))
                .get()
                .id,
            "ok");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].url, "https://support.example.com/v1/api/bug-reports");
  EXPECT_EQ(seen[0].timeout, std::chrono::seconds(60));
  EXPECT_EQ(nlohmann::json::parse(seen[0].body)["details"], thumbs);

  // A failing transport means the service was not reached; an answer that
  // is not HTTP is not one the client can read.
  EXPECT_EQ(codeOf("t", installation, "Codex", "throw", good), E::unavailable);
  EXPECT_EQ(codeOf("t", installation, "Codex", "no-http", good), E::invalidResponse);

  // Text that is not valid UTF-8 is mended rather than failing the report.
  EXPECT_EQ(client.submit("t", installation, "Codex", "bad \xFF byte", "1.\xC0", good).get().id,
            "ok");
  nlohmann::json body = nlohmann::json::parse(seen.back().body);
  EXPECT_EQ(body["details"], "bad \uFFFD byte");
  EXPECT_EQ(body["appVersion"], "1.\uFFFD");
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
        client.submit("t", installation, "Codex", "d", "1", screenshotOf(10));
      },
      [&] { open.set_value(); }));
}

}  // namespace
}  // namespace lantrel
