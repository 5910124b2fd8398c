#include "lantrel/orca_navigation.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <thread>

#include "orca_fixtures.hpp"
#include "support/files.hpp"

namespace lantrel {
namespace {

using Code = OrcaNavigationError::Code;
using Error = OrcaNavigationError;

constexpr const char* tab = orcaTab;
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
Error navigationError(Call call) {
  try {
    call();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "expected an OrcaNavigationError";
  return Error(Code::unavailable, "none thrown");
}

std::string run(const OrcaCommandRunner& runner, const fs::path& executable,
                const std::vector<std::string>& arguments = {}) {
  return runner.run(executable, arguments).get();
}

// The error from running `executable` with the given limits.
Error runError(double timeout, std::int64_t limit, const fs::path& executable) {
  return navigationError([&] { run(OrcaCommandRunner(timeout, limit), executable); });
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

TEST(OrcaCommandRunner, OneOutputLimitAndADeadlineEndEveryChild) {
  TempDir dir;
  auto four = script(dir, "four", "printf abcd");
  auto split = script(dir, "split", "printf ab; printf cd >&2");
  EXPECT_EQ(run(OrcaCommandRunner(5, 4), four), "abcd");
  EXPECT_EQ(run(OrcaCommandRunner(5, 4), split), "ab");
  for (const auto& [limit, path] : {std::pair{3, four}, {3, split},
                                    {200000, script(dir, "out", "exec yes")},
                                    {200000, script(dir, "err", "exec yes >&2")}})
    EXPECT_EQ(runError(30, limit, path).code(), Code::outputLimit) << path;
  EXPECT_EQ(expectAllEnded(dir), 6u);

  // A silent child leaving a grandchild behind, and one that keeps talking.
  TempDir slow;
  auto silent = script(slow, "silent",
                       "sleep 30 &\necho $! >> '" + (slow / "pids").string() + "'\nexec sleep 30");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(runError(0.3, 1000, silent).code(), Code::timedOut);
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(elapsed, 0.3);
  EXPECT_LT(elapsed, 2.0);
  auto chatty = script(slow, "chatty", "while :; do echo x; sleep 0.01; done");
  EXPECT_EQ(runError(0.3, 1000000, chatty).code(), Code::timedOut);
  EXPECT_EQ(expectAllEnded(slow), 3u);
}

TEST(OrcaCommandRunner, ExitStatusDecidesTheAnswer) {
  TempDir dir;
  auto descriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  auto before = descriptors();
  const std::pair<const char*, Error> cases[] = {
      {"exit 0", Error(Code::unavailable)},
      {R"(echo '{"ok":false,"error":{"code":"terminal_not_found"}}'; exit 1)",
       Error::failedWith("terminal_not_found")},
      {R"(echo '{"ok":true,"result":{}}'; exit 3)", Error(Code::unavailable)},
      {R"(echo '{"ok":false}'; kill -9 $$)", Error::failedWith("unknown")},
  };
  for (const auto& [body, expected] : cases)
    EXPECT_EQ(runError(5, 100000, script(dir, "s", body)), expected) << body;
  EXPECT_THROW(run(OrcaCommandRunner(5, 100000), script(dir, "s", "echo broken >&2; exit 2")),
               DecodingError);
  EXPECT_EQ(expectAllEnded(dir), 5u);
  EXPECT_EQ(descriptors(), before);
}

// A host that ignores SIGCHLD has the system reap the child: its exit
// status is lost, and a lost status is never a success.
TEST(OrcaCommandRunner, UnknownExitStatusIsNoSuccess) {
  TempDir dir;
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ignore, &previous);
  Error failing = runError(5, 1000, script(dir, "s", R"(echo '{"ok":true,"result":{}}'; exit 3)"));
  Error succeeding = runError(5, 1000, script(dir, "t", "echo answer"));
  ::sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(failing.code(), Code::unavailable);
  EXPECT_EQ(succeeding.code(), Code::unavailable);
}

// A child that never started is never signalled, and neither is anything
// else: a process of the same user survives the failure.
TEST(OrcaCommandRunner, FailedStartSignalsNothing) {
  pid_t canary = ::fork();
  if (canary == 0) {
    ::pause();
    ::_exit(0);
  }
  ASSERT_GT(canary, 0);
  TempDir dir;
  EXPECT_THROW(run(OrcaCommandRunner(5, 1000), dir / "missing"), fs::filesystem_error);
  int status;
  EXPECT_EQ(::waitpid(canary, &status, WNOHANG), 0);  // still running
  ::kill(canary, SIGKILL);
  ::waitpid(canary, &status, 0);
}

// Dropping a future returns at once; the work goes on by itself with what
// it owns.
TEST(OrcaCommandRunner, DroppedFuturesNeverWait) {
  TempDir dir;
  // Gives up after a minute, should the test die before it opens the gate.
  auto gated = script(dir, "gated", "for i in $(seq 6000); do [ -e '" + (dir / "open").string() +
                                        "' ] && break; sleep 0.01; done");
  EXPECT_TRUE(testing::returnsWithoutWaiting(
      [&](std::shared_ptr<void>) { OrcaCommandRunner(30, 1000).run(gated, {}); },
      [&] { writeFile(dir / "open", ""); }));

  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  EXPECT_TRUE(testing::returnsWithoutWaiting(
      [&](std::shared_ptr<void> token) {
        OrcaNavigator(std::make_shared<OrcaCommandRunner>(5, 1000))
            .open("codex-x", "/bin/true", [gate, token] {
              gate.wait();
              return OrcaSessionIndex{};
            });
      },
      [&] { open.set_value(); }));
  expectAllEnded(dir);
}

TEST(OrcaNavigator, UnwrapsAnswersStrictlyAndDescribesErrors) {
  EXPECT_EQ(OrcaNavigator::result(R"({"ok":true,"result":{"b":{"c":true}, "a":[1,"x",null]}})"),
            R"({"b":{"c":true},"a":[1,"x",null]})");
  std::string big = R"({"ok":true,"result":{}})" + std::string(4000000, ' ');
  EXPECT_NO_THROW(OrcaNavigator::result(big.substr(0, 4000000)));
  const std::pair<std::string, Error> cases[] = {
      {R"({"ok":true})", Error(Code::invalidResponse)},
      {R"({"ok":true,"result":[]})", Error(Code::invalidResponse)},
      {R"([{"ok":true}])", Error(Code::invalidResponse)},
      {big, Error(Code::invalidResponse)},
      {R"({"ok":"true","result":{}})", Error::failedWith("unknown")},
      {R"({"ok":1,"result":{}})", Error::failedWith("unknown")},
      {R"({"ok":false,"error":{"code":7}})", Error::failedWith("unknown")},
      {R"({"error":{"code":"busy"}})", Error::failedWith("busy")},
  };
  for (const auto& [answer, expected] : cases) {
    const std::string& text = answer;  // lambdas cannot capture bindings in C++20
    EXPECT_EQ(navigationError([&] { OrcaNavigator::result(text); }), expected)
        << text.substr(0, 40);
  }
  EXPECT_THROW(OrcaNavigator::result("not json"), DecodingError);
  EXPECT_THROW(OrcaNavigator::result(R"({"ok":true,"result":{)"), DecodingError);

  EXPECT_FALSE(Error::failedWith("a") == Error::failedWith("b"));
  EXPECT_FALSE(Error(Code::timedOut) == Error(Code::outputLimit));
  EXPECT_EQ(Error::failedWith("x").description(), "Orca could not select the conversation.");
  EXPECT_STREQ(Error(Code::missingSession).what(),
               "The original Orca tab is closed or its session information is unavailable.");
  EXPECT_EQ(Error(Code::outputLimit).description(),
            "Orca returned more session information than Lantrel can process.");
}

std::string lowercase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
std::string uppercase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
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
  json remote = terminal(leaf1, handle2);
  remote["executionHostId"] = "ssh-1";
  EXPECT_EQ(resolve(listAnswer({terminal(leaf2, handle2), remote, terminal(leaf1, handle1)})),
            handle1);

  // Each case changes a one-terminal answer (a) or its terminal (t).
  using Change = std::function<void(json& a, json& t)>;
  const std::pair<Change, Code> cases[] = {
      {[](json& a, json&) { a["result"]["truncated"] = true; }, Code::invalidResponse},
      {[](json& a, json&) { a["result"]["truncated"] = nullptr; }, Code::invalidResponse},
      {[](json& a, json&) { a["result"]["truncated"] = "false"; }, Code::invalidResponse},
      {[](json& a, json&) { a["result"]["hostScope"]["hostIds"] = {"ssh-1"}; },
       Code::invalidResponse},
      {[](json& a, json&) { a["result"]["hostScope"]["hostIds"] = {"local", 3}; },
       Code::invalidResponse},
      {[](json& a, json&) { a["result"]["terminals"].push_back("term"); }, Code::invalidResponse},
      {[](json& a, json&) { a["result"].erase("terminals"); }, Code::invalidResponse},
      {[](json&, json& t) { t["connected"] = false; }, Code::missingSession},
      {[](json&, json& t) { t["orphaned"] = true; }, Code::missingSession},
      {[](json&, json& t) { t["worktreeId"] = "wt-2"; }, Code::missingSession},
      // Identifiers match exactly, letter case included.
      {[](json&, json& t) { t["tabId"] = lowercase(tab); }, Code::missingSession},
      {[](json&, json& t) { t["leafId"] = uppercase(leaf1); }, Code::missingSession},
      {[](json&, json& t) { t["worktreeId"] = "WT-1"; }, Code::missingSession},
      {[](json&, json& t) { t["handle"] = "term_1234"; }, Code::missingSession},
      {[](json&, json& t) { t["handle"] = handle1.substr(5); }, Code::missingSession},
      {[](json& a, json&) { a["result"]["terminals"].push_back(terminal(leaf1, handle2)); },
       Code::ambiguous},
  };
  int i = 0;
  for (const auto& [change, code] : cases) {
    json t = terminal(leaf1, handle1), a = listAnswer({});
    change(a, t);
    if (a["result"].contains("terminals"))
      a["result"]["terminals"].insert(a["result"]["terminals"].begin(), t);
    EXPECT_EQ(navigationError([&] { resolve(a); }).code(), code) << "case " << i++;
  }
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

  // Makes `terminal switch` for `handle` fail with `code`, or answer `answer`.
  void answerSwitch(const std::string& handle, const char* code, json answer = nullptr) {
    if (code) answer = {{"ok", false}, {"error", {{"code", code}}}};
    writeFile(dir / ("switch-" + handle + ".json"), answer.dump());
    writeFile(dir / ("switch-" + handle + ".status"), code ? "1" : "0");
  }

  // Opens the task with indexes that hold `first` and, on later loads, `later`.
  void open(std::vector<OrcaSessionReference> first, std::vector<OrcaSessionReference> later = {}) {
    indexLoads = 0;
    OrcaNavigator navigator(std::make_shared<OrcaCommandRunner>(5, 1000000));
    navigator
        .open(std::string("CODEX-") + session, executable,
              [this, first, later] {
                return OrcaSessionIndex{indexLoads++ == 0 ? first : later};
              })
        .get();
  }
  Error openError(std::vector<OrcaSessionReference> first,
                  std::vector<OrcaSessionReference> later = {}) {
    return navigationError([&] { open(first, later); });
  }

  std::vector<std::string> calls() {
    std::vector<std::string> lines;
    std::istringstream in(testing::readFile(dir / "calls"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

std::string switchCall(const std::string& handle) {
  return "terminal switch --terminal " + handle + " --json";
}

TEST(OrcaNavigator, ListsThenSwitchesRetryingAStaleHandleOnce) {
  FakeOrca orca;
  orca.open({reference(leaf1)});
  EXPECT_EQ(orca.calls(),
            (std::vector<std::string>{"terminal list --json --limit 10000", switchCall(handle1)}));
  EXPECT_EQ(orca.indexLoads, 1);

  // A stale handle is looked up again in a fresh index, once.
  FakeOrca stale;
  stale.answerSwitch(handle1, "stale_terminal_handle");
  stale.open({reference(leaf1)}, {reference(leaf2)});
  EXPECT_EQ(stale.indexLoads, 2);
  EXPECT_EQ(stale.calls().back(), switchCall(handle2));
  stale.answerSwitch(handle2, "terminal_not_found");
  EXPECT_EQ(stale.openError({reference(leaf1)}, {reference(leaf2)}),
            Error::failedWith("terminal_not_found"));
  EXPECT_EQ(stale.indexLoads, 2);
  EXPECT_EQ(stale.calls().size(), 8u);
  EXPECT_EQ(expectAllEnded(stale.dir), 8u);
  // Nor is a stale handle whose fresh lookup finds the pane gone.
  EXPECT_EQ(stale.openError({reference(leaf1)}).code(), Code::missingSession);

  // Other failures are not retried.
  orca.answerSwitch(handle1, "busy");
  EXPECT_EQ(orca.openError({reference(leaf1)}, {reference(leaf2)}), Error::failedWith("busy"));
  EXPECT_EQ(orca.indexLoads, 1);
  EXPECT_EQ(expectAllEnded(orca.dir), 4u);
}

TEST(OrcaNavigator, RefusesWhatItCannotTrust) {
  FakeOrca orca;
  EXPECT_EQ(orca.openError({}).code(), Code::missingSession);
  auto other = reference(leaf2);
  other.provider = "claude";  // claude-<session> is another task
  EXPECT_EQ(orca.openError({other}).code(), Code::missingSession);
  EXPECT_EQ(orca.openError({reference(leaf1), reference(leaf2)}).code(), Code::ambiguous);
  EXPECT_TRUE(orca.calls().empty());

  json focus = {{"handle", handle1}, {"tabId", "A1B2C3D4-0000-4000-8000-00000000000B"},
                {"navigated", true}};
  orca.answerSwitch(handle1, nullptr, {{"ok", true}, {"result", {{"focus", focus}}}});
  EXPECT_EQ(orca.openError({reference(leaf1)}).code(), Code::unavailable);
  focus["tabId"] = lowercase(tab);  // the tab must be the reference's, exactly
  orca.answerSwitch(handle1, nullptr, {{"ok", true}, {"result", {{"focus", focus}}}});
  EXPECT_EQ(orca.openError({reference(leaf1)}).code(), Code::unavailable);
  focus["tabId"] = tab;
  focus["navigated"] = "true";
  orca.answerSwitch(handle1, nullptr, {{"ok", true}, {"result", {{"focus", focus}}}});
  EXPECT_EQ(orca.openError({reference(leaf1)}).code(), Code::unavailable);

  writeFile(orca.dir / "list.json", "{\"ok\":true,\"result\":{\"truncated\":");
  EXPECT_THROW(orca.open({reference(leaf1)}), DecodingError);

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
