#include "lantrel/claude_session_reader.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <sstream>

#include "lantrel/claude_focused_completion.hpp"
#include "test_support.hpp"

// Set by a test: the next opendir of `listingThatRemoves` first removes
// `fileToRemove`.
static std::string listingThatRemoves, fileToRemove;

// Takes the place of the C library's opendir in this test program, so that a
// test can remove a file at a chosen step of a reader's work.
extern "C" DIR* opendir(const char* name) {
  static auto next = reinterpret_cast<DIR* (*)(const char*)>(::dlsym(RTLD_NEXT, "opendir"));
  if (!listingThatRemoves.empty() && listingThatRemoves == name)
    listingThatRemoves.clear(), ::unlink(fileToRemove.c_str());
  return next(name);
}

namespace lantrel {
namespace {

namespace fs = std::filesystem;

const std::string sessionA = "6f1c1a52-0d6b-4f4e-9a57-2b1f0c9d8e01";
const std::string sessionB = "7a2d2b63-1e7c-4a5f-8b68-3c2a1dae9f12";
const std::string cwd = R"("cwd":"/Users/ana/src/lantrel",)";
const Instant start = *Instant::parseISO8601("2026-12-01T10:00:00Z");

std::string uuid(int n) {
  char b[37];
  return std::snprintf(b, sizeof b, "%08x-0000-4000-8000-000000000000", n), b;
}
// A transcript line as Claude Code writes it; `body` holds its type and the rest.
std::string line(int second, const std::string& body, const std::string& id = sessionA) {
  return "{" + cwd + R"("sessionId":")" + id + R"(","timestamp":")" + (start + second).iso8601() +
         "\"," + body + "}\n";
}
// `content` is JSON text: a string or an array of blocks.
std::string user(int second, const std::string& content, const std::string& more = "") {
  return line(second, R"("type":"user",)" + more + R"("message":{"content":)" + content + "}");
}
std::string assistant(int second, const std::string& stop, const std::string& tool = "Bash",
                      const std::string& id = sessionA) {
  return line(second, R"("type":"assistant","message":{"stop_reason":")" + stop +
                          R"(","content":[{"type":"tool_use","name":")" + tool + R"("}]})", id);
}
// A task in one line: session ID prefix, name, state, seconds after `start`,
// attention pending, project.
std::string summary(const std::optional<TaskStatus>& t) {
  if (!t) return "none";
  std::ostringstream out;
  out << t->id.substr(0, 15) << "|" << t->name << "|" << rawValue(t->state) << "|"
      << (t->updatedAt - start) << "|" << t->confirmedAttentionPending.value_or(false) << "|"
      << t->projectName.value_or("-");
  return out.str();
}
std::string parse(const std::string& data, std::string_view id = "", std::string_view name = "") {
  return summary(ClaudeSessionReader::parse(data, id, name));
}

TEST(ClaudeSessionReader, ParsesATranscript) {
  std::string data =
      user(0, R"("Caveat: the messages below were generated.")", R"("isMeta":true,)") +
      user(1, R"("Sidechain prompt")", R"("isSidechain":true,)") +
      user(2, R"("[Request interrupted by user]")") +
      user(3, R"([{"type":"text","text":"  Fix the\n\tflaky "},{"type":"image"},)"
              R"({"type":"text","text":"build  "}])") +
      "{\"type\":\"user\",\"sessionId\":\"" + sessionB + "\", broken\n[1,2]\n\n42\n" +
      assistant(7, "end_turn") + line(8, R"("type":"custom-title","customTitle":"   ")");
  const std::string a = "claude-6f1c1a52|Fix the flaky build|";
  EXPECT_EQ(parse(data, "ignored", "Fallback"), a + "done|7|0|lantrel");
  // The last custom title wins even after the prompt, cut to 160 characters.
  EXPECT_EQ(parse(data + line(9, R"("type":"custom-title","customTitle":"Old")") +
                  line(9, R"("type":"custom-title","customTitle":" )" + std::string(200, 't') +
                              "\"")),
            "claude-6f1c1a52| " + std::string(159, 't') + "|done|7|0|lantrel");
  // A question to the user waits; a later dequeue resumes work; a line with a
  // bad time or an earlier time never moves the clock back.
  data += assistant(10, "tool_use", "AskUserQuestion");
  EXPECT_EQ(parse(data), a + "waiting|10|1|lantrel");
  data += line(11, R"("type":"queue-operation","operation":"enqueue")") +
          R"({"type":"user","timestamp":"yesterday","message":{"content":"Go on"}})" "\n";
  EXPECT_EQ(parse(data), a + "waiting|10|1|lantrel");
  EXPECT_EQ(parse(data + line(9, R"("type":"queue-operation","operation":"dequeue")")),
            a + "working|10|0|lantrel");
  // No session ID in the lines: the fallback ID and name; none without one.
  std::string noID = R"({"type":"user","timestamp":"2026-12-01T10:00:00.250Z",)"
                     R"("message":{"content":"<local-command-stdout>"}})" "\n";
  EXPECT_EQ(parse(noID, sessionB, "Claude task 7a2d2b63"),
            "claude-7a2d2b63|Claude task 7a2d2b63|working|0.25|0|-");
  EXPECT_EQ(parse(noID, "not-a-uuid", "x"), "none");
  // Lines that set no state give no task.
  EXPECT_EQ(parse(assistant(1, "max_tokens") + line(2, R"("type":"summary")")), "none");
}

