#include "lantrel/session_reader.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "codex_fixtures.hpp"
#include "support/text.hpp"

namespace lantrel {
namespace {

namespace fx = testing::codex;
using nlohmann::json;
using testing::TempDir;
using testing::readFile;
using testing::touch;
using testing::writeFile;
namespace fs = std::filesystem;

constexpr std::string_view threadID = "0199a3f2-5b1c-7d2e-8f90-123456789abc";

TaskStatus parse(const std::string& lines) {
  return SessionReader::parse(lines, "codex-" + std::string(threadID), "Task");
}

void expectState(const TaskStatus& task, LightState state, std::optional<bool> confirmed) {
  EXPECT_EQ(rawValue(task.state), rawValue(state));
  EXPECT_EQ(task.confirmedAttentionPending, confirmed);
}

TEST(TranscriptStateTest, RequestWaitsUntilItsOutputArrives) {
  std::string lines = fx::event(1, "task_started") +
                      fx::toolCall(2, "functions.request_user_input", "c1", "", "function_call");
  TaskStatus asked = parse(lines);
  expectState(asked, LightState::waiting, true);
  EXPECT_EQ(asked.id, "codex-" + std::string(threadID));
  EXPECT_EQ(asked.source, codexSource);
  EXPECT_EQ(asked.lastTurnBoundaryAt, fx::base + 1);
  EXPECT_EQ(asked.updatedAt, fx::base + 2);

  TaskStatus answered = parse(lines + fx::toolOutput(3, "c1", "function_call_output"));
  expectState(answered, LightState::working, false);
  EXPECT_EQ(answered.updatedAt, fx::base + 3);

  // An output for another call, or one without a call ID, answers nothing.
  expectState(parse(lines + fx::toolOutput(3, "c2") + fx::response(4, "function_call_output")),
              LightState::waiting, true);
  // A request without a call ID waits under a key no output carries.
  expectState(parse(fx::response(1, "function_call", {{"name", "request_permissions"}}) +
                    fx::toolOutput(2, "uncorrelated-not")),
              LightState::waiting, true);
}

TEST(TranscriptStateTest, ApprovalTestsOnToolInputs) {
  auto waits = [](std::string_view name, std::string_view input) {
    return parse(fx::event(1, "task_started") + fx::toolCall(2, name, "c1", input)).state ==
           LightState::waiting;
  };
  EXPECT_TRUE(waits("exec", "{'sandbox_permissions': 'require_escalated'}"));
  EXPECT_TRUE(waits("exec", R"({"sandbox_permissions" :  "require_escalated"})"));
  EXPECT_TRUE(waits("functions.exec", "run(sandbox_permissions:'require_escalated')"));
  EXPECT_TRUE(waits("exec", "sandbox_permissions: 'none'; \"sandbox_permissions\":\t'require_escalated'"));
  // \s is Unicode white space: no-break and ideographic spaces count.
  EXPECT_TRUE(waits("exec", "{\"sandbox_permissions\"\u00A0:\u3000\"require_escalated\"}"));
  EXPECT_FALSE(waits("exec", "sandbox_permissions: require_escalated"));
  EXPECT_FALSE(waits("exec", "SANDBOX_PERMISSIONS: 'require_escalated'"));
  EXPECT_FALSE(waits("shell", "sandbox_permissions: 'require_escalated'"));

  EXPECT_TRUE(waits("apply_patch", "*** Begin Patch\n*** Delete File: a.txt\n*** End Patch"));
  EXPECT_FALSE(waits("apply_patch", "*** Begin Patch\n*** Add File: a.txt\n+x\n*** End Patch"));
  EXPECT_FALSE(waits("exec", "*** Delete File: a.txt"));
  EXPECT_TRUE(waits("exec", "tools.apply_patch('*** Delete File: a.txt')"));
  EXPECT_FALSE(waits("write", "tools.apply_patch('*** Delete File: a.txt')"));

  EXPECT_TRUE(waits("mcp.request_plugin_install", ""));
  EXPECT_FALSE(waits("request_user_input.", ""));  // a trailing dot names no tool
  EXPECT_FALSE(waits("...", ""));
}

TEST(TranscriptStateTest, AsyncQuestionsShareOneKeyUntilTheNextTurn) {
  std::string lines = fx::event(1, "task_started") +
                      fx::toolCall(2, "request_user_input_async", "a1") +
                      fx::toolCall(3, "request_user_input_async", "a2") +
                      fx::toolOutput(4, "a1") + fx::toolOutput(5, "a2") +
                      fx::event(7, "task_complete");
  TaskStatus completed = parse(lines);
  expectState(completed, LightState::waiting, true);
  EXPECT_EQ(completed.lastTurnBoundaryAt, fx::base + 7);
  expectState(parse(lines + fx::event(8, "task_started")), LightState::working, false);
}

TEST(TranscriptStateTest, NestedApprovalClearsOnlyOnItsCompletedItem) {
  std::string calendar = "tools.mcp__codex_apps__google_calendar_create_event({})";
  std::string lines = fx::event(1, "task_started") + fx::toolCall(2, "exec", "n1", calendar) +
                      fx::toolOutput(3, "n1");
  expectState(parse(lines), LightState::waiting, true);
  json wrongTool = {{"type", "McpToolCall"}, {"server", "codex_apps"}, {"tool", "other"}};
  expectState(parse(lines + fx::itemCompleted(4, wrongTool)), LightState::waiting, true);
  json done = {{"type", "McpToolCall"}, {"server", "codex_apps"},
               {"tool", "google_calendar.create_event"}};
  expectState(parse(lines + fx::itemCompleted(4, done)), LightState::working, false);

  // Another request still pending keeps the task waiting.
  std::string both = lines + fx::toolCall(4, "request_user_input", "q1");
  expectState(parse(both + fx::itemCompleted(5, done)), LightState::waiting, true);
  expectState(parse(both + fx::itemCompleted(5, done) + fx::toolOutput(6, "q1")),
              LightState::working, false);
}

TEST(TranscriptStateTest, PlansAndTurnEnds) {
  std::string started = fx::event(1, "task_started");
  auto complete = [&](std::string_view message) {
    return parse(started + fx::event(2, "task_complete", {{"last_agent_message", message}}));
  };
  expectState(complete("\n\n  <proposed_plan>\n1. Do it\n</proposed_plan>\n \n"),
              LightState::waiting, true);
  expectState(complete("Here: <proposed_plan>x</proposed_plan> done."), LightState::done, false);
  expectState(parse(started + fx::event(2, "task_complete", {{"last_agent_message", 7}})),
              LightState::done, false);

  // A plan item waits at once and still waits after the turn completes.
  std::string plan = started + fx::itemCompleted(2, {{"type", "Plan"}, {"text", "1."}});
  expectState(parse(plan), LightState::waiting, true);
  expectState(parse(plan + fx::event(3, "task_complete")), LightState::waiting, true);

  // Aborting or failing a turn drops its requests.
  std::string asked = started + fx::toolCall(2, "request_user_input", "c1");
  TaskStatus aborted = parse(asked + fx::event(3, "turn_aborted"));
  expectState(aborted, LightState::done, false);
  EXPECT_EQ(aborted.lastTurnBoundaryAt, fx::base + 3);
  expectState(parse(asked + fx::event(3, "task_failed")), LightState::failed, false);
  expectState(parse(asked + fx::event(3, "task_failed") + fx::event(4, "task_complete")),
              LightState::done, false);
}

TEST(TranscriptStateTest, ActivityWithoutTurnEvents) {
  TaskStatus busy = parse(fx::response(1, "reasoning") + fx::toolCall(2, "exec", "c1", "ls"));
  expectState(busy, LightState::working, std::nullopt);
  EXPECT_FALSE(busy.lastTurnBoundaryAt);

  TaskStatus quiet = parse(fx::event(1, "token_count") + fx::userMessage(2, "hi") +
                           fx::response(3, "message"));
  expectState(quiet, LightState::unknown, std::nullopt);
  EXPECT_EQ(quiet.updatedAt, fx::base + 3);

  TaskStatus empty = parse("");
  expectState(empty, LightState::unknown, std::nullopt);
  EXPECT_EQ(empty.updatedAt, Instant::distantPast());
}

TEST(TranscriptStateTest, TimestampsDecideWhichLinesCount) {
  TaskStatus shuffled = parse(fx::response(9, "reasoning") + fx::response(4, "reasoning"));
  EXPECT_EQ(shuffled.updatedAt, fx::base + 9);

  std::string started = fx::event(1, "task_started");
  std::string badTime = fx::line("2025-10-01 12:00:05", "event_msg", {{"type", "task_complete"}});
  TaskStatus ignored = parse(started + badTime);
  expectState(ignored, LightState::working, false);
  EXPECT_EQ(ignored.updatedAt, fx::base + 1);

  TaskStatus whole = parse(fx::line(fx::iso(5, false), "event_msg", {{"type", "task_started"}}));
  expectState(whole, LightState::working, false);
  EXPECT_EQ(whole.updatedAt, fx::base + 5);
  TaskStatus offset =
      parse(fx::line("2025-10-01T14:00:06.500+02:00", "event_msg", {{"type", "task_started"}}));
  EXPECT_EQ(offset.updatedAt, fx::base + 6.5);
}

TEST(TranscriptStateTest, HostileLinesAreSkipped) {
  std::string started = fx::event(1, "task_started");
  std::string deep = std::string(5000, '[') + std::string(5000, ']');
  std::string hostile =
      std::string("\x00\xff\xfe garbage \x01\n", 14) +
      "{\"timestamp\":\"" + fx::iso(20) +
      "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"task_failed\",\"note\":\"\xff\"}}\n" +
      fx::line(fx::iso(3), "event_msg", "task_failed") +  // payload not an object
      "{\"timestamp\":12,\"type\":\"event_msg\",\"payload\":{\"type\":\"task_failed\"}}\n" +
      "{\"timestamp\":\"" + fx::iso(4) + "\",\"type\":7,\"payload\":{\"type\":\"task_failed\"}}\n" +
      fx::response(5, "function_call", {{"name", 5}, {"call_id", 6}, {"input", {1, 2}}}) +
      fx::response(6, "function_call_output", {{"call_id", deep}}) +
      "{\"timestamp\":\"" + fx::iso(21) + "\",\"type\":\"event_msg\",\"payload\":" + deep + "}\n" +
      "[1,2,3]\n\"text\"\n\n\n" +
      fx::toolCall(8, "request_user_input", "x" + std::string(3'000'000, 'y')) +
      "{\"timestamp\":\"" + fx::iso(22) + "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"task_fai";
  TaskStatus task = parse(started + hostile);
  // Only the well-formed lines counted: the start, the odd-typed call (an
  // activity line) and the huge request.
  expectState(task, LightState::waiting, true);
  EXPECT_EQ(task.updatedAt, fx::base + 8);
}

TEST(TranscriptStateTest, NamesAreRepairedAndCut) {
  EXPECT_EQ(SessionReader::parse("", "codex-x", std::string(200, 'n')).name, std::string(160, 'n'));
  EXPECT_EQ(SessionReader::parse("", "codex-x", "fix \xc3\x28 bug").name, "fix \xEF\xBF\xBD( bug");
}

TEST(SessionReaderTest, SessionIDFromTheMetaLine) {
  TempDir dir;
  auto idOf = [&](const std::string& content) {
    writeFile(dir / "t.jsonl", content);
    return SessionReader::sessionID(dir / "t.jsonl");
  };
  EXPECT_EQ(idOf(fx::sessionMeta(threadID) + fx::event(1, "task_started")), threadID);
  EXPECT_EQ(idOf("\n\n" + fx::sessionMeta(threadID)), threadID);
  EXPECT_EQ(idOf(fx::sessionMeta("0199A3F2-5B1C-7D2E-8F90-123456789ABC")),
            "0199A3F2-5B1C-7D2E-8F90-123456789ABC");
  EXPECT_EQ(idOf(fx::sessionMeta("not-a-uuid")), std::nullopt);
  EXPECT_EQ(idOf(fx::event(1, "task_started") + fx::sessionMeta(threadID)), std::nullopt);
  EXPECT_EQ(idOf(fx::line(fx::iso(0), "session_meta", {{"id", 17}})), std::nullopt);
  EXPECT_EQ(idOf(fx::line(fx::iso(0), "session_meta", {{"id", threadID},
                                                       {"instructions", std::string(70000, 'i')}})),
            std::nullopt);
  EXPECT_EQ(idOf(""), std::nullopt);
  EXPECT_THROW(SessionReader::sessionID(dir / "missing.jsonl"), std::filesystem::filesystem_error);
}

TEST(SessionReaderTest, ConversationNameFromTheFirstUserMessage) {
  TempDir dir;
  auto nameOf = [&](const std::string& content) {
    writeFile(dir / "t.jsonl", content);
    return SessionReader::conversationName(dir / "t.jsonl");
  };
  std::string meta = fx::sessionMeta(threadID);
  EXPECT_EQ(nameOf(meta + fx::userMessage(1, "  fix   the\nbuild  ") + fx::userMessage(2, "no")),
            "fix the build");
  EXPECT_EQ(nameOf(meta + fx::userMessage(1, " \n ") + fx::userMessage(2, "second")), "second");
  EXPECT_EQ(nameOf(meta + fx::event(1, "task_started")), std::nullopt);
  EXPECT_EQ(nameOf(meta + fx::userMessage(1, std::string(200, 'w'))), std::string(160, 'w'));

  auto message = [](json kinds, json content) {
    return fx::response(1, "message",
                        {{"role", "user"},
                         {"content", std::move(content)},
                         {"internal_chat_message_metadata_passthrough",
                          {{"content_item_kinds", std::move(kinds)}}}});
  };
  json text = {{"type", "input_text"}, {"text", "tidy up"}};
  json image = {{"type", "input_image"}, {"image_url", "data:"}};
  json context = {{"type", "input_text"}, {"text", "<environment>"}};
  EXPECT_EQ(nameOf(meta + message({"user.text", "user.image", "context", "user.text"},
                                  {text, image, context, text})),
            "tidy up tidy up");
  // Kinds and content of different lengths: that line gives no name.
  EXPECT_EQ(nameOf(meta + message({"user.text", "user.text"}, {text, text, text}) +
                   fx::userMessage(2, "fallback")),
            "fallback");
  EXPECT_EQ(nameOf(meta + message({"user.text", 3}, {text, text})), std::nullopt);

  // An escaped lone surrogate never yields invalid UTF-8.
  std::string surrogate = R"({"timestamp":"2025-10-01T12:00:01.000Z","type":"event_msg",)"
                          R"("payload":{"type":"user_message","message":"a\ud800b"}})"
                          "\n";
  EXPECT_TRUE(text::isValidUTF8(nameOf(meta + surrogate).value_or("")));
  EXPECT_EQ(SessionReader::conversationName(dir / "missing.jsonl"), std::nullopt);
}

// --- finding the sessions ------------------------------------------------------

const Instant loadNow = fx::base + 3600;

std::string uuid(int n) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "0199a3f2-0000-4000-8000-%012d", n);
  return buffer;
}

