#include "lantrel/claude_session_reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "test_support.hpp"

namespace lantrel {
namespace {

using Strings = std::vector<std::string>;
const std::string sessionA = "6f1c1a52-0d6b-4f4e-9a57-2b1f0c9d8e01";
const Instant start = *Instant::parseISO8601("2026-12-01T10:00:00Z");

std::string uuid(int n) {
  return std::string(7, '0') + "0123456789abcdef"[n] + "-0000-4000-8000-000000000000";
}
std::string line(int second, const std::string& body, const std::string& id = sessionA) {
  return R"({"cwd":"/Users/ana/src/lantrel","sessionId":")" + id + R"(","timestamp":")" +
         (start + second).iso8601() + "\"," + body + "}\n";
}
std::string user(int second, const std::string& content, const std::string& more = "") {
  return line(second, R"("type":"user",)" + more + R"("message":{"content":)" + content + "}");
}
std::string assistant(int second, const std::string& stop, const std::string& id = sessionA,
                      const std::string& tool = "Bash") {
  return line(second, R"("type":"assistant","message":{"stop_reason":")" + stop +
                          R"(","content":[{"type":"tool_use","name":")" + tool + R"("}]})", id);
}
std::string summary(const TaskStatus& t) {
  std::ostringstream o;
  o << t.id.substr(0, 15) << "|" << t.name << "|" << rawValue(t.state) << "|" << t.updatedAt - start
    << "|" << t.confirmedAttentionPending.value_or(false) << "|" << t.projectName.value_or("-");
  return o.str();
}
std::string parse(const std::string& data) {
  auto task = ClaudeSessionReader::parse(data, "ignored", "Fallback");
  return task ? summary(*task) : "none";
}

TEST(ClaudeSessionReader, ParsesATranscript) {
  std::string data =
      user(0, R"("Caveat: generated.")", R"("isMeta":true,)") +
      user(1, R"("Sidechain prompt")", R"("isSidechain":true,)") +
      user(3, R"([{"type":"text","text":"  Fix the\n\tflaky "},{"type":"image"},)"
              R"({"type":"text","text":"build  "}])") +
      "{\"type\":\"user\",\"sessionId\":\"" + uuid(2) + "\", broken\n[1,2]\n\n42\n" +
      assistant(7, "end_turn") + line(8, R"("type":"custom-title","customTitle":"   ")");
  const std::string a = "claude-6f1c1a52|Fix the flaky build|";
  EXPECT_EQ(parse(data), a + "done|7|0|lantrel");
  EXPECT_EQ(parse(data + line(9, R"("type":"custom-title","customTitle":"Mine")")),
            "claude-6f1c1a52|Mine|done|7|0|lantrel");
  data += assistant(10, "tool_use", sessionA, "AskUserQuestion");
  EXPECT_EQ(parse(data), a + "waiting|10|1|lantrel");
  EXPECT_EQ(parse(data + line(9, R"("type":"queue-operation","operation":"dequeue")")),
            a + "working|10|0|lantrel");
}

class ClaudeReaderLoad : public ::testing::Test {
 protected:
  testing::TempDir home;
  Instant now = start + 3600;
  ClaudeHookStore hooks{home / "events"};
  std::vector<TaskStatus> tasks;

  void transcript(const std::string& relative, const std::string& data, double age) {
    testing::writeFile(home / "projects" / relative, data);
    testing::touch(home / "projects" / relative, (now - age).unixSeconds());
  }
  Strings load(std::size_t limit = 30) {
    tasks = ClaudeSessionReader::load(home.path(), hooks, now, home / "desktop", limit);
    Strings out(tasks.size());
    return std::ranges::transform(tasks, out.begin(), summary), out;
  }
};

// The transcript of session `n`, finished at second `n` (a last line still
// being written is not read), and its task.
std::string finished(int n) {
  std::string half = line(n + 1, R"("type":"user","message":{"content":"x"})", uuid(n));
  return assistant(n, "end_turn", uuid(n)) + half.substr(0, half.size() - 1);
}
std::string done(int n) {
  std::string id = uuid(n).substr(0, 8);
  return "claude-" + id + "|Claude task " + id + "|done|" + std::to_string(n) + "|0|lantrel";
}

