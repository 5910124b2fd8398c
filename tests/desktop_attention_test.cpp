#include "lantrel/desktop_attention.hpp"

#include <gtest/gtest.h>

#include "codex_fixtures.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
namespace fx = testing::codex;
using testing::TempDir;
using testing::writeFile;

constexpr std::string_view thread = "0199a3f2-5b1c-7d2e-8f90-123456789abc";
constexpr std::string_view fileChange = "item/fileChange/requestApproval";
constexpr std::string_view question = "item/tool/requestUserInput";

// "requestID method thread" of each record, for compact comparisons.
std::vector<std::string> summary(const std::vector<DesktopAttention::Record>& records) {
  std::vector<std::string> out;
  for (const auto& r : records)
    out.push_back(r.requestID + " " + r.method + " " + r.threadID.value_or("-"));
  return out;
}

TEST(DesktopAttentionParseTest, RequestsAndResponses) {
  std::string data = fx::showApproval(1, thread, "42", "fileChange") +
                     fx::showQuestion(2, thread, "q7") +
                     fx::sendResponse(3, "42", fileChange) +
                     fx::showApproval(4, thread, "43", "permissionRequest") +
                     fx::showApproval(5, thread, "44", "commandExecution");
  auto records = DesktopAttention::parse(data);
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].date, fx::base + 1);
  EXPECT_EQ(summary(records),
            (std::vector<std::string>{
                "42 item/fileChange/requestApproval " + std::string(thread),
                "q7 item/tool/requestUserInput " + std::string(thread),
                "42 item/fileChange/requestApproval -",
                "43 item/permissions/requestApproval " + std::string(thread),
                "44 item/commandExecution/requestApproval " + std::string(thread)}));
}

TEST(DesktopAttentionParseTest, LinesThatDoNotQualify) {
  std::string ts = fx::iso(1);
  std::string approval = "[desktop-notifications] show approval conversationId=" +
                         std::string(thread) + " kind=fileChange requestId=";
  auto parsed = [](const std::string& data) { return summary(DesktopAttention::parse(data)); };
  using Lines = std::vector<std::string>;
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
    EXPECT_EQ(parsed(data), Lines{}) << data;
  EXPECT_EQ(parsed(fx::showApproval(1, thread, std::string(128, 'r'), "fileChange")).size(), 1u);
  EXPECT_EQ(parsed(fx::logLine(ts, approval + "a=b")),
            Lines{"a=b item/fileChange/requestApproval " + std::string(thread)});
  EXPECT_EQ(parsed(fx::logLine(ts, approval + "1 requestId==2")),
            Lines{"=2 item/fileChange/requestApproval " + std::string(thread)});

  // Lines of 65,536 bytes or more are not looked at.
  std::string padded = approval + "1 pad=";
  std::string fits = fx::logLine(ts, padded + std::string(65535 - ts.size() - 33 - padded.size(), 'p'));
  EXPECT_EQ(fits.size(), 65536u);
  EXPECT_EQ(parsed(fits).size(), 1u);
  EXPECT_EQ(parsed(fx::logLine(ts, padded + std::string(65536 - ts.size() - 33 - padded.size(), 'p'))),
            Lines{});

  // Invalid UTF-8 is repaired, not passed on; garbage and blank lines are skipped.
  auto repaired = DesktopAttention::parse("\n\x00\xff\n\n" + fx::logLine(ts, approval + "r\xff"));
  ASSERT_EQ(repaired.size(), 1u);
  EXPECT_EQ(repaired[0].requestID, "r\xEF\xBF\xBD");
}

class DesktopAttentionLoadTest : public ::testing::Test {
 protected:
  // 2025-03-07T00:30:00Z: yesterday is 2025/03/06 in UTC.
  Instant now = Instant::fromUnix(1741307400);
  TempDir logs;

