#include <gtest/gtest.h>

#include <set>

#include <nlohmann/json.hpp>

#include "lantrel/claude_hook_store.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using testing::errorOf;
using testing::TempDir;

const std::string session = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
const Instant start = *Instant::parseISO8601("2025-10-01T12:00:00Z", false);

// One event as Claude Code writes it, with members the store must ignore.
std::string event(const std::string& name, nlohmann::json extra = nlohmann::json::object(),
                  const std::string& id = session) {
  nlohmann::json e = {{"session_id", id},
                      {"hook_event_name", name},
                      {"cwd", "/Users/ana/project"},
                      {"transcript_path", "/Users/ana/.claude/projects/p/" + id + ".jsonl"},
                      {"permission_mode", "default"}};
  if (extra.is_object()) e.update(extra);
  return e.dump();
}

class HookStore : public ::testing::Test {
 protected:
  TempDir home;
  ClaudeHookStore store{home / "events"};
  fs::path file() const { return store.directory / (session + ".json"); }
  ClaudeHookRecord record() const { return ClaudeHookRecord::decode(testing::readFile(file())); }
};

TEST_F(HookStore, EventTable) {
  struct Row {
    std::string name;
    nlohmann::json extra;
    std::optional<LightState> state;  // nullopt: ignored
    bool pending;
  };
  using L = LightState;
  const std::vector<Row> rows = {
      {"UserPromptSubmit", {{"prompt", "hi"}}, L::working, false},
      {"PostToolUse", {}, L::working, false},
      {"PostToolUseFailure", {}, L::working, false},
      {"ElicitationResult", {}, L::working, false},
      {"PermissionRequest", {}, L::waiting, true},
      {"Elicitation", {}, L::waiting, true},
      {"PreToolUse", {{"tool_name", "AskUserQuestion"}}, L::waiting, true},
      {"PreToolUse", {{"tool_name", "Bash"}}, std::nullopt, false},
      {"PreToolUse", {}, std::nullopt, false},
      {"Notification", {{"notification_type", "permission_prompt"}}, L::waiting, true},
      {"Notification", {{"notification_type", "elicitation_dialog"}}, L::waiting, true},
      {"Notification", {{"notification_type", "idle_prompt"}}, L::done, false},
      {"Notification", {{"notification_type", "auth_success"}}, std::nullopt, false},
      {"Notification", {{"notification_type", 3}}, std::nullopt, false},
      {"Stop", {}, L::done, false},
      {"StopFailure", {}, L::failed, false},
      {"SessionEnd", {}, L::done, false},
      {"stop", {}, std::nullopt, false},
      {"SubagentStop", {}, std::nullopt, false},
  };
  for (const Row& row : rows) {
    fs::remove_all(store.directory);
    store.ingest(event(row.name, row.extra), start);
    SCOPED_TRACE(row.name + " " + row.extra.dump());
    if (!row.state) {
      // Ignored events leave no trace, not even the directory.
      EXPECT_FALSE(fs::exists(store.directory));
      continue;
    }
    ClaudeHookRecord r = record();
    EXPECT_EQ(std::tie(r.state, r.confirmedAttentionPending, r.updatedAt, r.sessionID, r.cwd),
              std::make_tuple(*row.state, row.pending, start, session,
                              std::string("/Users/ana/project")));
    EXPECT_EQ(testing::modeOf(file()), 0600u);
    EXPECT_EQ(testing::modeOf(store.directory), 0700u);
  }
}

TEST_F(HookStore, TimestampRuleAndSessionEnd) {
  store.ingest(event("UserPromptSubmit"), start);
  store.ingest(event("UserPromptSubmit"), start + 30);
  EXPECT_EQ(record().updatedAt, start + 30);  // heartbeat
  store.ingest(event("PermissionRequest"), start + 40);
  store.ingest(event("PostToolUse"), start + 50);
  EXPECT_FALSE(record().confirmedAttentionPending);  // approval clears the flag
  store.ingest(event("Stop"), start + 60);
  store.ingest(event("Stop"), start + 90);
  store.ingest(event("SessionEnd"), start + 95);
  EXPECT_EQ(record().state, LightState::done);
  EXPECT_EQ(record().updatedAt, start + 60);  // first finish is kept
  store.ingest(event("StopFailure"), start + 100);
  store.ingest(event("SessionEnd"), start + 200);
  EXPECT_EQ(record().state, LightState::failed);
  EXPECT_EQ(record().updatedAt, start + 100);
  // Fractions of a second are dropped in the file.
  store.ingest(event("UserPromptSubmit"), start + 300.75);
  EXPECT_EQ(record().updatedAt, start + 300);
}

