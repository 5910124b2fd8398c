#include "lantrel/session_reader.hpp"

#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <cstdarg>
#include <sstream>

#include "codex_fixtures.hpp"

// Every file a reader opens passes here (the library opens files with openat(2)), so that a
// file can vanish after a reader listed it and before it opens it (see testing::vanishing).
extern "C" int openat(int directory, const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  const std::string& gone = lantrel::testing::vanishing;
  if (!gone.empty() && (gone == path || gone.ends_with("/" + std::string(path))))
    ::unlinkat(directory, path, 0);
  return static_cast<int>(::syscall(SYS_openat, directory, path, flags, mode));
}

namespace lantrel {
namespace {

using namespace testing::codex;
namespace fs = std::filesystem;

// "state flag updated boundary": the flag 1, 0 or -; the instants in seconds after base, or -.
string summary(const TaskStatus& task) {
  std::ostringstream out;
  auto flag = task.confirmedAttentionPending;
  out << rawValue(task.state) << (flag ? (*flag ? " 1" : " 0") : " -");
  for (auto at : {std::optional(task.updatedAt), task.lastTurnBoundaryAt})
    (at && *at != Instant::distantPast() ? out << " " << *at - base : out << " -");
  return out.str();
}

TEST(TranscriptStateTest, StateOfTheLines) {
  string s = event(1, "task_started"), wait = "waiting 1 2 1", work = "working 0 2 1";
  auto tool = [&](string name, string input) { return s + toolCall(2, name, "c", input); };
  auto done = [&](json m) { return s + event(2, "task_complete", {{"last_agent_message", m}}); };
  string ask = s + toolCall(2, "functions.request_user_input", "c", "", "function_call");
  // Skipped: no JSON, a payload of the wrong type, nesting too deep, a line cut short.
  string bad = "\xff\n" + line(iso(3), "event_msg", "failed") + string(5000, '[') +
               string(5000, ']') + "\n" + event(5, "task_failed").substr(9);
  const std::pair<string, string> cases[] = {
      {ask, wait}, {ask + toolOutput(3, "c", "function_call_output"), "working 0 3 1"},
      {ask + toolOutput(3, "c2"), "waiting 1 3 1"}, {ask + bad, wait}, {"", "unknown - - -"},
      {tool("exec", R"({"sandbox_permissions" :  "require_escalated"})"), wait},
      {tool("exec", "{'sandbox_permissions': 'use_default'}"), work},
      {tool("apply_patch", "*** Begin Patch\n*** Delete File: a\n*** End Patch"), wait},
      {done(7), "done 0 2 2"}, {done("\n<proposed_plan>\n1.\n</proposed_plan>\n"), "waiting 1 2 2"},
      {ask + event(3, "turn_aborted"), "done 0 3 3"}, {s + event(3, "task_failed"), "failed 0 3 3"},
      {response(1, "reasoning") + toolCall(2, "exec", "c"), "working - 2 -"}};
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(summary(SessionReader::parse(cases[i].first, "codex-x", "T")), cases[i].second) << i;
}

// The newest transcript of each session changed in the last day, named by the thread index, by
// its first message or by its ID; scheduled when an automation targets it.
TEST(SessionReaderLoad, RecentTranscriptsNewestFirstOnePerSession) {
  CodexHome home;
  Instant now = base + 3600;
  auto load = [&](std::int64_t limit, std::vector<string> out = {}) {
    for (const auto& t : SessionReader::load(home.path(), now, limit))
      out.push_back(t.id.back() + (" " + t.name) + (t.isScheduled.value_or(false) ? "|1" : ""));
    return out;
  };
  string id = "0199a3f2-0000-4000-8000-00000000000", done = event(1, "task_complete");
  home.addThreadName(id + "1", " \tFix login\n");
  testing::writeFile(home / "automations/a/automation.toml", "target_thread_id = \"" + id + "a\"");
  const std::tuple<string, string, string, double> files[] = {
      {"a", "1", done, 50}, {"b", "9", done, 86400}, {"c", "3", done, -9}, {".g/g", "5", done, 0},
      {"d", "1", done, 10}, {"e", "2", userMessage(1, "fix"), 15}, {"j", "A", done, 20},
      {"l", "7", done, 86399}, {"m", "x-", done, 0}};
  for (const auto& [file, n, lines, age] : files)
    home.addTranscript("s/" + file + ".jsonl", id + n, lines, now.unixSeconds() - age);
  // removed by Codex after the listing, it is passed over
  testing::vanishing = home.addTranscript("s/v.jsonl", id + "8", done, now.unixSeconds() - 5);
  std::vector<string> all = {"3 Codex task 0199a3f2", "1 Fix login", "2 fix",
                             "A Codex task 0199a3f2|1", "7 Codex task 0199a3f2"};
  EXPECT_EQ(load(30), all);
  EXPECT_FALSE(fs::exists(testing::vanishing));
  testing::vanishing.clear();
  EXPECT_EQ(load(2), std::vector(all.begin(), all.begin() + 2));
}

// Transcripts named after their sessions: only index lines that may name one are parsed, and
// those are read exactly as the rest (white space, escapes, the last line wins, bad lines skipped).
TEST(SessionReaderLoad, ThreadNamesOfTranscriptsNamedAfterTheirSessions) {
  CodexHome home;
  Instant now = base + 3600;
  string id = "0199a3f2-0000-4000-8000-000000000001", other = id.substr(0, 35) + "2";
  for (const string& session : {id, other})
    home.addTranscript("2025/rollout-2025-10-01T12-00-00-" + session + ".jsonl", session,
                       event(1, "task_complete"), now.unixSeconds() - 5 - (session == other));
  testing::writeFile(home / "session_index.jsonl",
                     R"({"id":")" + id + R"(","thread_name":"First"})" "\n" R"({ "id" :  ")" + id +
                         R"(" , "thread_name" : "Spaced" })" "\n" R"({"thread_name":"Bad","id":")" + id +
                         R"(",})" "\n" R"({"thread_name":"Escaped","id":")" + id.substr(0, 35) +
                         R"(\u0032"})" "\n" R"({"id":"x","thread_name":"\"id\":\")" + other + R"(\""})");
  std::vector<string> names;
  for (const auto& t : SessionReader::load(home.path(), now, 30)) names.push_back(t.name);
  EXPECT_EQ(names, (std::vector<string>{"Spaced", "Escaped"}));
}

}  // namespace
}  // namespace lantrel