  fs::path addLog(std::string_view day, std::string_view name, std::string_view content,
                  double unixSeconds) {
    fs::path file = logs / day / name;
    writeFile(file, content);
    testing::touch(file, unixSeconds);
    return file;
  }
  std::vector<std::string> load() { return summary(DesktopAttention::load(logs.path(), now)); }
  std::string request(std::string_view id) { return fx::showQuestion(1, thread, id); }
  std::string row(std::string_view id) {
    return std::string(id) + " " + std::string(question) + " " + std::string(thread);
  }
};

TEST_F(DesktopAttentionLoadTest, ChoosesTheNewestScopeAndDays) {
  EXPECT_TRUE(DesktopAttention::load(logs / "missing", now).empty());
  EXPECT_TRUE(load().empty());
  double t = now.unixSeconds();
  addLog("2025/03/06", "codex-desktop-a-t0-1.log", request("a1"), t - 300);
  addLog("2025/03/07", "codex-desktop-a-t0-2.log", request("a2"), t - 200);
  addLog("2025/03/05", "codex-desktop-a-t0-0.log", request("old"), t - 10);  // two days ago
  addLog("2025/03/07", "codex-desktop-a-t1-3.log", request("x"), t);         // no "-t0-"
  addLog("2025/03/07", "codex-desktop-a-t0-4.txt", request("x"), t);
  addLog("2025/03/07", "codex-a-t0-5.log", request("x"), t);
  fs::create_symlink(logs / "2025/03/07/codex-desktop-a-t0-2.log",
                     logs / "2025/03/07/codex-desktop-z-t0-6.log");
  EXPECT_EQ(load(), (std::vector<std::string>{row("a2"), row("a1")}));

  // A newer run of the app writes under another scope; only its files count.
  addLog("2025/03/06", "codex-desktop-b-t0-1.log", request("b1"), t - 100);
  EXPECT_EQ(load(), (std::vector<std::string>{row("b1")}));
}

TEST_F(DesktopAttentionLoadTest, ReadsAtMostEightFiles) {
  double t = now.unixSeconds();
  for (int i = 0; i < 9; ++i)
    addLog("2025/03/07", "codex-desktop-s-t0-" + std::to_string(i) + ".log",
           request("r" + std::to_string(i)), t - 100 + i);
  auto rows = load();
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows.front(), row("r8"));
  EXPECT_EQ(rows.back(), row("r1"));
}

TEST_F(DesktopAttentionLoadTest, ReadsWholeLinesOfTheTail) {
  double t = now.unixSeconds();
  std::string first = request("first");
  std::string filler = request("filler");
  auto sized = [&](std::size_t size) {
    std::string data = first;
    while (data.size() + filler.size() <= size) data += filler;
    std::size_t gap = size - data.size();  // a plain line makes up the rest
    if (gap > 0) data += std::string(gap - 1, '.') + "\n";
    EXPECT_EQ(data.size(), size);
    return data;
  };
  fs::path file = addLog("2025/03/07", "codex-desktop-s-t0-1.log",
                         sized(DesktopAttention::tailBytes), t);
  auto whole = load();
  EXPECT_EQ(whole.front(), row("first"));
  addLog("2025/03/07", "codex-desktop-s-t0-1.log", sized(DesktopAttention::tailBytes + 1), t);
  auto cut = load();
  EXPECT_EQ(cut.size(), whole.size() - 1);
  EXPECT_EQ(cut.front(), row("filler"));

  addLog("2025/03/07", "codex-desktop-s-t0-1.log", request("a") + request("b").substr(0, 60), t);
  EXPECT_EQ(load(), std::vector<std::string>{row("a")});
  addLog("2025/03/07", "codex-desktop-s-t0-1.log", request("a").substr(0, 60), t);
  EXPECT_TRUE(load().empty());
}

TEST_F(DesktopAttentionLoadTest, ListingFailureFailsTheLoad) {
  writeFile(logs / "2025/03/07", "not a directory");
  EXPECT_THROW(DesktopAttention::load(logs.path(), now), fs::filesystem_error);
}

