#include "lantrel/desktop_attention.hpp"

#include <gtest/gtest.h>

#include "codex_fixtures.hpp"

namespace lantrel {
namespace {

using namespace testing::codex;
using Rows = std::vector<string>;
const string thread = "0199a3f2-5b1c-7d2e-8f90-123456789abc";
const string question = "item/tool/requestUserInput";
const string fileChange = "item/fileChange/requestApproval";

// "requestID method thread" of each record.
Rows summary(const std::vector<DesktopAttention::Record>& records) {
  Rows out;
  for (const auto& r : records)
    out.push_back(r.requestID + " " + r.method + " " + r.threadID.value_or("-"));
  return out;
}
string row(string id, string method = question) { return id + " " + method + " " + thread; }

// Day directories of yesterday and today in UTC: the newest scope's eight newest log files.
// A log rotated away after the listing is passed over; lines that name no task, an unknown
// kind or a request ID over 128 bytes are not records.
TEST(DesktopAttentionLoadTest, ChoosesTheNewestScopeAndFilesAndSkipsLinesThatAreNoRecords) {
  Instant now = Instant::fromUnix(1741307400);  // 2025-03-07T00:30:00Z
  testing::TempDir logs;
  auto add = [&](string day, string name, string content, double age = 0) {
    std::filesystem::path file = logs / ("2025/03/" + day) / ("codex-desktop-" + name + ".log");
    return testing::writeFile(file, content), testing::touch(file, now.unixSeconds() - age), file;
  };
  auto load = [&] { return summary(DesktopAttention::load(logs.path(), now)); };
  add("06", "a-t0-1", shown(1, thread, "a1"), 300);
  add("07", "a-t0-2", shown(1, thread, "a2"), 200);
  add("05", "a-t0-0", shown(1, thread, "old"), 10);
  add("07", "a-t1-3", shown(1, thread, "x"));
  string r128(128, 'r');
  add("07", "a-t0-4", shown(1, "x", "1") + shown(1, thread, "1", "mcp") +
                          shown(1, thread, r128 + "r") + shown(1, thread, r128, "fileChange") +
                          sent(4, "4", fileChange), 200);
  testing::vanishing = add("07", "a-t0-7", shown(1, thread, "gone"), 250);
  EXPECT_EQ(load(), (Rows{row(r128, fileChange), "4 " + fileChange + " -", row("a2"), row("a1")}));
  EXPECT_FALSE(std::filesystem::exists(testing::vanishing));
  testing::vanishing.clear();
  for (char i : string("012345678")) add("07", string("s-t0-") + i, shown(1, thread, "s"), 9);
  EXPECT_EQ(load(), Rows(8, row("s")));  // a newer run of the app, eight files
}

// Any instant picks day directories without arithmetic going out of range.
TEST(DesktopAttentionLoadTest, FarInstantsPickTheEdgeDays) {
  testing::TempDir logs;
  testing::writeFile(logs / "9999/12/31/codex-desktop-a-t0-1.log", shown(1, thread, "late"));
  testing::writeFile(logs / "0000/01/01/codex-desktop-a-t0-1.log", shown(1, thread, "early"));
  for (double at : {4e11, 1e300, -4e11, -1e300})
    EXPECT_EQ(summary(DesktopAttention::load(logs.path(), Instant{at})),
              Rows{row(at > 0 ? "late" : "early")});
}

// A record's line starts with its timestamp, of any fraction and either zone, right before
// its only separator; anything else before the timestamp, or another handler's name of the
// same length in the separator, makes no record.
TEST(DesktopAttentionParseTest, TheTimestampStartsTheLine) {
  string sep = " info [electron-message-handler] ", other = " info [electron-message-handles] ";
  string question = "[desktop-notifications] show question conversationId=" + thread + " requestId=";
  string ask = sep + question;
  EXPECT_EQ(summary(DesktopAttention::parse(
                "2025-03-07T09:41:05.1+01:00" + ask + "1\nx2025-03-07T09:41:05.1Z" + ask + "2\n" +
                "2025-03-07T09:41:05Z" + ask + "3\n2025-03-07T09:41:05.1Z" + ask + "4" + sep + "\n" +
                "2025-03-07T09:41:05.1Z" + other + question + "6\n" +
                "2025-03-07T09:41:05.123456789Z" + ask + "5")),
            (Rows{row("1"), row("5")}));
}

TEST(DesktopAttentionApplyTest, PairsRequestsWithResponsesOfTheOwningTask) {
  using R = DesktopAttention::Record;
  TaskStatus one("codex-" + thread, "T", {}, base, string(codexSource)), waiting = one;
  waiting.state = LightState::waiting, waiting.confirmedAttentionPending = true;
  waiting.updatedAt = base + 5;
  R ask{base + 5, "1", question, thread}, late{base + 101, "1", question, thread};
  auto answer = [](double at, string method = question) { return R{base + at, "1", method, {}}; };
  // Records arrive in any order; a response before its request cancels nothing.
  const std::pair<std::vector<R>, bool> cases[] = {
      {{ask}, true}, {{ask, answer(6)}, false}, {{answer(6), ask}, false}, {{ask, answer(4)}, true},
      {{ask, answer(6, fileChange)}, true}, {{late}, false}};
  for (const auto& [records, waits] : cases)
    EXPECT_EQ(DesktopAttention::applying(records, {one}, base + 100)[0], waits ? waiting : one);
  one.lastTurnBoundaryAt = base + 5;  // shown at its turn boundary: unchanged
  EXPECT_EQ(DesktopAttention::applying({ask}, {one}, base + 100)[0], one);
}

}  // namespace
}  // namespace lantrel
