#include "lantrel/desktop_attention.hpp"

#include <gtest/gtest.h>

#include "codex_fixtures.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
namespace fx = testing::codex;
using testing::TempDir;
using testing::writeFile;
using Record = DesktopAttention::Record;
using Rows = std::vector<std::string>;

constexpr std::string_view thread = "0199a3f2-5b1c-7d2e-8f90-123456789abc";
constexpr std::string_view fileChange = "item/fileChange/requestApproval";
constexpr std::string_view question = "item/tool/requestUserInput";

// "requestID method thread" of each record, for compact comparisons.
Rows summary(const std::vector<Record>& records) {
  Rows out;
  for (const auto& r : records)
    out.push_back(r.requestID + " " + r.method + " " + r.threadID.value_or("-"));
  return out;
}

Rows parsed(const std::string& data) { return summary(DesktopAttention::parse(data)); }

std::string row(std::string_view id, std::string_view method = question,
                std::string_view owner = thread) {
  return std::string(id) + " " + std::string(method) + " " + std::string(owner);
}

TEST(DesktopAttentionParseTest, RequestsAndResponses) {
  auto records = DesktopAttention::parse(
      fx::showApproval(1, thread, "42", "fileChange") + fx::showQuestion(2, thread, "q7") +
      fx::sendResponse(3, "42", fileChange) +
      fx::showApproval(4, thread, "43", "permissionRequest") +
      fx::showApproval(5, thread, "44", "commandExecution"));
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].date, fx::base + 1);
  EXPECT_EQ(summary(records),
            (Rows{row("42", fileChange), row("q7"), row("42", fileChange, "-"),
                  row("43", "item/permissions/requestApproval"),
                  row("44", "item/commandExecution/requestApproval")}));
}

TEST(DesktopAttentionParseTest, LinesThatDoNotQualify) {
  std::string ts = fx::iso(1);
  std::string approval = "[desktop-notifications] show approval conversationId=" +
                         std::string(thread) + " kind=fileChange requestId=";
  const std::string respond = "Sending server response method=" + std::string(question);
  for (const std::string& data :
       {fx::logLine(ts, approval + "1" + std::string(fx::logSeparator)),
        fx::logLine(fx::iso(1, false), approval + "1"),
        fx::showApproval(1, "not-a-uuid", "1", "fileChange"),
        fx::showApproval(1, thread, std::string(129, 'r'), "fileChange"),
        fx::showApproval(1, thread, "1", "mcpElicitation"), fx::sendResponse(1, "1", "item/other"),
        fx::logLine(ts, "[desktop-notifications] show approval"), fx::logLine(ts, respond),
        fx::logLine(ts, approval),
        // Fields after " response=" belong to the response body.
        fx::logLine(ts, respond + " response={ id=5 }")})
    EXPECT_EQ(parsed(data), Rows{}) << data;
  EXPECT_EQ(parsed(fx::showApproval(1, thread, std::string(128, 'r'), "fileChange")).size(), 1u);
  EXPECT_EQ(parsed(fx::logLine(ts, approval + "a=b")), Rows{row("a=b", fileChange)});
  EXPECT_EQ(parsed(fx::logLine(ts, approval + "1 requestId==2")), Rows{row("=2", fileChange)});

  // Lines of 65,536 bytes or more are not looked at.
  std::string padded = approval + "1 pad=";
  auto sized = [&](std::size_t size) {
    return fx::logLine(ts, padded + std::string(size - ts.size() - 34 - padded.size(), 'p'));
  };
  EXPECT_EQ(sized(65536).size(), 65536u);
  EXPECT_EQ(parsed(sized(65536)).size(), 1u);
  EXPECT_EQ(parsed(sized(65537)), Rows{});

  // Invalid UTF-8 is repaired, not passed on; garbage and blank lines are skipped.
  auto repaired = DesktopAttention::parse("\n\x00\xff\n\n" + fx::logLine(ts, approval + "r\xff"));
  ASSERT_EQ(repaired.size(), 1u);
  EXPECT_EQ(repaired[0].requestID, "r\xEF\xBF\xBD");
}

