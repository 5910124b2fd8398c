#include "lantrel/claude_session_reader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "lantrel/claude_focused_completion.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using nlohmann::json;
using testing::TempDir;
using testing::touch;
using testing::writeFile;

const std::string sessionA = "6f1c1a52-0d6b-4f4e-9a57-2b1f0c9d8e01";
const std::string sessionB = "7a2d2b63-1e7c-4a5f-8b68-3c2a1dae9f12";
const Instant start = *Instant::parseISO8601("2026-12-01T10:00:00Z");

std::string at(int second) { return (start + second).iso8601(); }

// A transcript line as Claude Code writes it.
json line(const std::string& type, int second, json extra = json::object(),
          const std::string& session = sessionA) {
  json j = {{"parentUuid", nullptr}, {"isSidechain", false}, {"userType", "external"},
            {"cwd", "/Users/ana/src/lantrel"}, {"sessionId", session}, {"version", "2.0.14"},
            {"type", type}, {"timestamp", at(second)}};
  j.update(extra);
  return j;
}
json user(int second, json content, json extra = json::object()) {
  extra["message"] = {{"role", "user"}, {"content", content}};
  return line("user", second, extra);
}
json assistant(int second, const std::string& stop, json content = json::array()) {
  content.push_back({{"type", "text"}, {"text", "Working on it."}});
  return line("assistant", second,
              {{"message", {{"role", "assistant"}, {"stop_reason", stop}, {"content", content}}}});
}
json toolUse(const std::string& name) {
  return {{"type", "tool_use"}, {"id", "toolu_01"}, {"name", name}, {"input", {{"x", 1}}}};
}
json toolResult(std::size_t bytes) {
  return json::array({{{"type", "tool_result"}, {"tool_use_id", "toolu_01"},
                       {"content", std::string(bytes, 'r')}}});
}
std::string lines(const std::vector<json>& all) {
  std::string out;
  for (const json& j : all) out += j.dump() + "\n";
  return out;
}

