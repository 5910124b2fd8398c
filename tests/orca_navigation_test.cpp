#include "lantrel/orca_navigation.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <deque>

#include "orca_fixtures.hpp"

namespace lantrel {
namespace {

using Code = OrcaNavigationError::Code;
using Error = OrcaNavigationError;
constexpr const char* leaf1 = "b1b2c3d4-0000-4000-8000-000000000001";
constexpr const char* leaf2 = "b1b2c3d4-0000-4000-8000-000000000002";
const std::string handle1 = "term_c0000000-0000-4000-8000-000000000001";
const std::string handle2 = "term_c0000000-0000-4000-8000-000000000002";

// An executable script in `dir` that records its process ID in dir/pids.
fs::path script(const TempDir& dir, const std::string& body) {
  static int count = 0;
  fs::path path = dir / std::to_string(++count);
  writeFile(path, "#!/bin/sh\necho $$ >> '" + (dir / "pids").string() + "'\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

// Every process the scripts recorded has ended (a killed orphan may take a
// moment to; a zombie counts as ended).
void expectAllEnded(const TempDir& dir) {
  std::istringstream pids(testing::readFile(dir / "pids"));
  for (pid_t pid; pids >> pid;) {
    auto alive = [pid] {
      std::string stat = testing::readFile("/proc/" + std::to_string(pid) + "/stat");
      return !stat.empty() && stat[stat.rfind(')') + 2] != 'Z';
    };
    for (int i = 0; i < 400 && alive(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(alive()) << "process " << pid << " is still running";
  }
}

template <typename Call>
std::optional<Error> navigationError(Call call) {
  try {
    call();
  } catch (const Error& e) {
    return e;
  }
  return std::nullopt;
}

std::string run(double timeout, std::int64_t limit, const fs::path& executable,
                const std::vector<std::string>& arguments = {}) {
  return OrcaCommandRunner(timeout, limit).run(executable, arguments).get();
}
std::optional<Error> runError(double timeout, std::int64_t limit, const fs::path& executable) {
  return navigationError([&] { run(timeout, limit, executable); });
}

TEST(OrcaCommandRunner, LimitsAndExitStatusDecide) {
  TempDir dir;
  // Both outputs count towards one limit; only standard output is the answer.
  auto split = script(dir, "printf ab; printf cd >&2");
  EXPECT_EQ(run(5, 4, split), "ab");
  auto before = std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  const std::pair<fs::path, Error> endings[] = {
      {split, Error(Code::outputLimit)},
      {script(dir, "exit 0"), Error(Code::unavailable)},
      {script(dir, R"(echo '{"ok":false,"error":{"code":"gone"}}'; exit 1)"), Error::failedWith("gone")},
      {script(dir, R"(echo '{"ok":true,"result":{}}'; exit 3)"), Error(Code::unavailable)},
      {script(dir, R"(echo '{"ok":false}'; kill -9 $$)"), Error::failedWith("unknown")},
      // The deadline ends a silent child with its grandchild, and a chatty one.
      {script(dir, "sleep 30 &\necho $! >> '" + (dir / "pids").string() + "'\nexec sleep 30"),
       Error(Code::timedOut)},
      {script(dir, "while :; do echo x; sleep 0.01; done"), Error(Code::timedOut)},
  };
  for (const auto& [path, expected] : endings)
    EXPECT_EQ(runError(expected.code() == Code::timedOut ? 0.3 : 5,
                       expected.code() == Code::outputLimit ? 3 : 100000, path), expected)
        << testing::readFile(path);
  EXPECT_THROW(run(5, 1000, script(dir, "echo broken; exit 2")), DecodingError);
  EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()), before);
  expectAllEnded(dir);
}

// A host that ignores SIGCHLD has the system reap the child: its exit
// status is lost, and a lost status is never a success.
TEST(OrcaCommandRunner, UnknownExitStatusIsNoSuccess) {
  TempDir dir;
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ignore, &previous);
  auto failing = runError(5, 1000, script(dir, R"(echo '{"ok":true,"result":{}}'; exit 3)"));
  auto succeeding = runError(5, 1000, script(dir, "echo answer"));
  ::sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(failing, Error(Code::unavailable));
  EXPECT_EQ(succeeding, Error(Code::unavailable));
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
  EXPECT_THROW(run(5, 1000, "/nonexistent/orca"), fs::filesystem_error);
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
            .open("codex-x", "/bin/true", [gate, token] {
              gate.wait();
              return OrcaSessionIndex{};
            });
      },
      [&] { open.set_value(); }));
  expectAllEnded(dir);
}

TEST(OrcaNavigator, AnswersAreBoundedAndErrorsCompareByCode) {
  std::string big = R"({"ok":true,"result":{"a":1}})" + std::string(4000000, ' ');
  EXPECT_EQ(OrcaNavigator::result(big.substr(0, 4000000)), R"({"a":1})");
  EXPECT_EQ(navigationError([&] { OrcaNavigator::result(big); }), Error(Code::invalidResponse));
  EXPECT_FALSE(Error::failedWith("a") == Error::failedWith("b"));
  EXPECT_FALSE(Error(Code::timedOut) == Error(Code::outputLimit));
}