class DesktopAttentionLoadTest : public ::testing::Test {
 protected:
  // 2025-03-07T00:30:00Z: yesterday is 2025/03/06 in UTC.
  Instant now = Instant::fromUnix(1741307400);
  double t = now.unixSeconds();
  TempDir logs;

  void addLog(std::string_view day, std::string_view name, std::string_view content,
              double unixSeconds) {
    writeFile(logs / day / name, content);
    testing::touch(logs / day / name, unixSeconds);
  }
  Rows load() { return summary(DesktopAttention::load(logs.path(), now)); }
  static std::string request(std::string_view id) { return fx::showQuestion(1, thread, id); }
};

TEST_F(DesktopAttentionLoadTest, ChoosesTheNewestScopeAndFiles) {
  EXPECT_TRUE(DesktopAttention::load(logs / "missing", now).empty());
  EXPECT_TRUE(load().empty());
  writeFile(logs / "2025/03/07", "not a directory");  // a listing failure fails the load
  EXPECT_THROW(DesktopAttention::load(logs.path(), now), fs::filesystem_error);
  fs::remove(logs / "2025/03/07");

  addLog("2025/03/06", "codex-desktop-a-t0-1.log", request("a1"), t - 300);
  addLog("2025/03/07", "codex-desktop-a-t0-2.log", request("a2"), t - 200);
  addLog("2025/03/05", "codex-desktop-a-t0-0.log", request("old"), t - 10);  // two days ago
  addLog("2025/03/07", "codex-desktop-a-t1-3.log", request("x"), t);         // no "-t0-"
  addLog("2025/03/07", "codex-desktop-a-t0-4.txt", request("x"), t);
  addLog("2025/03/07", "codex-a-t0-5.log", request("x"), t);
  fs::create_symlink(logs / "2025/03/07/codex-desktop-a-t0-2.log",
                     logs / "2025/03/07/codex-desktop-z-t0-6.log");
  EXPECT_EQ(load(), (Rows{row("a2"), row("a1")}));

  // A newer run of the app writes under another scope; only its files count.
  addLog("2025/03/06", "codex-desktop-b-t0-1.log", request("b1"), t - 100);
  EXPECT_EQ(load(), (Rows{row("b1")}));

  // Of the newest scope, only the eight newest files are read.
  for (int i = 0; i < 9; ++i)
    addLog("2025/03/07", "codex-desktop-s-t0-" + std::to_string(i) + ".log",
           request("r" + std::to_string(i)), t - 90 + i);
  Rows rows = load();
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows.front(), row("r8"));
  EXPECT_EQ(rows.back(), row("r1"));
}

// Any instant picks day directories without arithmetic going out of range.
TEST_F(DesktopAttentionLoadTest, FarInstantsPickTheEdgeDays) {
  addLog("9999/12/31", "codex-desktop-a-t0-1.log", request("late"), t);
  addLog("0000/01/01", "codex-desktop-a-t0-1.log", request("early"), t);
  EXPECT_EQ(summary(DesktopAttention::load(logs.path(), Instant{1e300})), (Rows{row("late")}));
  EXPECT_EQ(summary(DesktopAttention::load(logs.path(), Instant{-1e300})), (Rows{row("early")}));
}

TEST_F(DesktopAttentionLoadTest, ReadsWholeLinesOfTheTail) {
  std::string first = request("first"), filler = request("filler");
  auto write = [&](std::size_t size) {  // `first`, fillers, then a plain line up to `size`
    std::string data = first;
    while (data.size() + filler.size() <= size) data += filler;
    if (data.size() < size) data += std::string(size - data.size() - 1, '.') + "\n";
    EXPECT_EQ(data.size(), size);
    addLog("2025/03/07", "codex-desktop-s-t0-1.log", data, t);
  };
  write(DesktopAttention::tailBytes);
  Rows whole = load();
  EXPECT_EQ(whole.front(), row("first"));
  write(DesktopAttention::tailBytes + 1);
  Rows cut = load();
  EXPECT_EQ(cut.size(), whole.size() - 1);
  EXPECT_EQ(cut.front(), row("filler"));

  addLog("2025/03/07", "codex-desktop-s-t0-1.log", request("a") + request("b").substr(0, 60), t);
  EXPECT_EQ(load(), Rows{row("a")});
  addLog("2025/03/07", "codex-desktop-s-t0-1.log", request("a").substr(0, 60), t);
  EXPECT_TRUE(load().empty());
}