TEST(ClaudeSessionReader, ParsesARealisticTranscript) {
  std::string data = lines({
      user(0, "<command-name>/clear</command-name>", {{"isMeta", true}}),
      user(1, "Sidechain prompt", {{"isSidechain", true}}),
      user(2, "[Request interrupted by user]"),
      user(3, json::array({{{"type", "text"}, {"text", "  Fix the\n\tflaky "}},
                           {{"type", "image"}, {"source", "..."}},
                           {{"type", "text"}, {"text", "build  "}}})),
      assistant(4, "tool_use", json::array({toolUse("Bash")})),
      user(5, toolResult(300'000)),
  });
  data += "{\"type\":\"user\",\"sessionId\":\"" + sessionB + "\", broken\n";
  data += "[1,2]\n\n42\n";
  data += lines({line("assistant", 6, {{"sessionId", 7}, {"message", "not an object"}})});
  // Invalid UTF-8 spoils the whole line, the session ID with it.
  data += "{\"type\":\"queue-operation\",\"operation\":\"dequeue\",\"sessionId\":\"" + sessionB +
          "\",\"timestamp\":\"" + at(50) + "\",\"note\":\"\xC3\x28\"}\n";
  data += lines({assistant(7, "end_turn"), line("custom-title", 8, {{"customTitle", "   "}})});

  auto task = ClaudeSessionReader::parse(data, "ignored", "Fallback");
  ASSERT_TRUE(task);
  EXPECT_EQ(task->id, "claude-" + sessionA);
  EXPECT_EQ(task->name, "Fix the flaky build");
  EXPECT_EQ(task->state, LightState::done);
  EXPECT_EQ(task->updatedAt, start + 7);
  EXPECT_EQ(task->source, claudeSource);
  EXPECT_EQ(task->projectName, "lantrel");
  EXPECT_EQ(task->confirmedAttentionPending, false);
  EXPECT_FALSE(task->lastTurnBoundaryAt || task->providerSessionID || task->isScheduled);

  // A custom title wins even after the prompt, cut to 160 characters; the
  // last one counts.
  std::string titled = data + lines({line("custom-title", 9, {{"customTitle", "Old"}}),
                                     line("custom-title", 9,
                                          {{"customTitle", " " + std::string(200, 't')}})});
  EXPECT_EQ(ClaudeSessionReader::parse(titled, "", "")->name, " " + std::string(159, 't'));

  // A question to the user waits; a later dequeue resumes work; a line with a
  // bad time or an earlier time never moves the clock back.
  std::string asking = data + lines({assistant(10, "tool_use", json::array({toolUse("AskUserQuestion")}))});
  task = ClaudeSessionReader::parse(asking, "", "");
  EXPECT_EQ(task->state, LightState::waiting);
  EXPECT_EQ(task->confirmedAttentionPending, true);
  std::string resumed = asking + lines({line("queue-operation", 11, {{"operation", "enqueue"}}),
                                        line("queue-operation", 9, {{"operation", "dequeue"}}),
                                        user(12, "ignored", {{"timestamp", "yesterday"}})});
  task = ClaudeSessionReader::parse(resumed, "", "");
  EXPECT_EQ(task->state, LightState::working);
  EXPECT_EQ(task->confirmedAttentionPending, false);
  EXPECT_EQ(task->updatedAt, start + 10);
}

TEST(ClaudeSessionReader, ParseFallbacksAndRefusals) {
  // No session ID in the lines: the fallback ID and name.
  std::string noID = "{\"type\":\"user\",\"timestamp\":\"2026-12-01T10:00:00.250Z\","
                     "\"message\":{\"content\":\"<local-command-stdout>\"}}\n";
  auto task = ClaudeSessionReader::parse(noID, sessionB, "Claude task 7a2d2b63");
  ASSERT_TRUE(task);
  EXPECT_EQ(task->id, "claude-" + sessionB);
  EXPECT_EQ(task->name, "Claude task 7a2d2b63");
  EXPECT_EQ(task->updatedAt, start + 0.25);
  EXPECT_FALSE(task->projectName);
  EXPECT_FALSE(ClaudeSessionReader::parse(noID, "not-a-uuid", "x"));
  // Lines that set no state give no task.
  EXPECT_FALSE(ClaudeSessionReader::parse(
      lines({assistant(1, "max_tokens"), line("summary", 2), line("custom-title", 3)}), "", ""));
}

class ClaudeReaderLoad : public ::testing::Test {
 protected:
  TempDir home;
  Instant now = start + 3600;
  ClaudeHookStore hooks{home / "events"};

  std::filesystem::path transcript(const std::string& relative, const std::string& data,
                                   double age) {
    auto path = home / "projects" / relative;
    writeFile(path, data);
    touch(path, (now - age).unixSeconds());
    return path;
  }
  std::vector<std::string> ids(std::size_t limit = 30) {
    std::vector<std::string> out;
    for (const auto& t : ClaudeSessionReader::load(home.path(), hooks, now, home / "desktop", limit))
      out.push_back(t.id.substr(7, 8) + "@" + std::to_string(static_cast<int>(t.updatedAt - start)));
    return out;
  }
};

std::string uuid(int n) {
  char buffer[37];
  std::snprintf(buffer, sizeof buffer, "%08x-0000-4000-8000-000000000000", n);
  return buffer;
}
// A transcript of session `n` that finished at second `n`.
std::string finished(int n) {
  json end = assistant(n, "end_turn");
  end["sessionId"] = uuid(n);
  return lines({end});
}

TEST_F(ClaudeReaderLoad, PicksRecentTranscriptsNewestFirst) {
  EXPECT_TRUE(ids().empty());  // no projects directory
  transcript("-Users-ana-a/" + uuid(1) + ".jsonl", finished(1), 100);
  transcript("-Users-ana-b/" + uuid(2) + ".jsonl", finished(2), 10);
  transcript("-Users-ana-b/deep/er/" + uuid(3) + ".jsonl", finished(3), 86'399);
  transcript("-Users-ana-b/" + uuid(4) + ".jsonl", finished(4), -60);
  // An older file of session 2 under another name loses to the newer one.
  transcript("-Users-ana-b/" + uuid(9) + ".jsonl", finished(2), 500);
  // Not read: too old, too far ahead, hidden, not a UUID, wrong extension,
  // a symbolic link, a transcript with no state line.
  transcript("a/" + uuid(5) + ".jsonl", finished(5), 86'400);
  transcript("a/" + uuid(6) + ".jsonl", finished(6), -61);
  transcript(".hidden/" + uuid(7) + ".jsonl", finished(7), 5);
  transcript("a/agent-1.jsonl", finished(8), 5);
  transcript("a/" + uuid(8) + ".json", finished(8), 5);
  transcript("a/" + uuid(10) + ".jsonl", lines({line("summary", 1)}), 5);
  std::filesystem::create_symlink(home / "projects/-Users-ana-a" / (uuid(1) + ".jsonl"),
                                  home / "projects/a" / (uuid(11) + ".jsonl"));

  EXPECT_EQ(ids(), (std::vector<std::string>{"00000004@4", "00000002@2", "00000001@1",
                                             "00000003@3"}));
  EXPECT_EQ(ids(2), (std::vector<std::string>{"00000004@4", "00000002@2"}));
  EXPECT_TRUE(ids(0).empty());

  if (::geteuid() != 0) {  // root reads whatever the mode says
    std::filesystem::permissions(home / "projects/-Users-ana-a" / (uuid(1) + ".jsonl"),
                                 std::filesystem::perms::none);
    EXPECT_THROW(ids(), std::filesystem::filesystem_error);
  }
}

TEST_F(ClaudeReaderLoad, ReadsTheHeadAndTailOfLongTranscripts) {
  // 300 kB lines: the prompt lies in the head, the finish in the tail, and
  // the lines around both cut points are left out rather than misread.
  std::vector<json> all = {user(0, "Port the parser to simdjson")};
  for (int i = 1; i <= 12; ++i) {
    all.push_back(assistant(i, "tool_use", json::array({toolUse("Read")})));
    all.push_back(user(i, toolResult(300'000)));
  }
  all.push_back(assistant(40, "end_turn"));
  std::string data = lines(all);
  ASSERT_GT(data.size(), 3 * ClaudeSessionReader::transcriptReadBytes);
  // A last line still being written is not read.
  transcript("p/" + sessionA + ".jsonl", data + user(50, "half").dump().substr(0, 40), 1);
  auto tasks = ClaudeSessionReader::load(home.path(), hooks, now, home / "desktop", 5);
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].name, "Port the parser to simdjson");
  EXPECT_EQ(tasks[0].state, LightState::done);
  EXPECT_EQ(tasks[0].updatedAt, start + 40);
}

std::string hookEvent(const std::string& session, const std::string& name,
                      const std::string& cwd = "/Users/ana/src/lantrel") {
  return json{{"session_id", session}, {"hook_event_name", name}, {"cwd", cwd},
              {"transcript_path", "/Users/ana/.claude/projects/x/" + session + ".jsonl"}}
      .dump();
}

TEST_F(ClaudeReaderLoad, HookRecordsAndDesktopSessionsCompleteTheTask) {
  // A: the transcript says working; a permission request since says waiting.
  transcript("p/" + sessionA + ".jsonl",
             lines({user(0, "Deploy"), assistant(20, "tool_use", json::array({toolUse("Bash")}))}),
             30);
  hooks.ingest(hookEvent(sessionA, "PermissionRequest"), start + 25);
  // B: finished at 20 without a cwd; the idle notice an hour later keeps 20
  // and lends its cwd for the project.
  json end = assistant(20, "end_turn");
  end["sessionId"] = sessionB;
  end.erase("cwd");
  transcript("p/" + sessionB + ".jsonl", lines({end}), 60);
  hooks.ingest(hookEvent(sessionB, "Stop", "/Users/ana/src/site/"), now);
  // C: a hook record older than the transcript's last change is ignored.
  std::string sessionC = uuid(12);
  json working = assistant(20, "tool_use");
  working["sessionId"] = sessionC;
  transcript("p/" + sessionC + ".jsonl", lines({working}), 90);
  hooks.ingest(hookEvent(sessionC, "StopFailure"), start + 19);

  std::string desktopID = "local_0b7c6e58-2f3a-4d1e-9c8b-7a6f5e4d3c2b";
  writeFile(home / "desktop/a/old.json", json{{"cliSessionId", sessionA},
                                               {"sessionId", "local_stale"}}.dump());
  writeFile(home / "desktop/b/session.json",
            json{{"cliSessionId", sessionA}, {"sessionId", desktopID},
                 {"lastFocusedAt", 1'796'000'000'123LL}}.dump());
  writeFile(home / "desktop/b/other.json",
            json{{"cliSessionId", sessionB}, {"sessionId", desktopID},
                 {"lastFocusedAt", "yesterday"}}.dump());

  auto tasks = ClaudeSessionReader::load(home.path(), hooks, now, home / "desktop", 10);
  ASSERT_EQ(tasks.size(), 3u);
  TaskStatus a("claude-" + sessionA, "Deploy", LightState::waiting, start + 25,
               std::string(claudeSource));
  a.projectName = "lantrel";
  a.confirmedAttentionPending = true;
  a.providerSessionID = desktopID;
  a.providerSessionLastFocusedAt = Instant::fromUnix(1'796'000'000.123);
  EXPECT_EQ(tasks[0], a);
  EXPECT_EQ(tasks[1].id, "claude-" + sessionB);
  EXPECT_EQ(tasks[1].state, LightState::done);
  EXPECT_EQ(tasks[1].updatedAt, start + 20);
  EXPECT_EQ(tasks[1].projectName, "site");
  EXPECT_EQ(tasks[1].name, "Claude task 7a2d2b63");
  EXPECT_EQ(tasks[1].providerSessionID, desktopID);
  EXPECT_FALSE(tasks[1].providerSessionLastFocusedAt);
  EXPECT_EQ(tasks[2].state, LightState::working);
  EXPECT_FALSE(tasks[2].providerSessionID);

  // A broken hook record file means no records, not an error.
  writeFile(hooks.directory / "broken.json", "{");
  EXPECT_EQ(ClaudeSessionReader::load(home.path(), hooks, now, home / "desktop", 1)[0].state,
            LightState::working);
}

TEST(ClaudeDesktopSessionIndex, SkipsWhatItCannotTrust) {
  TempDir root;
  auto entry = [](const std::string& cli, const std::string& desktop) {
    return json{{"cliSessionId", cli}, {"sessionId", desktop}, {"lastFocusedAt", 5000}}.dump();
  };
  std::string good = "local_" + sessionB;
  writeFile(root / "x/ok.json", entry(sessionA, good));
  writeFile(root / "x/big.json", entry(uuid(1), good) +
                                     std::string(ClaudeDesktopSessionIndex::maximumFileBytes, ' '));
  writeFile(root / "x/bad-prefix.json", entry(uuid(2), sessionB));
  writeFile(root / "x/bad-cli.json", entry("abc", good));
  writeFile(root / "x/array.json", "[" + entry(uuid(3), good) + "]");
  writeFile(root / "x/ok.txt", entry(uuid(4), good));
  std::filesystem::create_symlink(root / "x/ok.json", root / "link.json");

  auto snapshot = ClaudeDesktopSessionIndex::snapshot(root.path());
  EXPECT_EQ(snapshot.sessionIDs, (std::map<std::string, std::string>{{sessionA, good}}));
  EXPECT_EQ(snapshot.lastFocusedAt, (std::map<std::string, Instant>{{sessionA, Instant::fromUnix(5)}}));
  EXPECT_EQ(ClaudeDesktopSessionIndex::load(root / "missing").size(), 0u);
}

TEST(ClaudeFocusedCompletion, OnlyTheLastFocusedTaskCounts) {
  auto task = [](const std::string& session, double focus) {
    TaskStatus t("claude-" + session, "t", LightState::done, start, std::string(claudeSource));
    t.providerSessionLastFocusedAt = start + focus;
    return t;
  };
  TaskReadState read;
  TaskStatus older = task(sessionA, 10), newer = task(sessionB, 20), tie = task(uuid(1), 20);
  TaskStatus inOrca = task(uuid(2), 30);
  inOrca.orcaSession = OrcaSessionReference{"claude", uuid(2), "t", "l", "w", start, {}};
  TaskStatus unfocused("claude-" + uuid(3), "t", LightState::done, start, std::string(claudeSource));
  std::vector<TaskStatus> tasks = {unfocused, older, newer, tie, inOrca};

  EXPECT_EQ(ClaudeFocusedCompletion::unreadCandidate(tasks, read, start + 100), newer);
  read.claude.markRead(newer, start);
  EXPECT_FALSE(ClaudeFocusedCompletion::unreadCandidate(tasks, read, start + 100));
  EXPECT_FALSE(ClaudeFocusedCompletion::unreadCandidate({unfocused}, {}, start));
}

}  // namespace
}  // namespace lantrel