class ClaudeReaderLoad : public ::testing::Test {
 protected:
  testing::TempDir home;
  Instant now = start + 3600;
  ClaudeHookStore hooks{home / "events"};

  void transcript(const std::string& relative, const std::string& data, double age) {
    testing::writeFile(home / "projects" / relative, data);
    testing::touch(home / "projects" / relative, (now - age).unixSeconds());
  }
  std::vector<TaskStatus> load(std::size_t limit = 30) {
    return ClaudeSessionReader::load(home.path(), hooks, now, home / "desktop", limit);
  }
  std::vector<std::string> summaries(std::size_t limit = 30) {
    std::vector<std::string> out;
    for (const auto& t : load(limit)) out.push_back(summary(t));
    return out;
  }
};

// The transcript of session `n`, finished at second `n`, and its task.
std::string finished(int n) { return assistant(n, "end_turn", "Bash", uuid(n)); }
std::string done(int n) {
  std::string id = uuid(n).substr(0, 8);
  return "claude-" + id + "|Claude task " + id + "|done|" + std::to_string(n) + "|0|lantrel";
}

TEST_F(ClaudeReaderLoad, PicksRecentTranscriptsNewestFirst) {
  EXPECT_TRUE(load().empty());  // no projects directory
  auto j = [](int n) { return uuid(n) + ".jsonl"; };
  // Session 2's older file under another name loses to the newer one. Not
  // read: too old, too far ahead, hidden, not a UUID, another extension, a
  // transcript with no state line, and a symbolic link.
  for (auto [file, n, age] : std::vector<std::tuple<std::string, int, double>>{
           {"-a/" + j(1), 1, 100}, {"-b/" + j(2), 2, 10}, {"-b/deep/er/" + j(3), 3, 86'399},
           {"-b/" + j(4), 4, -60}, {"-b/" + j(9), 2, 500}, {"a/" + j(5), 5, 86'400},
           {"a/" + j(6), 6, -61}, {".h/" + j(7), 7, 5}, {"a/agent-1.jsonl", 8, 5},
           {"a/" + uuid(8) + ".json", 8, 5}, {"a/" + j(10), 0, 5}})
    transcript(file, n ? finished(n) : line(1, R"("type":"summary")", uuid(10)), age);
  fs::create_symlink(home / "projects/-a" / j(1), home / "projects/a" / j(11));
  EXPECT_EQ(summaries(), (std::vector<std::string>{done(4), done(2), done(1), done(3)}));
  EXPECT_EQ(summaries(2), (std::vector<std::string>{done(4), done(2)}));
  EXPECT_TRUE(load(0).empty());
}

TEST_F(ClaudeReaderLoad, SkipsATranscriptRemovedAfterTheListing) {
  transcript("a/" + uuid(1) + ".jsonl", finished(1), 10);
  transcript("a/" + uuid(2) + ".jsonl", finished(2), 5);
  // The reader lists the transcripts, then the hook records, then reads the
  // transcripts: the newest goes while the hook directory is listed, so that
  // opening it fails with ENOENT, as when Claude Code deletes a session.
  fileToRemove = (home / "projects/a" / (uuid(2) + ".jsonl")).string();
  listingThatRemoves = hooks.directory.string();
  EXPECT_EQ(summaries(1), std::vector<std::string>{done(1)});
  EXPECT_FALSE(fs::exists(fileToRemove));
}

TEST_F(ClaudeReaderLoad, ReadsTheHeadAndTailOfLongTranscripts) {
  // 300 kB lines: the prompt lies in the head, the finish in the tail, and
  // the lines around both cut points are left out rather than misread.
  std::string data = user(0, R"("Port the parser to simdjson")");
  for (int i = 1; i <= 12; ++i)
    data += assistant(i, "tool_use", "Read") +
            user(i, R"([{"type":"tool_result","content":")" + std::string(300'000, 'r') + "\"}]");
  data += assistant(40, "end_turn");
  ASSERT_GT(data.size(), 3 * ClaudeSessionReader::transcriptReadBytes);
  // A last line still being written is not read.
  transcript("p/" + sessionA + ".jsonl", data + user(50, "\"half\"").substr(0, 40), 1);
  EXPECT_EQ(summaries(5), std::vector<std::string>{
                              "claude-6f1c1a52|Port the parser to simdjson|done|40|0|lantrel"});
}

TEST_F(ClaudeReaderLoad, HookRecordsAndDesktopSessionsCompleteTheTask) {
  auto hook = [&](const std::string& id, const std::string& name, Instant at,
                  const std::string& cwd = "/Users/ana/src/lantrel") {
    hooks.ingest(R"({"session_id":")" + id + R"(","hook_event_name":")" + name +
                     R"(","cwd":")" + cwd + R"(","transcript_path":"/t.jsonl"})", at);
  };
  // A: the transcript says working; a permission request as recent says waiting.
  transcript("p/" + sessionA + ".jsonl", user(0, "\"Deploy\"") + assistant(20, "tool_use"), 30);
  hook(sessionA, "PermissionRequest", start + 20);
  // B: finished at 20 without a cwd; the idle notice an hour later keeps 20
  // and lends its cwd for the project.
  std::string end = assistant(20, "end_turn", "Bash", sessionB);
  transcript("p/" + sessionB + ".jsonl", end.erase(1, cwd.size()), 60);
  hook(sessionB, "Stop", now, "/Users/ana/src/site/");
  // C: a hook record older than the transcript's last change is ignored.
  transcript("p/" + uuid(12) + ".jsonl", assistant(20, "tool_use", "Bash", uuid(12)), 90);
  hook(uuid(12), "StopFailure", start + 19);

  // Desktop sessions: A focused, B with a bad focus time (hidden names are
  // read like any other); none trusted for C (a desktop ID without "local_"
  // or a UUID, a CLI ID not a UUID).
  const std::string d = "local_0b7c6e58-2f3a-4d1e-9c8b-7a6f5e4d3c2b", c = uuid(12);
  for (auto [file, cli, id, focus] : std::vector<std::array<std::string, 4>>{
           {".b/session.json", sessionA, d, "1796000000123"},
           {"b/.other.json", sessionB, d, "\"x\""},
           {"prefix.json", c, sessionB, "5"}, {"id.json", c, "local_" + sessionB.substr(1), "5"},
           {"cli.json", "abc", d, "5"}})
    testing::writeFile(home / "desktop" / file, R"({"cliSessionId":")" + cli +
                                                    R"(","sessionId":")" + id +
                                                    R"(","lastFocusedAt":)" + focus + "}");
  EXPECT_EQ(ClaudeDesktopSessionIndex::load(home / "desktop"),
            (std::map<std::string, std::string>{{sessionA, d}, {sessionB, d}}));
  auto tasks = load();
  EXPECT_EQ(summaries(), (std::vector<std::string>{
                             "claude-6f1c1a52|Deploy|waiting|20|1|lantrel",
                             "claude-7a2d2b63|Claude task 7a2d2b63|done|20|0|site",
                             "claude-0000000c|Claude task 0000000c|working|20|0|lantrel"}));
  ASSERT_EQ(tasks.size(), 3u);
  EXPECT_EQ(tasks[0].providerSessionLastFocusedAt, Instant::fromUnix(1'796'000'000.123));
  EXPECT_TRUE(tasks[0].providerSessionID == d && tasks[1].providerSessionID == d);
  EXPECT_FALSE(tasks[1].providerSessionLastFocusedAt || tasks[2].providerSessionID);
  // A broken hook record file means no records, not an error.
  testing::writeFile(hooks.directory / "broken.json", "{");
  EXPECT_EQ(load(1)[0].state, LightState::working);
}

TEST(ClaudeFocusedCompletion, OnlyTheLastFocusedTaskCounts) {
  std::vector<TaskStatus> tasks;
  for (int focus : {0, 10, 20, 20, 30}) {
    tasks.emplace_back("claude-" + uuid(int(tasks.size())), "t", LightState::done, start,
                       std::string(claudeSource));
    if (focus) tasks.back().providerSessionLastFocusedAt = start + focus;
  }
  tasks.back().orcaSession = OrcaSessionReference{"claude", uuid(4), "t", "l", "w", start, {}};
  TaskReadState read;
  EXPECT_EQ(ClaudeFocusedCompletion::unreadCandidate(tasks, read, start + 100), tasks[2]);
  read.claude.markRead(tasks[2], start);
  EXPECT_FALSE(ClaudeFocusedCompletion::unreadCandidate(tasks, read, start + 100));
  EXPECT_FALSE(ClaudeFocusedCompletion::unreadCandidate({tasks[0]}, {}, start));
}

}  // namespace
}  // namespace lantrel
