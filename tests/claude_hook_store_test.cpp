#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "lantrel/claude_hook_store.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using nlohmann::json;
using L = LightState;

const std::string session = "3F2504E0-4F89-11D3-9A0C-0305E82C3301", cwd = "/Users/ana/project";
const Instant start = *Instant::parseISO8601("2025-10-01T12:00:00Z", false);

// One event as Claude Code writes it, with a member the store must ignore.
std::string event(const std::string& name, json extra = json::object()) {
  json e = {{"session_id", session}, {"hook_event_name", name}, {"cwd", cwd},
            {"transcript_path", "/t.jsonl"}, {"permission_mode", "default"}};
  return e.update(extra), e.dump();
}

class HookStore : public ::testing::Test {
 protected:
  testing::TempDir home;
  ClaudeHookStore store{home / "events"};
  std::filesystem::path file = store.directory / (session + ".json");
  ClaudeHookRecord record() const { return ClaudeHookRecord::decode(testing::readFile(file)); }
};

TEST_F(HookStore, EventTable) {
  const json no = json::object(), ask = {{"tool_name", "AskUserQuestion"}};
  auto note = [](const char* type) { return json{{"notification_type", type}}; };
  const std::tuple<std::string, json, std::optional<L>, bool> rows[] = {
      {"UserPromptSubmit", no, L::working, 0}, {"PostToolUse", no, L::working, 0},
      {"PostToolUseFailure", no, L::working, 0}, {"ElicitationResult", no, L::working, 0},
      {"PermissionRequest", no, L::waiting, 1}, {"Elicitation", no, L::waiting, 1},
      {"PreToolUse", ask, L::waiting, 1}, {"PreToolUse", {{"tool_name", "Bash"}}, {}, 0},
      {"PreToolUse", no, {}, 0}, {"Notification", note("permission_prompt"), L::waiting, 1},
      {"Notification", note("elicitation_dialog"), L::waiting, 1},
      {"Notification", note("idle_prompt"), L::done, 0}, {"Stop", no, L::done, 0},
      {"StopFailure", no, L::failed, 0}, {"SessionEnd", no, L::done, 0}, {"stop", no, {}, 0},
      {"SubagentStop", no, {}, 0}};
  for (const auto& [name, extra, state, pending] : rows) {
    std::filesystem::remove_all(store.directory);
    store.ingest(event(name, extra), start);
    // Ignored events leave no trace, not even the directory.
    ASSERT_EQ(std::filesystem::exists(store.directory), state.has_value()) << name << extra;
    if (!state) continue;
    EXPECT_EQ(record(), (ClaudeHookRecord{session, *state, start, cwd, "/t.jsonl", pending}));
    EXPECT_EQ(std::pair(testing::modeOf(file), testing::modeOf(store.directory)),
              std::pair(0600u, 0700u));
  }
}

TEST_F(HookStore, RefusedEventsWriteNothing) {
  for (const std::string& input :
       {std::string("[]"), event("Stop", {{"hook_event_name", 1}}),
        event("Stop", {{"session_id", nullptr}}), event("Stop", {{"session_id", "../../../x"}}),
        event("Stop", {{"cwd", "rel/a"}}), event("Stop", {{"transcript_path", nullptr}}),
        event("Stop", {{"cwd", "/" + std::string(4096, 'a')}})})
    EXPECT_EQ(testing::errorOf([&] { store.ingest(input, start); }), "invalidRecord") << input;
  EXPECT_THROW(store.ingest("{\"session_id\":", start), DecodingError);
  EXPECT_FALSE(std::filesystem::exists(store.directory));
}

// A record removed between the listing and its read (its session ended) is
// passed over; the others still load.
TEST_F(HookStore, LoadAllPassesOverARecordThatVanished) {
  store.ingest(event("Stop"), start);
  store.ingest(event("Stop", {{"session_id", "6f9619ff-8b86-d011-b42d-00c04fc964ff"}}), start);
  testing::vanishing = file.string();
  EXPECT_EQ(store.loadAll(start).size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(file));
  testing::vanishing.clear();
}

}  // namespace
}  // namespace lantrel
