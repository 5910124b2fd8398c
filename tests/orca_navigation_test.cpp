#include "lantrel/orca_navigation.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <deque>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json, testing::TempDir, testing::writeFile;
using Code = OrcaNavigationError::Code;
using Error = OrcaNavigationError;
const std::string orcaTab = "A1B2C3D4-0000-4000-8000-00000000000A",
                  leaf1 = "b1b2c3d4-0000-4000-8000-000000000001";
const std::string handle1 = "term_c0000000-0000-4000-8000-000000000001";

// An executable script in `dir` that records its process ID in dir/pids.
fs::path script(const TempDir& dir, const std::string& body) {
  static int count = 0;
  fs::path path = dir / std::to_string(++count);
  writeFile(path, "#!/bin/sh\necho $$ >> '" + (dir / "pids").string() + "'\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

// Every process the scripts recorded ends soon (a zombie counts as ended).
void expectAllEnded(const TempDir& dir) {
  std::istringstream pids(testing::readFile(dir / "pids"));
  for (std::string pid, stat; pids >> pid;) {
    for (int i = 0; i < 400 && !(stat = testing::readFile("/proc/" + pid + "/stat")).empty() &&
                    stat[stat.rfind(')') + 2] != 'Z'; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(stat.empty() || stat[stat.rfind(')') + 2] == 'Z') << pid << " still runs";
  }
}

std::optional<Error> navigationError(const std::function<void()>& call) {
  try { call(); } catch (const Error& e) { return e; }
  return std::nullopt;
}
std::optional<Error> runError(double timeout, std::int64_t limit, const fs::path& executable) {
  return navigationError([&] { OrcaCommandRunner(timeout, limit).run(executable, {}).get(); });
}

TEST(OrcaCommandRunner, LimitsAndExitStatusDecide) {
  TempDir dir;
  if (::fcntl(0, F_GETFD) == -1) ::open("/dev/null", O_RDONLY);  // standard input, 0, is open
  // Both outputs count towards one limit; only standard output is the answer.
  auto split = script(dir, "printf ab; printf cd >&2");
  EXPECT_EQ(OrcaCommandRunner(5, 4).run(split, {}).get(), "ab");
  EXPECT_EQ(runError(5, 3, split), Error(Code::outputLimit));
  EXPECT_EQ(runError(5, 100, script(dir, "exit 0")), Error(Code::unavailable));
  EXPECT_EQ(runError(5, 100, script(dir, R"(echo '{"ok":false,"error":{"code":"gone"}}'; exit 1)")),
            Error::failedWith("gone"));
  // The deadline ends a silent child with its grandchild.
  auto silent = script(dir, R"(sleep 30 & echo $! >> "${0%/*}/pids"; exec sleep 30)");
  EXPECT_EQ(runError(0.3, 100, silent), Error(Code::timedOut));
  expectAllEnded(dir);
  EXPECT_NE(::fcntl(0, F_GETFD), -1);  // the runner closed only descriptors of its own
}

// A host that ignores SIGCHLD has the system reap the child: its exit
// status is lost, and a lost status is never a success.
TEST(OrcaCommandRunner, UnknownExitStatusIsNoSuccess) {
  TempDir dir;
  auto previous = ::signal(SIGCHLD, SIG_IGN);
  auto failing = runError(5, 1000, script(dir, R"(echo '{"ok":true,"result":{}}'; exit 3)"));
  auto succeeding = runError(5, 1000, script(dir, "echo answer"));
  ::signal(SIGCHLD, previous);
  EXPECT_EQ(failing, Error(Code::unavailable));
  EXPECT_EQ(succeeding, failing);
}

// A child that never started is never signalled, and neither is anything
// else: a process of the same user survives the failure.
TEST(OrcaCommandRunner, FailedStartSignalsNothing) {
  pid_t canary = ::fork();
  if (canary == 0) ::pause(), ::_exit(0);
  ASSERT_GT(canary, 0);
  EXPECT_THROW(OrcaCommandRunner(5, 100).run("/nonexistent/orca", {}).get(), fs::filesystem_error);
  EXPECT_EQ(::waitpid(canary, nullptr, WNOHANG), 0);  // still running
  ::kill(canary, SIGKILL), ::waitpid(canary, nullptr, 0);
}

// Dropping a future returns at once; the work goes on by itself with what
// it owns.
TEST(OrcaCommandRunner, DroppedFuturesNeverWait) {
  TempDir dir;
  // Gives up after a minute, should the test die before it opens the gate.
  auto gated = script(dir, "for i in $(seq 6000); do [ -e '" + (dir / "open").string() +
                               "' ] && break; sleep 0.01; done");
  EXPECT_TRUE(testing::returnsWithoutWaiting(
      [&](std::shared_ptr<void>) { OrcaCommandRunner(30, 1000).run(gated, {}); },
      [&] { writeFile(dir / "open", ""); }));
  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  EXPECT_TRUE(testing::returnsWithoutWaiting(
      [&](std::shared_ptr<void> token) {
        OrcaNavigator(std::make_shared<OrcaCommandRunner>(5, 1000))
            .open("codex-x", "", [gate, token] { return gate.wait(), OrcaSessionIndex{}; });
      },
      [&] { open.set_value(); }));
  expectAllEnded(dir);
}

const OrcaSessionReference reference = {"codex", "3f1c2a9e-1111-4111-8111-111111111111", orcaTab,
                                         leaf1, "wt-1", Instant{0}, {}};
const json terminal = {{"handle", handle1}, {"executionHostId", "local"}, {"tabId", orcaTab},
                       {"leafId", leaf1}, {"worktreeId", "wt-1"}, {"connected", true}};
const json list = {{"ok", true}, {"result", {{"truncated", false},
    {"hostScope", {{"hostIds", {"ssh", "local"}}}}, {"terminals", {terminal}}}}};

TEST(OrcaNavigator, ResolvesTheOneConnectedLocalTerminalFromABoundedAnswer) {
  EXPECT_EQ(OrcaNavigator::resolve(list.dump(), reference), handle1);
  std::string big = R"({"ok":true,"result":{"a":1}})" + std::string(3999973, ' ');
  EXPECT_EQ(OrcaNavigator::result(big.substr(0, 4000000)), R"({"a":1})");
  EXPECT_EQ(navigationError([&] { OrcaNavigator::result(big); }), Error(Code::invalidResponse));
  // A change to the answer, and the error it gives. Identifiers match
  // exactly, letter case included.
  const std::tuple<std::string, json, Code> cases[] = {
      {"/truncated", true, Code::invalidResponse}, {"/terminals", "none", Code::invalidResponse},
      {"/hostScope/hostIds", {"ssh"}, Code::invalidResponse},
      {"/terminals/1", terminal, Code::ambiguous},
      {"/terminals/0/connected", false, Code::missingSession},
      {"/terminals/0/executionHostId", "ssh", Code::missingSession},
      {"/terminals/0/tabId", "a1b2c3d4-0000-4000-8000-00000000000a", Code::missingSession},
      {"/terminals/0/leafId", "B1B2C3D4-0000-4000-8000-000000000001", Code::missingSession},
      {"/terminals/0/handle", handle1.substr(5), Code::missingSession}};
  for (const auto& [pointer, value, code] : cases) {
    json answer = list;
    answer[json::json_pointer("/result" + pointer)] = value;
    EXPECT_EQ(navigationError([&] { OrcaNavigator::resolve(answer.dump(), reference); }),
              Error(code)) << pointer << " " << value;
  }
}

// Orca's tool as the navigator sees it: each call takes the next answer, or
// fails with the code of an answer {"fail": code}.
struct FakeOrca : OrcaCommandRunning {
  mutable std::deque<json> answers;
  std::future<std::string> run(const fs::path&, const std::vector<std::string>&) const override {
    json next = answers.empty() ? json{{"fail", "no answer left"}} : answers.front();
    if (!answers.empty()) answers.pop_front();
    std::promise<std::string> answer;
    if (!next.contains("fail")) answer.set_value(next.dump());
    else answer.set_exception(std::make_exception_ptr(Error::failedWith(next["fail"])));
    return answer.get_future();
  }
};

TEST(OrcaNavigator, SwitchesToTheFocusedPaneRetryingAStaleHandleOnce) {
  auto focus = [](const std::string& tabID) {
    return json{{"ok", true}, {"result", {{"focus",
        {{"handle", handle1}, {"tabId", tabID}, {"navigated", true}}}}}};
  };
  const std::vector<OrcaSessionReference> one = {reference};
  const std::tuple<std::vector<json>, std::vector<OrcaSessionReference>, std::optional<Error>>
      cases[] = {  // Orca's answers, the index after a stale handle, the outcome
          {{list, {{"fail", "stale_terminal_handle"}}, list, focus(orcaTab)}, one, std::nullopt},
          {{list, {{"fail", "stale_terminal_handle"}}}, {}, Error(Code::missingSession)},
          // The focus is in the reference's tab exactly.
          {{list, focus("a1b2c3d4-0000-4000-8000-00000000000a")}, {}, Error(Code::unavailable)}};
  auto orca = std::make_shared<FakeOrca>();
  for (const auto& [answers, later, error] : cases) {
    orca->answers.assign(answers.begin(), answers.end());
    bool loaded = false;
    auto done = OrcaNavigator(orca).open("CODEX-3F1C2A9E-1111-4111-8111-111111111111", "orca",
        [&, &later = later] {
          return OrcaSessionIndex{std::exchange(loaded, true) ? later : one};
        });
    EXPECT_EQ(navigationError([&] { done.get(); }), error) << answers.size();
    EXPECT_TRUE(orca->answers.empty()) << answers.size();
  }
}

}  // namespace
}  // namespace lantrel
