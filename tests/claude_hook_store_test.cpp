#include <gtest/gtest.h>

#include <set>

#include <nlohmann/json.hpp>

#include "lantrel/claude_hook_store.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::errorOf;
using testing::readFile;
using L = LightState;

const std::string session = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
const std::string cwd = "/Users/ana/project", transcript = "/Users/ana/.claude/p/x.jsonl";
const Instant start = *Instant::parseISO8601("2025-10-01T12:00:00Z", false);

// One event as Claude Code writes it, with a member the store must ignore.
std::string event(const std::string& name, json extra = json::object()) {
  json e = {{"session_id", session}, {"hook_event_name", name}, {"cwd", cwd},
            {"transcript_path", transcript}, {"permission_mode", "default"}};
  return e.update(extra), e.dump();
}

class HookStore : public ::testing::Test {
 protected:
  testing::TempDir home;
  ClaudeHookStore store{home / "events"};
  fs::path file = store.directory / (session + ".json");
  ClaudeHookRecord record() const { return ClaudeHookRecord::decode(readFile(file)); }
};

TEST_F(HookStore, EventTable) {
  struct Row { std::string name; json extra; std::optional<L> state; bool pending = false; };
  const json none = json::object();
  const Row rows[] = {
      {"UserPromptSubmit", none, L::working}, {"PostToolUse", none, L::working},
      {"PostToolUseFailure", none, L::working}, {"ElicitationResult", none, L::working},
      {"PermissionRequest", none, L::waiting, true}, {"Elicitation", none, L::waiting, true},
      {"PreToolUse", {{"tool_name", "AskUserQuestion"}}, L::waiting, true},
      {"PreToolUse", {{"tool_name", "Bash"}}, {}}, {"PreToolUse", none, {}},
      {"Notification", {{"notification_type", "permission_prompt"}}, L::waiting, true},
      {"Notification", {{"notification_type", "elicitation_dialog"}}, L::waiting, true},
      {"Notification", {{"notification_type", "idle_prompt"}}, L::done},
      {"Stop", none, L::done}, {"StopFailure", none, L::failed}, {"SessionEnd", none, L::done},
      {"stop", none, {}}, {"SubagentStop", none, {}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + " " + row.extra.dump());
    fs::remove_all(store.directory);
    store.ingest(event(row.name, row.extra), start);
    // Ignored events leave no trace, not even the directory.
    ASSERT_EQ(fs::exists(store.directory), row.state.has_value());
    if (!row.state) continue;
    EXPECT_EQ(record(),
              (ClaudeHookRecord{session, *row.state, start, cwd, transcript, row.pending}));
    EXPECT_EQ(std::pair(testing::modeOf(file), testing::modeOf(store.directory)),
              std::pair(0600u, 0700u));
  }
}

TEST_F(HookStore, AFinishKeepsItsFirstTimeOtherEventsMoveIt) {
  auto after = [&](const char* name, double seconds) {
    store.ingest(event(name), start + seconds);
    return std::pair(record().state, record().updatedAt - start);
  };
  after("UserPromptSubmit", 0.75);
  EXPECT_EQ(after("UserPromptSubmit", 30.75), std::pair(L::working, 30.0));  // whole seconds
  after("Stop", 60);
  after("Stop", 90);
  EXPECT_EQ(after("SessionEnd", 95), std::pair(L::done, 60.0));
  EXPECT_EQ(after("StopFailure", 100), std::pair(L::failed, 100.0));
  EXPECT_EQ(after("SessionEnd", 200), std::pair(L::failed, 100.0));  // a failure stays
}

TEST_F(HookStore, RefusedEventsWriteNothingAndLimitsPass) {
  std::string exact = event("UserPromptSubmit"), wide = "/";
  exact.append(ClaudeHookStore::maximumEventBytes - exact.size(), ' ');
  for (int i = 0; i < 4095; ++i) wide += "\xC3\xA9";  // 4,096 characters, 8,191 bytes
  // The last: both paths at their longest make a record that loading refuses.
  for (const std::string& input :
       {std::string("[]"), exact + " ", event("Stop", {{"hook_event_name", 1}}),
        event("Stop", {{"session_id", nullptr}}), event("Stop", {{"session_id", "../../../x"}}),
        event("Stop", {{"cwd", "rel/a"}}), event("Stop", {{"transcript_path", nullptr}}),
        event("Stop", {{"cwd", wide + "a"}}),
        event("Stop", {{"cwd", wide}, {"transcript_path", wide}})})
    EXPECT_EQ(errorOf([&] { store.ingest(input, start); }), "invalidRecord") << input.substr(0, 99);
  EXPECT_THROW(store.ingest("{\"session_id\":", start), DecodingError);
  EXPECT_FALSE(fs::exists(store.directory));
  store.ingest(exact, start);
  store.ingest(event("PostToolUse", {{"transcript_path", wide}}), start);
  EXPECT_EQ(record().transcriptPath, wide);
}

TEST_F(HookStore, LoadAllKeepsADayAndFailsOnABadRecord) {
  EXPECT_TRUE(store.loadAll(start).empty());  // no directory yet
  const std::string old = "0A2504E0-4F89-11D3-9A0C-0305E82C3302";
  const std::string future = "1B2504E0-4F89-11D3-9A0C-0305E82C3303";
  store.ingest(event("Stop"), start - 86399);
  store.ingest(event("Stop", {{"session_id", old}}), start - 86400);
  store.ingest(event("Stop", {{"session_id", future}}), start + 3600);
  testing::writeFile(store.directory / "notes.txt", "not a record");
  std::set<std::string> ids;
  for (const ClaudeHookRecord& r : store.loadAll(start)) ids.insert(r.sessionID);
  EXPECT_EQ(ids, (std::set<std::string>{session, future}));
  for (auto [key, value] : {std::pair{"updatedAt", "2025-10-01T12:00:00.5Z"},
                            {"updatedAt", "2025-10-01T12:00:00+00:00"}, {"state", "finished"}}) {
    json changed = json::parse(readFile(file));
    testing::writeFile(store.directory / "bad.json", (changed[key] = value, changed.dump()));
    EXPECT_THROW(store.loadAll(start), DecodingError) << key << " " << value;
  }
}

}  // namespace
}  // namespace lantrel
