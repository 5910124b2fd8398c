#include "lantrel/session_reader.hpp"

#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <cstdarg>
#include <sstream>

#include "codex_fixtures.hpp"
#include "support/text.hpp"

// Every open(2) of this test program passes here, so that a test can remove
// a file after the reader listed it and just before it opens it: the open
// then fails as for a file that vanished in between, without any timing.
extern "C" int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  if (auto* hook = lantrel::testing::codex::openHook) {
    if (hook->vanishing == path) ::unlink(path);
    hook->opened.push_back(path);
  }
  return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

namespace lantrel {
namespace {

using namespace testing::codex;
namespace fs = std::filesystem;

const std::string thread = "0199a3f2-5b1c-7d2e-8f90-123456789abc", upper = "0199A3F2-0000-4000-8000-00000000000A";

// "state flag updated boundary": the flag 1, 0 or -; the instants in seconds after base, or -.
std::string summary(const TaskStatus& task) {
  std::ostringstream out;
  auto flag = task.confirmedAttentionPending;
  out << rawValue(task.state) << (flag ? (*flag ? " 1" : " 0") : " -");
  for (auto at : {std::optional(task.updatedAt), task.lastTurnBoundaryAt})
    (at && *at != Instant::distantPast() ? out << " " << *at - base : out << " -");
  return out.str();
}

TEST(TranscriptStateTest, StateOfTheLines) {
  std::string s = event(1, "task_started"), wait = "waiting 1 2 1", work = "working 0 2 1", at = R"({"timestamp":")";
  auto tool = [&](std::string_view name, std::string_view input) { return s + toolCall(2, name, "c1", input); };
  auto item = [](double at, json item) { return event(at, "item_completed", {{"item", std::move(item)}}); };
  auto done = [&](json message) { return s + event(2, "task_complete", {{"last_agent_message", message}}); };
  std::string ask = s + toolCall(2, "functions.request_user_input", "c1", "", "function_call");
  std::string async = s + toolCall(2, "request_user_input_async", "a1") + toolCall(3, "request_user_input_async", "a2") +
                      toolOutput(4, "a1") + toolOutput(5, "a2") + event(7, "task_complete");
  std::string nest = s + toolCall(2, "exec", "n", "tools.mcp__codex_apps__google_calendar_create_event()") + toolOutput(3, "n");
  json calendar = {{"type", "McpToolCall"}, {"server", "codex_apps"}, {"tool", "google_calendar.create_event"}}, other = calendar;
  std::string both = nest + toolCall(4, "request_user_input", "q1") + item(5, calendar);
  std::string plan = s + item(2, {{"type", "Plan"}}), asked = s + toolCall(2, "request_user_input", "c1");
  std::string escalated = "sandbox_permissions: 'require_escalated'";
  // Malformed lines are skipped: bytes that are no JSON, a payload that is no object, a timestamp that is
  // no text, fields of other types, nesting too deep for the parser and a line cut short.
  std::string hostile = std::string("\x00\xff\xfe\n", 4) + at + iso(20) + R"(","type":"event_msg","payload":{"type":"task_)" +
      "failed\",\"note\":\"\xff\"}}\n" + line(iso(3), "event_msg", "task_failed") + R"({"timestamp":12,"type":"event_msg",)" +
      R"("payload":{"type":"task_failed"}})" "\n" + response(5, "function_call", {{"name", 5}, {"call_id", 6}}) + at +
      iso(21) + R"(","type":"event_msg","payload":)" + std::string(5000, '[') + std::string(5000, ']') + "}\n[1]\n\n" +
      toolCall(8, "request_user_input", std::string(3'000'000, 'y')) + at + iso(22) + R"(","type":"event_msg","payload":{)";
  other["tool"] = "other";
  const std::pair<std::string, std::string> cases[] = {
      // An output for another call or without a call ID answers nothing, and a
      // request without a call ID waits under a key that no output carries.
      {ask, wait}, {ask + toolOutput(3, "c1", "function_call_output"), "working 0 3 1"},
      {ask + toolOutput(3, "c2") + response(4, "function_call_output"), "waiting 1 4 1"},
      {response(1, "function_call", {{"name", "request_permissions"}}) + toolOutput(2, "uncorrelated-not"), "waiting 1 2 -"},
      {tool("exec", "{'sandbox_permissions': 'require_escalated'}"), wait}, {tool("functions.exec", "(" + escalated + ")"), wait},
      {tool("exec", R"({"sandbox_permissions" :  "require_escalated"})"), wait}, {tool("shell", escalated), work},
      {tool("exec", "sandbox_permissions: 'none'; \"sandbox_permissions\":\t'require_escalated'"), wait},
      {tool("exec", "{\"sandbox_permissions\"\u00A0:\u3000\"require_escalated\"}"), wait},  // Unicode spaces
      {tool("exec", "sandbox_permissions: require_escalated"), work},
      {tool("apply_patch", "*** Begin Patch\n*** Delete File: a\n*** End Patch"), wait},
      {tool("apply_patch", "*** Begin Patch\n*** Add File: a\n+x\n*** End Patch"), work},
      {tool("exec", "*** Delete File: a"), work}, {tool("exec", "tools.apply_patch('*** Delete File: a')"), wait},
      {tool("write", "tools.apply_patch('*** Delete File: a')"), work}, {tool("mcp.request_plugin_install", ""), wait},
      {tool("request_user_input.", ""), work},  // a trailing dot names no tool
      // Async questions share one key that only the next turn clears; a nested
      // approval clears only on its own completed item.
      {async, "waiting 1 7 7"}, {async + event(8, "task_started"), "working 0 8 8"}, {nest, "waiting 1 3 1"},
      {nest + item(4, other), "waiting 1 4 1"}, {nest + item(4, calendar), "working 0 4 1"}, {both, "waiting 1 5 1"},
      {both + toolOutput(6, "q1"), "working 0 6 1"}, {done(7), "done 0 2 2"}, {plan, wait},
      {done("\n\n  <proposed_plan>\n1. Do it\n</proposed_plan>\n \n"), "waiting 1 2 2"},
      {done("Here: <proposed_plan>x</proposed_plan> done."), "done 0 2 2"}, {plan + event(3, "task_complete"), "waiting 1 3 3"},
      {asked + event(3, "turn_aborted"), "done 0 3 3"}, {asked + event(3, "task_failed"), "failed 0 3 3"},
      {asked + event(3, "task_failed") + event(4, "task_complete"), "done 0 4 4"}, {"", "unknown - - -"},
      {response(1, "reasoning") + toolCall(2, "exec", "c1", "ls"), "working - 2 -"},
      {event(1, "token_count") + userMessage(2, "hi") + response(3, "message"), "unknown - 3 -"},
      {response(9, "reasoning") + response(4, "reasoning"), "working - 9 -"},
      {s + line("2025-10-01 12:00:05", "event_msg", {{"type", "task_complete"}}), "working 0 1 1"},
      {line("2025-10-01T12:00:05Z", "event_msg", {{"type", "task_started"}}), "working 0 5 5"},
      {line("2025-10-01T14:00:06.500+02:00", "event_msg", {{"type", "task_started"}}), "working 0 6.5 6.5"},
      {s + hostile, "waiting 1 8 1"}};
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(summary(SessionReader::parse(cases[i].first, "codex-x", "Task")), cases[i].second) << i;
  TaskStatus task = SessionReader::parse(ask, "codex-" + thread, "\xc3\x28" + std::string(200, 'n'));
  EXPECT_EQ(std::tie(task.id, task.source), std::make_tuple("codex-" + thread, std::string(codexSource)));
  EXPECT_EQ(task.name, "\xEF\xBF\xBD(" + std::string(158, 'n'));  // repaired, then cut to 160 characters
}