TaskStatus codexTask(std::string_view id, double updated) {
  return TaskStatus("codex-" + std::string(id), "Task", LightState::working, fx::base + updated,
                    std::string(codexSource));
}

DesktopAttention::Record shown(double at, std::string_view id, std::string_view method,
                               std::string_view threadID) {
  return {fx::base + at, std::string(id), std::string(method), std::string(threadID)};
}

DesktopAttention::Record answered(double at, std::string_view id, std::string_view method) {
  return {fx::base + at, std::string(id), std::string(method), std::nullopt};
}

TEST(DesktopAttentionApplyTest, PairsRequestsWithResponses) {
  Instant now = fx::base + 100;
  std::vector<TaskStatus> tasks = {codexTask(thread, 0)};
  auto apply = [&](std::vector<DesktopAttention::Record> records) {
    return DesktopAttention::applying(records, tasks, now).front();
  };
  EXPECT_EQ(apply({}), tasks.front());
  EXPECT_EQ(apply({answered(5, "1", question)}), tasks.front());
  EXPECT_EQ(apply({shown(5, "1", question, thread), answered(6, "1", question)}), tasks.front());
  // Records arrive in any order; a response before its request cancels nothing.
  EXPECT_EQ(apply({answered(6, "1", question), shown(5, "1", question, thread)}), tasks.front());
  EXPECT_EQ(apply({shown(5, "1", question, thread), answered(4, "1", question)}).state,
            LightState::waiting);
  EXPECT_EQ(apply({shown(5, "1", question, thread), answered(6, "1", fileChange)}).state,
            LightState::waiting);
  TaskStatus again = apply({shown(5, "1", question, thread), answered(6, "1", question),
                            shown(7, "1", question, thread)});
  EXPECT_EQ(again.state, LightState::waiting);
  EXPECT_EQ(again.confirmedAttentionPending, true);
  EXPECT_EQ(again.updatedAt, fx::base + 7);
  EXPECT_EQ(apply({shown(101, "1", question, thread)}), tasks.front());
}

TEST(DesktopAttentionApplyTest, MarksOnlyTheOwningCodexTasks) {
  Instant now = fx::base + 100;
  std::string upper = "0199A3F2-5B1C-7D2E-8F90-123456789ABC";
  TaskStatus bounded = codexTask(thread, 0);
  bounded.lastTurnBoundaryAt = fx::base + 10;
  TaskStatus local(std::string("codex-") + std::string(thread), "L", LightState::working,
                   fx::base, std::string(localSource));
  TaskStatus bare(std::string(thread), "B", LightState::working, fx::base, std::string(codexSource));
  TaskStatus later = codexTask(upper, 50);
  std::vector<TaskStatus> tasks = {bounded, local, bare, later, codexTask(thread, 0)};

  auto result = DesktopAttention::applying({shown(10, "1", question, thread)}, tasks, now);
  ASSERT_EQ(result.size(), tasks.size());
  // Unchanged: shown at its turn boundary, a local task, an ID without
  // prefix, and a thread ID that differs in case only.
  for (int i : {0, 1, 2, 3}) EXPECT_EQ(result[i], tasks[i]) << i;
  EXPECT_EQ(result[4].state, LightState::waiting);

  std::vector<DesktopAttention::Record> records = {shown(11, "1", question, thread),
                                                   shown(30, "2", fileChange, upper),
                                                   shown(20, "3", question, upper)};
  result = DesktopAttention::applying(records, tasks, now);
  EXPECT_EQ(std::make_pair(result[0].state, result[0].updatedAt),
            std::make_pair(LightState::waiting, fx::base + 11));
  TaskStatus expected = tasks[3];  // its own time is later than the request's
  expected.state = LightState::waiting;
  expected.confirmedAttentionPending = true;
  EXPECT_EQ(result[3], expected);
}

}  // namespace
}  // namespace lantrel
