#include "lantrel/desktop_attention.hpp"

#include <gtest/gtest.h>

#include "codex_fixtures.hpp"

namespace lantrel {
namespace {

using namespace testing::codex;
namespace fs = std::filesystem;
using Record = DesktopAttention::Record;
using Rows = std::vector<std::string>;

const std::string thread = "0199a3f2-5b1c-7d2e-8f90-123456789abc", upper = "0199A3F2-5B1C-7D2E-8F90-123456789ABC";
const std::string fileChange = "item/fileChange/requestApproval", question = "item/tool/requestUserInput";

// "requestID method thread" of each record.
Rows summary(const std::vector<Record>& records) {
  Rows out;
  for (const auto& r : records) out.push_back(r.requestID + " " + r.method + " " + r.threadID.value_or("-"));
  return out;
}
std::string row(std::string id, std::string method = question, std::string owner = thread) {
  return id + " " + method + " " + owner;
}

TEST(DesktopAttentionParseTest, QualifyingLines) {
  std::string ts = iso(1), approval = "[desktop-notifications] show approval conversationId=" + thread +
                                      " kind=fileChange requestId=", respond = "Sending server response method=" + question;
  auto sized = [&](std::size_t size) { return logLine(ts, approval + "1 " + std::string(size - ts.size() - 36 - approval.size(), 'p')); };
  ASSERT_EQ(sized(65536).size(), 65536u);
  const std::pair<std::string, Rows> cases[] = {
      {shown(1, thread, "42", "fileChange") + shown(2, thread, "q7") + sent(3, "42", fileChange) +
           shown(4, thread, "43", "permissionRequest") + shown(5, thread, "44", "commandExecution"),
       {row("42", fileChange), row("q7"), row("42", fileChange, "-"), row("43", "item/permissions/requestApproval"),
        row("44", "item/commandExecution/requestApproval")}},
      {logLine(ts, approval + "1 info [electron-message-handler] "), {}}, {logLine("2025-10-01T12:00:01Z", approval + "1"), {}},
      {shown(1, "not-a-uuid", "1", "fileChange"), {}}, {shown(1, thread, "1", "mcpElicitation"), {}},
      {shown(1, thread, std::string(129, 'r'), "fileChange"), {}}, {sent(1, "1", "item/other"), {}},
      {shown(1, thread, std::string(128, 'r'), "fileChange"), {row(std::string(128, 'r'), fileChange)}},
      {logLine(ts, "[desktop-notifications] show approval"), {}}, {logLine(ts, respond), {}}, {logLine(ts, approval), {}},
      {logLine(ts, respond + " response={ id=5 }"), {}},  // fields after " response=" belong to the body
      {logLine(ts, approval + "a=b"), {row("a=b", fileChange)}}, {logLine(ts, approval + "1 requestId==2"), {row("=2", fileChange)}},
      {sized(65536), {row("1", fileChange)}}, {sized(65537), {}},  // longer lines are not looked at
      // Invalid UTF-8 is repaired; garbage and blank lines are skipped.
      {"\n\x00\xff\n\n" + logLine(ts, approval + "r\xff"), {row("r\xEF\xBF\xBD", fileChange)}}};
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(summary(DesktopAttention::parse(cases[i].first)), cases[i].second) << i;
  EXPECT_EQ(DesktopAttention::parse(cases[0].first)[1].date, base + 2);
}

// Day directories of yesterday and today in UTC: the newest scope's eight newest log files, whole lines of each
// tail. A log rotated away after the listing is passed over.
TEST(DesktopAttentionLoadTest, ChoosesTheNewestScopeAndFilesAndReadsWholeLinesOfTheirTails) {
  Instant now = Instant::fromUnix(1741307400);  // 2025-03-07T00:30:00Z
  testing::TempDir logs;
  auto add = [&](std::string day, std::string name, std::string content, double age = 0) {
    testing::writeFile(logs / day / name, content);
    return testing::touch(logs / day / name, now.unixSeconds() - age), logs / day / name;
  };
  auto load = [&](Instant at) { return summary(DesktopAttention::load(logs.path(), at)); };
  EXPECT_TRUE(DesktopAttention::load(logs / "missing", now).empty());
  EXPECT_TRUE(load(now).empty());
  testing::writeFile(logs / "2025/03/07", "not a directory");  // a listing failure fails the load
  EXPECT_THROW(load(now), fs::filesystem_error);
  fs::remove(logs / "2025/03/07");

  add("2025/03/06", "codex-desktop-a-t0-1.log", shown(1, thread, "a1"), 300);
  add("2025/03/07", "codex-desktop-a-t0-2.log", shown(1, thread, "a2"), 200);
  add("2025/03/05", "codex-desktop-a-t0-0.log", shown(1, thread, "old"), 10);  // two days ago
  for (std::string name : {"codex-desktop-a-t1-3.log", "codex-desktop-a-t0-4.txt", "codex-a-t0-5.log"})
    add("2025/03/07", name, shown(1, thread, "x"));
  fs::create_symlink(logs / "2025/03/07/codex-desktop-a-t0-2.log", logs / "2025/03/07/codex-desktop-z-t0-6.log");
  OpenHook hook;
  hook.vanishing = add("2025/03/07", "codex-desktop-a-t0-7.log", shown(1, thread, "gone"), 250);
  EXPECT_EQ(load(now), (Rows{row("a2"), row("a1")}));
  EXPECT_FALSE(fs::exists(hook.vanishing));
  // A newer run of the app writes under another scope.
  add("2025/03/06", "codex-desktop-b-t0-1.log", shown(1, thread, "b1"), 100);
  EXPECT_EQ(load(now), (Rows{row("b1")}));
  for (int i = 0; i < 9; ++i) add("2025/03/07", "codex-desktop-s-t0-" + std::to_string(i) + ".log", shown(1, thread, std::to_string(i)), 90 - i);
  EXPECT_EQ(load(now), (Rows{row("8"), row("7"), row("6"), row("5"), row("4"), row("3"), row("2"), row("1")}));

  std::string first = shown(1, thread, "first"), filler = shown(1, thread, "filler"), data = first;
  while (data.size() + filler.size() < DesktopAttention::tailBytes) data += filler;
  fs::path file = add("2025/03/07", "codex-desktop-t-t0-1.log", data + std::string(DesktopAttention::tailBytes - data.size() - 1, '.') + "\n");
  Rows whole = load(now);
  EXPECT_EQ(whole.front(), row("first"));
  testing::writeFile(file, testing::readFile(file) + "\n");  // one byte more cuts the first line
  EXPECT_EQ(load(now), Rows(whole.begin() + 1, whole.end()));
  add("2025/03/07", "codex-desktop-t-t0-1.log", first + filler.substr(0, 60));
  EXPECT_EQ(load(now), Rows{row("first")});
  add("2025/03/07", "codex-desktop-t-t0-1.log", first.substr(0, 60));
  EXPECT_TRUE(load(now).empty());
}

// Any instant picks day directories without arithmetic going out of range.
TEST(DesktopAttentionLoadTest, FarInstantsPickTheEdgeDays) {
  testing::TempDir logs;
  testing::writeFile(logs / "9999/12/31/codex-desktop-a-t0-1.log", shown(1, thread, "late"));
  testing::writeFile(logs / "0000/01/01/codex-desktop-a-t0-1.log", shown(1, thread, "early"));
  for (double at : {4e11, 1e300, -4e11, -1e300})
    EXPECT_EQ(summary(DesktopAttention::load(logs.path(), Instant{at})), Rows{row(at > 0 ? "late" : "early")}) << at;
}

TaskStatus task(std::string id, double updated = 0, std::string_view source = codexSource) {
  return TaskStatus(id, "Task", LightState::working, base + updated, std::string(source));
}
Record ask(double at, std::string id = "1", std::string owner = thread, std::string method = question) {
  return {base + at, id, method, owner};
}
Record answer(double at, std::string method = question) { return {base + at, "1", method, {}}; }

TEST(DesktopAttentionApplyTest, PairsRequestsWithResponsesOfTheOwningTask) {
  Instant now = base + 100;
  auto waiting = [](TaskStatus task, double at) {
    task.state = LightState::waiting, task.confirmedAttentionPending = true;
    return task.updatedAt = std::max(task.updatedAt, base + at), task;
  };
  TaskStatus one = task("codex-" + thread);
  // Records arrive in any order; a response before its request cancels nothing.
  const std::pair<std::vector<Record>, bool> cases[] = {
      {{}, false}, {{answer(5)}, false}, {{ask(5), answer(6)}, false}, {{answer(6), ask(5)}, false},
      {{ask(101)}, false}, {{ask(5), answer(4)}, true}, {{ask(5), answer(6, fileChange)}, true}};
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(DesktopAttention::applying(cases[i].first, {one}, now)[0], cases[i].second ? waiting(one, 5) : one) << i;
  EXPECT_EQ(DesktopAttention::applying({ask(5), answer(6), ask(7)}, {one}, now)[0], waiting(one, 7));

  // Unchanged: shown at its turn boundary, a local task, an ID without prefix,
  // and a thread ID that differs in case only.
  std::vector<TaskStatus> tasks = {one, task("codex-" + thread, 0, localSource), task(thread), task("codex-" + upper, 50), one};
  tasks[0].lastTurnBoundaryAt = base + 10;
  std::vector<TaskStatus> expected = tasks;
  expected[4] = waiting(one, 10);
  EXPECT_EQ(DesktopAttention::applying({ask(10)}, tasks, now), expected);
  expected = DesktopAttention::applying({ask(11), ask(30, "2", upper, fileChange), ask(20, "3", upper)}, tasks, now);
  EXPECT_EQ(expected[0], waiting(tasks[0], 11));
  EXPECT_EQ(expected[3], waiting(tasks[3], 30));  // its own time is later than the request's
}

}  // namespace
}  // namespace lantrel