TEST(SessionReaderTest, SessionIDAndConversationNameOfTheHead) {
  testing::TempDir dir;
  auto message = [](json kinds, json content) {
    return response(1, "message", {{"role", "user"}, {"content", std::move(content)},
                                   {"internal_chat_message_metadata_passthrough", {{"content_item_kinds", kinds}}}});
  };
  json text = {{"type", "input_text"}, {"text", "tidy up"}}, context = {{"type", "input_text"}, {"text", "<env>"}};
  std::string meta = sessionMeta(thread), ignored = userMessage(2, "no");
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {meta + userMessage(1, "  fix   the\nbuild  ") + ignored, thread, "fix the build"},
      {"\n\n" + meta + userMessage(1, " \n ") + userMessage(2, "second"), thread, "second"},
      {sessionMeta(upper) + userMessage(1, std::string(200, 'w')), upper, std::string(160, 'w')},
      {sessionMeta("not-a-uuid") + message({"user.text", "user.image", "context", "user.text"},
                                           {text, {{"type", "input_image"}}, context, text}) + ignored, "", "tidy up tidy up"},
      // Kinds and content of different lengths: that line gives no name.
      {event(1, "task_started") + meta + message({"user.text", "user.text"}, {text, text, text}) + ignored, "", "no"},
      {line(iso(0), "session_meta", {{"id", 17}}) + message({"user.text", 3}, {text, text}), "", ""}, {"", "", ""},
      // An escaped lone surrogate never yields invalid UTF-8 (here, no name).
      {line(iso(0), "session_meta", {{"id", thread}, {"instructions", std::string(70000, 'i')}}) + R"({"timestamp":")" +
           iso(1) + R"(","type":"event_msg","payload":{"type":"user_message","message":"a\ud800b"}})" "\n", "", ""}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    testing::writeFile(dir / "t", std::get<0>(cases[i]));
    EXPECT_EQ(SessionReader::sessionID(dir / "t").value_or(""), std::get<1>(cases[i])) << i;
    EXPECT_EQ(SessionReader::conversationName(dir / "t").value_or(""), std::get<2>(cases[i])) << i;
  }
  EXPECT_THROW(SessionReader::sessionID(dir / "missing"), fs::filesystem_error);
  EXPECT_EQ(SessionReader::conversationName(dir / "missing"), std::nullopt);
}