TaskStatus codexTask(std::string_view id, double updated) {
  return TaskStatus("codex-" + std::string(id), "Task", LightState::working, fx::base + updated,
                    std::string(codexSource));
}

Record shown(double at, std::string_view id, std::string_view method, std::string_view owner) {
  return {fx::base + at, std::string(id), std::string(method), std::string(owner)};
}

Record answered(double at, std::string_view method = question) {
  return {fx::base + at, "1", std::string(method), std::nullopt};
}

TEST(DesktopAttentionApplyTest, PairsRequestsWithResponses) {
  Instant now = fx::base + 100;
  std::vector<TaskStatus> tasks = {codexTask(thread, 0)};
  Record ask = shown(5, "1", question, thread);
  // Records arrive in any order; a response before its request cancels nothing.
  const std::vector<std::pair<std::vector<Record>, bool>> cases = {
      {{}, false},
      {{answered(5)}, false},
      {{ask, answered(6)}, false},
      {{answered(6), ask}, false},
      {{shown(101, "1", question, thread)}, false},
      {{ask, answered(4)}, true},
      {{ask, answered(6, fileChange)}, true}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    TaskStatus result = DesktopAttention::applying(cases[i].first, tasks, now).front();
    if (cases[i].second)
      EXPECT_EQ(result.state, LightState::waiting) << i;
    else
      EXPECT_EQ(result, tasks.front()) << i;
  }
  TaskStatus again = DesktopAttention::applying(
      {ask, answered(6), shown(7, "1", question, thread)}, tasks, now).front();
  EXPECT_EQ(again.state, LightState::waiting);
  EXPECT_EQ(again.confirmedAttentionPending, true);
  EXPECT_EQ(again.updatedAt, fx::base + 7);
}

TEST(DesktopAttentionApplyTest, MarksOnlyTheOwningCodexTasks) {
  Instant now = fx::base + 100;
  std::string upper = "0199A3F2-5B1C-7D2E-8F90-123456789ABC";
  TaskStatus bounded = codexTask(thread, 0);
  bounded.lastTurnBoundaryAt = fx::base + 10;
  TaskStatus local("codex-" + std::string(thread), "L", LightState::working, fx::base,
                   std::string(localSource));
  TaskStatus bare(std::string(thread), "B", LightState::working, fx::base, std::string(codexSource));
  std::vector<TaskStatus> tasks = {bounded, local, bare, codexTask(upper, 50), codexTask(thread, 0)};

  auto result = DesktopAttention::applying({shown(10, "1", question, thread)}, tasks, now);
  ASSERT_EQ(result.size(), tasks.size());
  // Unchanged: shown at its turn boundary, a local task, an ID without
  // prefix, and a thread ID that differs in case only.
  for (int i : {0, 1, 2, 3}) EXPECT_EQ(result[i], tasks[i]) << i;
  EXPECT_EQ(result[4].state, LightState::waiting);

  result = DesktopAttention::applying({shown(11, "1", question, thread),
                                       shown(30, "2", fileChange, upper),
                                       shown(20, "3", question, upper)}, tasks, now);
  EXPECT_EQ(std::make_pair(result[0].state, result[0].updatedAt),
            std::make_pair(LightState::waiting, fx::base + 11));
  TaskStatus expected = tasks[3];  // its own time is later than the request's
  expected.state = LightState::waiting;
  expected.confirmedAttentionPending = true;
  EXPECT_EQ(result[3], expected);
}

}  // namespace
}  // namespace lantrel