TEST_F(HookStore, RefusedEventsWriteNothing) {
  store.ingest(event("Stop"), start);
  const std::string before = testing::readFile(file());
  auto expectRefused = [&](const std::string& input) {
    SCOPED_TRACE(input.substr(0, 200));
    EXPECT_EQ(errorOf([&] { store.ingest(input, start + 10); }), "invalidRecord");
    EXPECT_EQ(testing::readFile(file()), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(store.directory), fs::directory_iterator()),
              1);
  };
  nlohmann::json noName = nlohmann::json::parse(event("Stop"));
  noName.erase("hook_event_name");
  for (std::string input : {std::string("[]"), std::string("\"text\""), noName.dump(),
                            event("Stop", {{"session_id", nullptr}}),
                            event("Stop", {{"session_id", 7}}),
                            event("Stop", {{"hook_event_name", 1}})})
    expectRefused(input);
  for (std::string id :
       {"../../../../tmp/x", "3F2504E0/4F89-11D3-9A0C-0305E82C3301",
        "..2504E0-4F89-11D3-9A0C-0305E82C3301", "3F2504E0-4F89-11D3-9A0C-0305E82C330",
        "3F2504E0-4F89-11D3-9A0C-0305E82C3301.json", ""})
    expectRefused(event("Stop", {}, id));
  for (const char* key : {"cwd", "transcript_path"}) {
    using J = nlohmann::json;
    for (J bad : {J("relative/path"), J(""), J(), J("/" + std::string(4096, 'a'))})
      expectRefused(event("Stop", {{key, bad}}));
    nlohmann::json missing = nlohmann::json::parse(event("Stop"));
    missing.erase(key);
    expectRefused(missing.dump());
  }
  // One byte over the limit is refused before parsing, even as valid JSON.
  std::string padded = event("UserPromptSubmit");
  padded.append(ClaudeHookStore::maximumEventBytes + 1 - padded.size(), ' ');
  expectRefused(padded);
  // Malformed JSON is the parser's error, and also writes nothing.
  EXPECT_THROW(store.ingest("{\"session_id\":", start), DecodingError);
  EXPECT_THROW(store.ingest("", start), DecodingError);
  EXPECT_EQ(testing::readFile(file()), before);
}

TEST_F(HookStore, LimitsThatPass) {
  std::string padded = event("UserPromptSubmit");
  padded.append(ClaudeHookStore::maximumEventBytes - padded.size(), ' ');
  store.ingest(padded, start);
  EXPECT_EQ(record().state, LightState::working);
  // 4,096 characters counted as user-perceived characters, not bytes.
  std::string longCwd = "/" + std::string(4095, 'a');
  std::string wideCwd = "/";
  for (int i = 0; i < 4095; ++i) wideCwd += "\xC3\xA9";  // é, two bytes
  store.ingest(event("Stop", {{"cwd", longCwd}}), start);
  EXPECT_EQ(record().cwd, longCwd);
  store.ingest(event("Stop", {{"cwd", wideCwd}}), start);
  EXPECT_EQ(record().cwd, wideCwd);
  EXPECT_EQ(errorOf([&] { store.ingest(event("Stop", {{"cwd", wideCwd + "\xC3\xA9"}}), start); }),
            "invalidRecord");
  // Both paths at their longest in two-byte characters would make a record
  // that loading refuses; it is refused up front and the old one stays.
  EXPECT_EQ(errorOf([&] {
              store.ingest(event("Stop", {{"cwd", wideCwd}, {"transcript_path", wideCwd}}), start);
            }),
            "invalidRecord");
  EXPECT_EQ(record().cwd, wideCwd);
  EXPECT_NO_THROW(store.loadAll(start));
}

TEST_F(HookStore, LoadAll) {
  EXPECT_TRUE(store.loadAll(start).empty());  // missing directory
  const std::string other = "0A2504E0-4F89-11D3-9A0C-0305E82C3302";
  const std::string future = "1B2504E0-4F89-11D3-9A0C-0305E82C3303";
  store.ingest(event("Stop"), start - 86399);
  store.ingest(event("Stop", {}, other), start - 86400);
  store.ingest(event("Stop", {}, future), start + 3600);
  testing::writeFile(store.directory / "notes.txt", "not a record");
  std::vector<ClaudeHookRecord> records = store.loadAll(start);
  ASSERT_EQ(records.size(), 2u);
  std::set<std::string> ids{records[0].sessionID, records[1].sessionID};
  EXPECT_EQ(ids, (std::set<std::string>{session, future}));
  EXPECT_TRUE(fs::exists(store.directory / (other + ".json")));  // old files stay

  // One bad record fails the whole listing.
  fs::path bad = store.directory / "bad.json";
  testing::writeFile(bad, std::string(16385, ' '));
  EXPECT_EQ(errorOf([&] { store.loadAll(start); }), "invalidRecord");
  fs::remove(bad);
  fs::create_symlink(file(), bad);
  EXPECT_EQ(errorOf([&] { store.loadAll(start); }), "invalidRecord");
  fs::remove(bad);
  nlohmann::json record = nlohmann::json::parse(testing::readFile(file()));
  // Each member missing (null here) or of the wrong form.
  for (auto [key, value] : std::vector<std::pair<std::string, nlohmann::json>>{
           {"sessionID", {}}, {"state", {}}, {"updatedAt", {}}, {"cwd", {}}, {"transcriptPath", {}},
           {"confirmedAttentionPending", {}}, {"updatedAt", "2025-10-01T12:00:00.5Z"},
           {"updatedAt", 781012800}, {"state", "finished"},
           {"confirmedAttentionPending", "false"}}) {
    nlohmann::json changed = record;
    value.is_null() ? void(changed.erase(key)) : void(changed[key] = value);
    testing::writeFile(bad, changed.dump());
    EXPECT_THROW(store.loadAll(start), DecodingError) << key << " " << value;
  }
}

TEST_F(HookStore, UnreadablePreviousRecordStartsOver) {
  fs::create_directories(store.directory);
  fs::path target = home / "elsewhere.json";
  testing::writeFile(target, "keep me");
  fs::create_symlink(target, file());
  store.ingest(event("Stop"), start);
  EXPECT_EQ(testing::readFile(target), "keep me");  // the link was replaced, not followed
  EXPECT_FALSE(fs::is_symlink(file()));
  EXPECT_EQ(record().state, LightState::done);

  testing::writeFile(file(), std::string(16385, ' '));
  store.ingest(event("SessionEnd"), start + 5);
  EXPECT_EQ(record().updatedAt, start + 5);  // no previous record: a new time
}

}  // namespace
}  // namespace lantrel