TEST(SessionReaderLoad, RecentTranscriptsNewestFirstOnePerSession) {
  CodexHome home;
  Instant now = base + 3600;
  auto uuid = [](int n) { return "0199a3f2-0000-4000-8000-00000000000" + std::to_string(n); };
  auto load = [&](std::int64_t limit) {
    std::vector<std::string> out;
    for (const auto& task : SessionReader::load(home.path(), now, limit))
      out.push_back(task.id + " " + std::string(rawValue(task.state)) + " " + task.name + "|" +
                    task.projectName.value_or("-") + (task.isScheduled ? *task.isScheduled ? "|1" : "|0" : "|-"));
    return out;
  };
  std::string done = event(1, "task_started") + event(2, "task_complete"), lower = text::lowercased(upper);
  for (auto [id, name] : {std::pair{uuid(1), "Old name"}, {uuid(1), " \tFix login\n"}, {uuid(2), "   "}})
    home.addThreadName(id, name);
  testing::writeFile(home / "session_index.jsonl", home.index + "{\"id\":3}\n[1]\n{}\nnot json\n");
  home.writeGlobalState({{uuid(1), "Lantrel"}, {lower, "Other"}});
  testing::writeFile(home / "automations/a/automation.toml", "target_thread_id = \"" + lower + "\"");
  EXPECT_TRUE(load(30).empty());  // no "sessions"

  const std::tuple<std::string, std::string, std::string, double> files[] = {
      {"a.jsonl", uuid(1), done, 50}, {"b.jsonl", uuid(9), done, 86400}, {"c.jsonl", uuid(3), done, -3600},
      {"d.jsonl", uuid(1), userMessage(1, "ignored") + event(2, "task_started"), 10},
      {"e.jsonl", uuid(2), userMessage(1, "  fix   the\nbuild  "), 15}, {"f.JSONL", uuid(4), done, 0},
      {".g/g.jsonl", uuid(5), done, 0}, {".h.jsonl", uuid(5), done, 0}, {"i.jsonl", "not-a-uuid", done, 0},
      {"j.jsonl", upper, done, 20}, {"k.jsonl/k.jsonl", uuid(6), done, 30}, {"l.jsonl", uuid(7), done, 86399}};
  for (const auto& [file, id, lines, age] : files) home.addTranscript("s/" + file, id, lines, now.unixSeconds() - age);
  fs::path s = home / "sessions/s";
  fs::create_symlink(s / "d.jsonl", home / "sessions/link.jsonl");
  OpenHook hook;  // removed by Codex after the listing, it is passed over
  hook.vanishing = home.addTranscript("s/v.jsonl", uuid(8), done, now.unixSeconds() - 5);
  std::vector<std::string> all = {
      "codex-" + uuid(3) + " done Codex task 0199a3f2|-|0", "codex-" + uuid(1) + " working Fix login|Lantrel|0",
      "codex-" + uuid(2) + " unknown fix the build|-|0",
      "codex-" + upper + " done Codex task 0199A3F2|-|1",  // project keys are exact
      "codex-" + uuid(6) + " done Codex task 0199a3f2|-|0", "codex-" + uuid(7) + " done Codex task 0199a3f2|-|0"};
  EXPECT_EQ(load(30), all);
  EXPECT_FALSE(fs::exists(hook.vanishing));

  // Transcripts beyond the limit are not even opened.
  hook.opened.clear();
  EXPECT_EQ(load(2), std::vector(all.begin(), all.begin() + 2));
  std::erase_if(hook.opened, [&](const std::string& path) { return !path.starts_with(s.string()); });
  EXPECT_EQ(std::set(hook.opened.begin(), hook.opened.end()), (std::set<std::string>{s / "c.jsonl", s / "d.jsonl", s / "i.jsonl"}));
  for (int limit : {0, -1}) EXPECT_TRUE(load(limit).empty());

  // Unusable auxiliary files cost names and projects, never the tasks.
  testing::writeFile(home / ".codex-global-state.json", "{");
  fs::remove(home / "session_index.jsonl");
  fs::create_directory(home / "session_index.jsonl");
  EXPECT_EQ(load(2), (std::vector<std::string>{all[0], "codex-" + uuid(1) + " working ignored|-|0"}));
}

}  // namespace
}  // namespace lantrel