TEST_F(ClaudeReaderLoad, PicksRecentTranscriptsNewestFirst) {
  auto j = [](int n) { return uuid(n) + ".jsonl"; };
  // Session 2's older file under another name loses. Not read: too old, too far ahead, hidden,
  // not a UUID, another extension, no state line, a link, and one removed after the listing.
  for (auto [file, n, age] : std::vector<std::tuple<std::string, int, double>>{
           {"-a/" + j(1), 1, 100}, {"-b/" + j(2), 2, 10}, {"-b/deep/er/" + j(3), 3, 86'399},
           {"-b/" + j(4), 4, -60}, {"-b/" + j(9), 2, 500}, {"a/" + j(5), 5, 86'400},
           {"a/" + j(6), 6, -61}, {".h/" + j(7), 7, 5}, {"a/agent-1.jsonl", 8, 5},
           {"a/" + uuid(8) + ".json", 8, 5}, {"a/" + j(10), 0, 5}, {"a/" + j(12), 12, 1}})
    transcript(file, n ? finished(n) : line(1, R"("type":"summary")", uuid(10)), age);
  std::filesystem::create_symlink(home / "projects/-a" / j(1), home / "projects/a" / j(11));
  testing::vanishing = (home / "projects/a" / j(12)).string();
  EXPECT_EQ(load(), (Strings{done(4), done(2), done(1), done(3)}));
  EXPECT_FALSE(std::filesystem::exists(testing::vanishing));
  testing::vanishing.clear();
  EXPECT_EQ(load(2), (Strings{done(4), done(2)}));
}

// A long transcript is read at its ends: the prompt from the head, the state from the tail,
// whether the two overlap (about 600 KB) or stand apart (1.2 MB).
TEST_F(ClaudeReaderLoad, ReadsTheEndsOfALongTranscript) {
  std::string middle = line(1, R"("type":"progress","data":")" + std::string(4000, 'x') + "\"");
  for (int copies : {150, 300}) {
    std::string data = user(0, "\"Long one\"");
    for (int i = 0; i < copies; ++i) data += middle;
    transcript("p/" + sessionA + ".jsonl", data + assistant(9, "end_turn"), 10);
    EXPECT_EQ(load(), Strings{"claude-6f1c1a52|Long one|done|9|0|lantrel"}) << copies;
  }
}

TEST_F(ClaudeReaderLoad, HookRecordsAndDesktopSessionsCompleteTheTask) {
  auto hook = [&](const std::string& id, const std::string& name, Instant at) {
    hooks.ingest(R"({"session_id":")" + id + R"(","hook_event_name":")" + name +
                     R"(","cwd":"/","transcript_path":"/t.jsonl"})", at);
  };
  // A permission request as recent as the transcript makes A wait; a hook
  // record older than the transcript's last change is ignored (C).
  const std::string b = uuid(2), c = uuid(3), d = "local_0b7c6e58-2f3a-4d1e-9c8b-7a6f5e4d3c2b";
  transcript("p/" + sessionA + ".jsonl", user(0, "\"Deploy\"") + assistant(20, "tool_use"), 30);
  hook(sessionA, "PermissionRequest", start + 20);
  transcript("p/" + b + ".jsonl", finished(2), 60);
  transcript("p/" + c + ".jsonl", assistant(20, "tool_use", c), 90);
  hook(c, "StopFailure", start + 19);
  // Desktop sessions, hidden names read too: A focused, B with a bad focus
  // time; none trusted for C (no "local_", not a UUID after it).
  for (auto [file, cli, id, focus] : std::vector<std::array<std::string, 4>>{
           {".b/session.json", sessionA, d, "1796000000123"}, {"b/.o.json", b, d, "\"x\""},
           {"p.json", c, "xocal_" + d.substr(6), "5"}, {"i.json", c, d.substr(0, 40), "5"}})
    testing::writeFile(home / "desktop" / file, R"({"cliSessionId":")" + cli +
                                                    R"(","sessionId":")" + id +
                                                    R"(","lastFocusedAt":)" + focus + "}");
  ASSERT_EQ(load(), (Strings{"claude-6f1c1a52|Deploy|waiting|20|1|lantrel", done(2),
                             "claude-00000003|Claude task 00000003|working|20|0|lantrel"}));
  EXPECT_EQ(tasks[0].providerSessionLastFocusedAt, Instant::fromUnix(1'796'000'000.123));
  EXPECT_TRUE(tasks[0].providerSessionID == d && tasks[1].providerSessionID == d);
  EXPECT_FALSE(tasks[1].providerSessionLastFocusedAt || tasks[2].providerSessionID);
}

}  // namespace
}  // namespace lantrel