OrcaSessionReference reference(const char* leafID) {
  return {"codex", "3f1c2a9e-1111-4111-8111-111111111111", orcaTab, leafID, "wt-1", Instant{0}, {}};
}
json terminal(const char* leafID, const std::string& handle) {
  return {{"handle", handle}, {"executionHostId", "local"}, {"tabId", orcaTab},
          {"leafId", leafID}, {"worktreeId", "wt-1"},       {"connected", true}};
}
const json list = {{"ok", true},
                   {"result", {{"truncated", false}, {"hostScope", {{"hostIds", {"ssh", "local"}}}},
                               {"terminals", {terminal(leaf2, handle2), terminal(leaf1, handle1)}}}}};

TEST(OrcaNavigator, ResolvesTheOneConnectedLocalTerminal) {
  EXPECT_EQ(OrcaNavigator::resolve(list.dump(), reference(leaf1)), handle1);
  // A change to the answer, and the error it gives. Identifiers match
  // exactly, letter case included.
  const std::tuple<std::string, json, Code> cases[] = {
      {"/truncated", true, Code::invalidResponse},
      {"/hostScope/hostIds", {"ssh"}, Code::invalidResponse},
      {"/terminals/0", terminal(leaf1, handle2), Code::ambiguous},
      {"/terminals/1/connected", false, Code::missingSession},
      {"/terminals/1/orphaned", true, Code::missingSession},
      {"/terminals/1/executionHostId", "ssh", Code::missingSession},
      {"/terminals/1/tabId", "a1b2c3d4-0000-4000-8000-00000000000a", Code::missingSession},
      {"/terminals/1/leafId", "B1B2C3D4-0000-4000-8000-000000000001", Code::missingSession},
      {"/terminals/1/worktreeId", "WT-1", Code::missingSession},
      {"/terminals/1/handle", "term_1234", Code::missingSession},
      {"/terminals/1/handle", handle1.substr(5), Code::missingSession},
  };
  for (const auto& [pointer, value, code] : cases) {
    json answer = list;
    answer[json::json_pointer("/result" + pointer)] = value;
    EXPECT_EQ(navigationError([&] { OrcaNavigator::resolve(answer.dump(), reference(leaf1)); }),
              Error(code)) << pointer << " " << value;
  }
}

// Orca's tool as the navigator sees it: each call takes the next answer, or
// fails with the code of an answer {"fail": code}.
struct FakeOrca : OrcaCommandRunning {
  mutable std::deque<json> answers;
  std::future<std::string> run(const fs::path&, const std::vector<std::string>&) const override {
    std::promise<std::string> answer;
    json next = answers.empty() ? json("no answer left") : answers.front();
    if (!answers.empty()) answers.pop_front();
    if (next.contains("fail"))
      answer.set_exception(std::make_exception_ptr(Error::failedWith(next["fail"].get<std::string>())));
    else
      answer.set_value(next.dump());
    return answer.get_future();
  }
};

json focus(const std::string& handle, const std::string& tabID = orcaTab, json navigated = true) {
  return {{"ok", true},
          {"result", {{"focus", {{"handle", handle}, {"tabId", tabID}, {"navigated", navigated}}}}}};
}

TEST(OrcaNavigator, SwitchesToTheFocusedPaneRetryingAStaleHandleOnce) {
  auto orca = std::make_shared<FakeOrca>();
  const json stale = {{"fail", "stale_terminal_handle"}};
  const std::vector<OrcaSessionReference> one = {reference(leaf1)}, other = {reference(leaf2)};
  const struct {
    std::vector<json> answers;
    std::vector<OrcaSessionReference> first, later;
    std::optional<Error> error;
    int loads;
  } cases[] = {
      {{list, stale, list, focus(handle2)}, one, other, std::nullopt, 2},
      {{list, stale, list, {{"fail", "terminal_not_found"}}}, one, other,
       Error::failedWith("terminal_not_found"), 2},
      {{list, stale}, one, {}, Error(Code::missingSession), 2},
      {{list, {{"fail", "busy"}}}, one, other, Error::failedWith("busy"), 1},
      {{}, {}, {}, Error(Code::missingSession), 1},
      {{}, {reference(leaf1), reference(leaf2)}, {}, Error(Code::ambiguous), 1},
      // The focus is the handle's, in the reference's tab exactly, navigated.
      {{list, focus(handle1)}, other, {}, Error(Code::unavailable), 1},
      {{list, focus(handle1, "a1b2c3d4-0000-4000-8000-00000000000a")}, one, {},
       Error(Code::unavailable), 1},
      {{list, focus(handle1, orcaTab, "true")}, one, {}, Error(Code::unavailable), 1},
  };
  int i = 0;
  for (const auto& c : cases) {
    orca->answers.assign(c.answers.begin(), c.answers.end());
    auto loads = std::make_shared<int>(0);
    auto done = OrcaNavigator(orca).open("CODEX-3F1C2A9E-1111-4111-8111-111111111111", "orca",
                                         [=, first = c.first, later = c.later] {
                                           return OrcaSessionIndex{(*loads)++ ? later : first};
                                         });
    EXPECT_EQ(navigationError([&] { done.get(); }), c.error) << "case " << i;
    EXPECT_EQ(*loads, c.loads) << "case " << i;
    EXPECT_TRUE(orca->answers.empty()) << "case " << i++;
  }
}

}  // namespace
}  // namespace lantrel