std::vector<std::string> idsOf(const std::vector<TaskStatus>& tasks) {
  std::vector<std::string> ids;
  for (const auto& task : tasks) ids.push_back(task.id.substr(6));
  return ids;
}

TEST(SessionReaderLoad, RecentRegularTranscriptsNewestFirstOnePerSession) {
  fx::CodexHome home;
  double t = loadNow.unixSeconds();
  home.addThreadName(uuid(1), "indexed");
  EXPECT_TRUE(SessionReader::load(home.path(), loadNow, 30).empty());  // no "sessions"

  std::string done = fx::event(1, "task_started") + fx::event(2, "task_complete");
  std::string upper = "0199A3F2-0000-4000-8000-00000000000A";
  home.addTranscript("2025/10/01/a.jsonl", uuid(1), done, t - 86399);
  home.addTranscript("2025/09/30/b.jsonl", uuid(2), done, t - 86400);
  home.addTranscript("2025/10/01/c.jsonl", uuid(3), done, t + 3600);
  fs::path newer = home.addTranscript("2025/10/01/d.jsonl", uuid(1), fx::event(1, "task_started"),
                                      t - 10);
  home.addTranscript("2025/10/01/e.JSONL", uuid(4), done, t);
  home.addTranscript(".hidden/f.jsonl", uuid(5), done, t);
  home.addTranscript("2025/10/01/.g.jsonl", uuid(5), done, t);
  home.addTranscript("2025/10/01/h.jsonl", "not-a-uuid", done, t);
  home.addTranscript("2025/10/01/i.jsonl", upper, done, t - 20);
  home.addTranscript("2025/10/01/dir.jsonl/j.jsonl", uuid(6), done, t - 30);
  fs::create_symlink(newer, home.sessions() / "link.jsonl");
  writeFile(home.sessions() / "2025/10/01/k.jsonl", "");
  touch(home.sessions() / "2025/10/01/k.jsonl", t);

  std::vector<TaskStatus> tasks = SessionReader::load(home.path(), loadNow, 30);
  EXPECT_EQ(idsOf(tasks), (std::vector<std::string>{uuid(3), uuid(1), upper, uuid(6)}));
  ASSERT_EQ(tasks.size(), 4u);
  EXPECT_EQ(rawValue(tasks[1].state), "working");  // the newer file of the session
  EXPECT_EQ(tasks[1].name, "indexed");
  EXPECT_EQ(rawValue(tasks[0].state), "done");
  EXPECT_EQ(tasks[0].source, codexSource);
  EXPECT_EQ(idsOf(SessionReader::load(home.path(), loadNow, 2)),
            (std::vector<std::string>{uuid(3), uuid(1)}));
  for (int limit : {0, -1}) EXPECT_TRUE(SessionReader::load(home.path(), loadNow, limit).empty());
}

