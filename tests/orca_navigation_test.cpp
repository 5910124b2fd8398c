#include "lantrel/orca_navigation.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/files.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::TempDir;
using testing::writeFile;
using Code = OrcaNavigationError::Code;

constexpr const char* tab = "A1B2C3D4-0000-4000-8000-00000000000A";
constexpr const char* leaf1 = "b1b2c3d4-0000-4000-8000-000000000001";
constexpr const char* leaf2 = "b1b2c3d4-0000-4000-8000-000000000002";
constexpr const char* session = "3f1c2a9e-1111-4111-8111-111111111111";
const std::string handle1 = "term_c0000000-0000-4000-8000-000000000001";
const std::string handle2 = "term_c0000000-0000-4000-8000-000000000002";

// An executable shell script in `dir` that records its process ID in
// dir/pids before running `body`.
fs::path script(const TempDir& dir, const std::string& name, const std::string& body) {
  fs::path path = dir / name;
  writeFile(path, "#!/bin/sh\necho $$ >> '" + (dir / "pids").string() + "'\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

bool running(pid_t pid) {
  if (::kill(pid, 0) == -1 && errno == ESRCH) return false;
  // An orphan that init has not collected yet is dead as well.
  std::string stat = testing::readFile("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  return close == std::string::npos || stat.substr(close + 2, 1) != "Z";
}

// Every process that a script recorded has ended (a killed orphan may take
// a moment to die); returns how many there were.
std::size_t expectAllEnded(const TempDir& dir) {
  std::istringstream pids(testing::readFile(dir / "pids"));
  std::size_t count = 0;
  for (pid_t pid; pids >> pid; ++count) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (running(pid) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(running(pid)) << "process " << pid << " is still running";
  }
  return count;
}

template <typename Call>
OrcaNavigationError navigationError(Call call) {
  try {
    call();
  } catch (const OrcaNavigationError& e) {
    return e;
  }
  ADD_FAILURE() << "expected an OrcaNavigationError";
  return OrcaNavigationError(Code::unavailable, "none thrown");
}

std::string run(const OrcaCommandRunner& runner, const fs::path& executable,
                const std::vector<std::string>& arguments = {}) {
  return runner.run(executable, arguments).get();
}

std::size_t openDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(OrcaCommandRunner, ChildGetsAFixedEnvironmentHomeAndNoInput) {
  OrcaCommandRunner runner(5, 100000);
  std::string home = files::homeDirectory().string();
  EXPECT_EQ(run(runner, "/usr/bin/env"),
            "HOME=" + home + "\nPATH=/usr/bin:/bin:/usr/sbin:/sbin\nLANG=en_US.UTF-8\n");
  EXPECT_EQ(run(runner, "/bin/pwd", {"-P"}), fs::canonical(home).string() + "\n");
  TempDir dir;
  // Arguments pass as they are; a relative executable is the caller's, even
  // though the child starts in the home directory.
  auto args = fs::relative(script(dir, "args", R"(printf '[%s]' "$@"; cat)"), fs::current_path());
  EXPECT_EQ(run(runner, args, {"a b", "", "c"}), "[a b][][c]");
  expectAllEnded(dir);
  EXPECT_THROW(run(runner, dir / "missing"), fs::filesystem_error);
  writeFile(dir / "plain", "echo hi\n");
  EXPECT_THROW(run(runner, dir / "plain"), fs::filesystem_error);
}

TEST(OrcaCommandRunner, OneOutputLimitForBothStreams) {
  TempDir dir;
  auto four = script(dir, "four", "printf abcd");
  EXPECT_EQ(run(OrcaCommandRunner(5, 4), four), "abcd");
  EXPECT_EQ(navigationError([&] { run(OrcaCommandRunner(5, 3), four); }).code(), Code::outputLimit);
  auto split = script(dir, "split", "printf ab; printf cd >&2");
  EXPECT_EQ(run(OrcaCommandRunner(5, 4), split), "ab");
  EXPECT_EQ(navigationError([&] { run(OrcaCommandRunner(5, 3), split); }).code(),
            Code::outputLimit);

  // Children that never stop writing are killed once past the limit.
  for (const char* body : {"exec yes", "exec yes >&2"}) {
    auto flood = script(dir, "flood", body);
    EXPECT_EQ(navigationError([&] { run(OrcaCommandRunner(30, 200000), flood); }).code(),
              Code::outputLimit)
        << body;
  }
  EXPECT_EQ(expectAllEnded(dir), 6u);
}

TEST(OrcaCommandRunner, DeadlineHoldsForASilentChild) {
  TempDir dir;
  // The script leaves a grandchild behind as well; both must go.
  auto silent = script(dir, "silent",
                       "sleep 30 &\necho $! >> '" + (dir / "pids").string() + "'\nexec sleep 30");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(navigationError([&] { run(OrcaCommandRunner(0.3, 1000), silent); }).code(),
            Code::timedOut);
  double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(elapsed, 0.3);
  EXPECT_LT(elapsed, 2.0);
  EXPECT_EQ(expectAllEnded(dir), 2u);

  // A child that keeps talking but never finishes times out too.
  auto chatty = script(dir, "chatty", "while :; do echo x; sleep 0.01; done");
  EXPECT_EQ(navigationError([&] { run(OrcaCommandRunner(0.3, 1000000), chatty); }).code(),
            Code::timedOut);
  expectAllEnded(dir);
}

TEST(OrcaCommandRunner, ExitStatusDecidesTheAnswer) {
  TempDir dir;
  OrcaCommandRunner runner(5, 100000);
  std::size_t descriptors = openDescriptors();
  EXPECT_EQ(navigationError([&] { run(runner, script(dir, "quiet", "exit 0")); }).code(),
            Code::unavailable);
  auto refused = script(dir, "refused",
                        R"(echo '{"ok":false,"error":{"code":"terminal_not_found"}}'; exit 1)");
  EXPECT_EQ(navigationError([&] { run(runner, refused); }),
            OrcaNavigationError::failedWith("terminal_not_found"));
  auto okButFailed = script(dir, "okfail", R"(echo '{"ok":true,"result":{}}'; exit 3)");
  EXPECT_EQ(navigationError([&] { run(runner, okButFailed); }).code(), Code::unavailable);
  auto stderrOnly = script(dir, "stderr", "echo broken >&2; exit 2");
  EXPECT_THROW(run(runner, stderrOnly), DecodingError);
  auto killed = script(dir, "killed", R"(echo '{"ok":false}'; kill -9 $$)");
  EXPECT_EQ(navigationError([&] { run(runner, killed); }),
            OrcaNavigationError::failedWith("unknown"));
  EXPECT_EQ(expectAllEnded(dir), 5u);
  EXPECT_EQ(openDescriptors(), descriptors);
}

TEST(OrcaNavigator, UnwrapsAnswersStrictly) {
  EXPECT_EQ(OrcaNavigator::result(R"({"ok":true,"result":{"a":[1,"x",null],"b":{"c":true}}})"),
            json::parse(R"({"a":[1,"x",null],"b":{"c":true}})"));
  auto code = [](std::string_view answer) {
    return navigationError([&] { OrcaNavigator::result(answer); });
  };
  EXPECT_EQ(code(R"({"ok":true})").code(), Code::invalidResponse);
  EXPECT_EQ(code(R"({"ok":true,"result":[]})").code(), Code::invalidResponse);
  EXPECT_EQ(code(R"([{"ok":true}])").code(), Code::invalidResponse);
  EXPECT_EQ(code(R"({"ok":"true","result":{}})"), OrcaNavigationError::failedWith("unknown"));
  EXPECT_EQ(code(R"({"ok":1,"result":{}})"), OrcaNavigationError::failedWith("unknown"));
  EXPECT_EQ(code(R"({"ok":false,"error":{"code":7}})"), OrcaNavigationError::failedWith("unknown"));
  EXPECT_EQ(code(R"({"error":{"code":"busy"}})"), OrcaNavigationError::failedWith("busy"));
  EXPECT_THROW(OrcaNavigator::result("not json"), DecodingError);
  EXPECT_THROW(OrcaNavigator::result(R"({"ok":true,"result":{)"), DecodingError);
  std::string big = R"({"ok":true,"result":{}})" + std::string(4000000, ' ');
  EXPECT_EQ(code(big).code(), Code::invalidResponse);
  EXPECT_NO_THROW(OrcaNavigator::result(big.substr(0, 4000000)));
}

TEST(OrcaNavigator, ErrorsCompareAndDescribeThemselves) {
  EXPECT_EQ(OrcaNavigationError::failedWith("a"), OrcaNavigationError::failedWith("a"));
  EXPECT_FALSE(OrcaNavigationError::failedWith("a") == OrcaNavigationError::failedWith("b"));
  EXPECT_FALSE(OrcaNavigationError(Code::timedOut) == OrcaNavigationError(Code::outputLimit));
  EXPECT_EQ(OrcaNavigationError::failedWith("x").description(),
            "Orca could not select the conversation.");
  EXPECT_STREQ(OrcaNavigationError(Code::missingSession).what(),
               "The original Orca tab is closed or its session information is unavailable.");
  EXPECT_EQ(OrcaNavigationError(Code::outputLimit).description(),
            "Orca returned more session information than Lantrel can process.");
}

OrcaSessionReference reference(const char* leafID) {
  return {"codex", session, tab, leafID, "wt-1", Instant{0}, std::nullopt};
}

json terminal(const char* leafID, const std::string& handle) {
  return {{"handle", handle},  {"executionHostId", "local"}, {"tabId", tab},
          {"leafId", leafID},  {"worktreeId", "wt-1"},       {"connected", true},
          {"orphaned", false}, {"title", "codex"}};
}

json listAnswer(std::vector<json> terminals) {
  return {{"ok", true},
          {"result",
           {{"truncated", false},
            {"hostScope", {{"hostIds", {"ssh-1", "local"}}}},
            {"terminals", std::move(terminals)}}}};
}

TEST(OrcaNavigator, ResolvesTheOneConnectedLocalTerminal) {
  auto resolve = [](const json& answer) {
    return OrcaNavigator::resolve(answer.dump(), reference(leaf1));
  };
  auto failure = [&](const json& answer) {
    return navigationError([&] { resolve(answer); }).code();
  };
  json remote = terminal(leaf1, handle2);
  remote["executionHostId"] = "ssh-1";
  EXPECT_EQ(resolve(listAnswer({terminal(leaf2, handle2), remote, terminal(leaf1, handle1)})),
            handle1);

  json answer = listAnswer({terminal(leaf1, handle1)});
  for (json truncated : {json(true), json(nullptr), json("false")}) {
    json a = answer;
    a["result"]["truncated"] = truncated;
    EXPECT_EQ(failure(a), Code::invalidResponse);
  }
  json noLocal = answer;
  noLocal["result"]["hostScope"]["hostIds"] = {"ssh-1"};
  EXPECT_EQ(failure(noLocal), Code::invalidResponse);
  json mixedHosts = answer;
  mixedHosts["result"]["hostScope"]["hostIds"] = {"local", 3};
  EXPECT_EQ(failure(mixedHosts), Code::invalidResponse);
  EXPECT_EQ(failure(listAnswer({terminal(leaf1, handle1), "term"})), Code::invalidResponse);
  json noTerminals = answer;
  noTerminals["result"].erase("terminals");
  EXPECT_EQ(failure(noTerminals), Code::invalidResponse);

  json disconnected = terminal(leaf1, handle1);
  disconnected["connected"] = false;
  EXPECT_EQ(failure(listAnswer({disconnected})), Code::missingSession);
  json orphaned = terminal(leaf1, handle1);
  orphaned["orphaned"] = true;
  EXPECT_EQ(failure(listAnswer({orphaned})), Code::missingSession);
  json otherWorktree = terminal(leaf1, handle1);
  otherWorktree["worktreeId"] = "wt-2";
  EXPECT_EQ(failure(listAnswer({otherWorktree})), Code::missingSession);
  EXPECT_EQ(failure(listAnswer({terminal(leaf1, handle1), terminal(leaf1, handle2)})),
            Code::ambiguous);
  EXPECT_EQ(failure(listAnswer({terminal(leaf1, "term_1234")})), Code::missingSession);
  EXPECT_EQ(failure(listAnswer({terminal(leaf1, handle1.substr(5))})), Code::missingSession);
}

// A stand-in for Orca's command-line tool: answers `terminal list` from
// list.json and `terminal switch` from switch-<handle>.json (with the exit
// status in switch-<handle>.status), else with a successful focus; every
// call is logged to calls.
struct FakeOrca {
  TempDir dir;
  fs::path executable;
  std::atomic<int> indexLoads{0};

  FakeOrca() {
    std::string d = dir.path().string();
    executable = script(dir, "orca",
                        "echo \"$*\" >> '" + d + "/calls'\n"
                        "case \"$2\" in\n"
                        "list) cat '" + d + "/list.json' ;;\n"
                        "switch)\n"
                        "  if [ -f '" + d + "/switch-'\"$4\".json ]; then\n"
                        "    cat '" + d + "/switch-'\"$4\".json\n"
                        "    exit $(cat '" + d + "/switch-'\"$4\".status 2>/dev/null || echo 0)\n"
                        "  fi\n"
                        "  printf '{\"ok\":true,\"result\":{\"focus\":{\"handle\":\"%s\","
                        "\"tabId\":\"" + tab + "\",\"navigated\":true}}}' \"$4\" ;;\n"
                        "esac");
    writeFile(dir / "list.json",
              listAnswer({terminal(leaf1, handle1), terminal(leaf2, handle2)}).dump());
  }

  void answerSwitch(const std::string& handle, const json& answer, int status) {
    writeFile(dir / ("switch-" + handle + ".json"), answer.dump());
    writeFile(dir / ("switch-" + handle + ".status"), std::to_string(status));
  }

  // Opens the task with indexes that hold `first` and, on later loads, `later`.
  void open(std::vector<OrcaSessionReference> first, std::vector<OrcaSessionReference> later) {
    indexLoads = 0;
    OrcaNavigator navigator(std::make_shared<OrcaCommandRunner>(5, 1000000));
    navigator
        .open(std::string("CODEX-") + session, executable,
              [this, first, later] {
                return OrcaSessionIndex{indexLoads++ == 0 ? first : later};
              })
        .get();
  }

  std::vector<std::string> calls() {
    std::vector<std::string> lines;
    std::istringstream in(testing::readFile(dir / "calls"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

const json staleAnswer = {{"ok", false}, {"error", {{"code", "stale_terminal_handle"}}}};

TEST(OrcaNavigator, ListsThenSwitches) {
  FakeOrca orca;
  orca.open({reference(leaf1)}, {});
  EXPECT_EQ(orca.calls(), (std::vector<std::string>{"terminal list --json --limit 10000",
                                                    "terminal switch --terminal " + handle1 +
                                                        " --json"}));
  EXPECT_EQ(orca.indexLoads, 1);
  EXPECT_EQ(expectAllEnded(orca.dir), 2u);
}

TEST(OrcaNavigator, RetriesAStaleHandleOnceWithAFreshIndex) {
  FakeOrca orca;
  orca.answerSwitch(handle1, staleAnswer, 1);
  orca.open({reference(leaf1)}, {reference(leaf2)});
  EXPECT_EQ(orca.indexLoads, 2);
  auto calls = orca.calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[3], "terminal switch --terminal " + handle2 + " --json");

  // A second stale handle is the caller's.
  FakeOrca twice;
  twice.answerSwitch(handle1, staleAnswer, 1);
  json notFound = {{"ok", false}, {"error", {{"code", "terminal_not_found"}}}};
  twice.answerSwitch(handle2, notFound, 1);
  EXPECT_EQ(navigationError([&] { twice.open({reference(leaf1)}, {reference(leaf2)}); }),
            OrcaNavigationError::failedWith("terminal_not_found"));
  EXPECT_EQ(twice.indexLoads, 2);
  EXPECT_EQ(twice.calls().size(), 4u);
  EXPECT_EQ(expectAllEnded(twice.dir), 4u);

  // Other failures are not retried; nor is a stale handle whose fresh
  // lookup finds the pane gone.
  FakeOrca busy;
  busy.answerSwitch(handle1, {{"ok", false}, {"error", {{"code", "busy"}}}}, 1);
  EXPECT_EQ(navigationError([&] { busy.open({reference(leaf1)}, {reference(leaf2)}); }),
            OrcaNavigationError::failedWith("busy"));
  EXPECT_EQ(busy.indexLoads, 1);
  FakeOrca gone;
  gone.answerSwitch(handle1, staleAnswer, 1);
  EXPECT_EQ(navigationError([&] { gone.open({reference(leaf1)}, {}); }).code(),
            Code::missingSession);
}

TEST(OrcaNavigator, RefusesWhatItCannotTrust) {
  FakeOrca orca;
  EXPECT_EQ(navigationError([&] { orca.open({}, {}); }).code(), Code::missingSession);
  auto other = reference(leaf2);
  other.provider = "claude";  // claude-<session> is another task
  EXPECT_EQ(navigationError([&] { orca.open({other}, {}); }).code(), Code::missingSession);
  EXPECT_EQ(navigationError([&] { orca.open({reference(leaf1), reference(leaf2)}, {}); }).code(),
            Code::ambiguous);
  EXPECT_TRUE(orca.calls().empty());

  json otherTab = {{"ok", true},
                   {"result",
                    {{"focus",
                      {{"handle", handle1},
                       {"tabId", "A1B2C3D4-0000-4000-8000-00000000000B"},
                       {"navigated", true}}}}}};
  orca.answerSwitch(handle1, otherTab, 0);
  EXPECT_EQ(navigationError([&] { orca.open({reference(leaf1)}, {}); }).code(),
            Code::unavailable);
  json notNavigated = otherTab;
  notNavigated["result"]["focus"]["tabId"] = tab;
  notNavigated["result"]["focus"]["navigated"] = "true";
  orca.answerSwitch(handle1, notNavigated, 0);
  EXPECT_EQ(navigationError([&] { orca.open({reference(leaf1)}, {}); }).code(),
            Code::unavailable);

  writeFile(orca.dir / "list.json", "{\"ok\":true,\"result\":{\"truncated\":");
  EXPECT_THROW(orca.open({reference(leaf1)}, {}), DecodingError);

  // The index's own failure reaches the caller unchanged.
  OrcaNavigator navigator(std::make_shared<OrcaCommandRunner>(5, 1000));
  auto failing = navigator.open("codex-x", orca.executable, []() -> OrcaSessionIndex {
    throw StatusError(StatusError::invalidRecord);
  });
  EXPECT_THROW(failing.get(), StatusError);
  expectAllEnded(orca.dir);
}

}  // namespace
}  // namespace lantrel