TEST(SessionReaderLoad, NamesProjectsAndScheduledRuns) {
  fx::CodexHome home;
  double t = loadNow.unixSeconds();
  std::string scheduled = "0199A3F2-5B1C-7D2E-8F90-123456789ABC";
  home.addThreadName(uuid(1), "Old name");
  home.addThreadName(uuid(1), " \tFix login\n");
  home.addThreadName(uuid(2), "   ");
  writeFile(home.path() / "session_index.jsonl",
            readFile(home.path() / "session_index.jsonl") + "{\"id\":3}\n[1]\n{}\nnot json\n");
  home.writeGlobalState({{uuid(1), "Lantrel"}, {text::lowercased(scheduled), "Other"}});
  home.addAutomation("weekly", text::lowercased(scheduled));
  home.addTranscript("a.jsonl", uuid(1), fx::userMessage(1, "ignored"), t - 1);
  home.addTranscript("b.jsonl", uuid(2), fx::userMessage(1, "  fix   the\nbuild  "), t - 2);
  home.addTranscript("c.jsonl", scheduled, fx::event(1, "task_started"), t - 3);

  std::vector<TaskStatus> tasks = SessionReader::load(home.path(), loadNow, 30);
  ASSERT_EQ(tasks.size(), 3u);
  EXPECT_EQ(tasks[0].name, "Fix login");
  EXPECT_EQ(tasks[0].projectName, "Lantrel");
  EXPECT_EQ(tasks[0].isScheduled, false);
  EXPECT_EQ(tasks[1].name, "fix the build");
  EXPECT_EQ(tasks[1].projectName, std::nullopt);
  EXPECT_EQ(tasks[2].name, "Codex task 0199A3F2");
  EXPECT_EQ(tasks[2].projectName, std::nullopt);  // project keys are exact
  EXPECT_EQ(tasks[2].isScheduled, true);

  // Unusable auxiliary files cost names and projects, never the tasks.
  writeFile(home.path() / ".codex-global-state.json", "{");
  fs::remove(home.path() / "session_index.jsonl");
  fs::create_directory(home.path() / "session_index.jsonl");
  tasks = SessionReader::load(home.path(), loadNow, 30);
  ASSERT_EQ(tasks.size(), 3u);
  EXPECT_EQ(tasks[0].name, "ignored");
  EXPECT_EQ(tasks[0].projectName, std::nullopt);
}

// Transcripts beyond the limit are not even opened: reading a file moves its
// access time past the old one that touch() gave it.
TEST(SessionReaderLoad, NothingBeyondTheLimitIsOpened) {
  fx::CodexHome home;
  std::vector<fs::path> files;
  for (int i = 0; i < 5; ++i)
    files.push_back(home.addTranscript("t" + std::to_string(i) + ".jsonl", uuid(i), "",
                                       loadNow.unixSeconds() - i));
  EXPECT_EQ(idsOf(SessionReader::load(home.path(), loadNow, 2)),
            (std::vector<std::string>{uuid(0), uuid(1)}));
  auto accessed = [](const fs::path& file) {
    struct stat st;
    ::stat(file.c_str(), &st);
    return Instant::fromUnix(static_cast<double>(st.st_atim.tv_sec)) > loadNow;
  };
  if (!accessed(files[0])) GTEST_SKIP() << "the file system does not record access times";
  for (int i = 2; i < 5; ++i) EXPECT_FALSE(accessed(files[i])) << i;
}

}  // namespace
}  // namespace lantrel
