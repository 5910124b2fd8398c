#include "lantrel/orca_session_index.hpp"

#include <gtest/gtest.h>

#include "orca_fixtures.hpp"

namespace lantrel {
namespace {

constexpr const char* leaf = "b1b2c3d4-0000-4000-8000-00000000000b";
const std::string key = std::string(orcaTab) + ":" + leaf;
const std::string session = "3f1c2a9e-1111-4111-8111-111111111111";
const Instant now{800000000};

// Milliseconds since 1970 for an entry reported `age` seconds before now.
double receivedAt(double age) { return (now.unixSeconds() - age) * 1000; }
const json entry = {{"paneKey", key}, {"connectionId", nullptr}, {"payload", {{"agentType", "codex"}}},
                    {"providerSession", {{"key", "session_id"}, {"id", "3F1C2A9E-1111-4111-8111-111111111111"},
                                         {"transcriptPath", "/t.jsonl"}}},
                    {"tabId", orcaTab}, {"worktreeId", "wt-1"}, {"receivedAt", receivedAt(30)}};

std::string file(const json& entries, json version = 2) {
  return json{{"version", version}, {"entries", entries}}.dump();
}
std::vector<OrcaSessionReference> decode(const json& e, const std::string& member = key) {
  return OrcaSessionIndex::decode(file({{member, e}}), now).sessions;
}

TEST(OrcaSessionIndex, DecodesUsableEntriesOnly) {
  EXPECT_EQ(decode(entry), (std::vector<OrcaSessionReference>{
                               {"codex", session, orcaTab, leaf, "wt-1", now - 30, "/t.jsonl"}}));
  // A change to the entry, and whether the entry is still used. Tab and
  // pane identifiers match exactly, letter case included.
  const std::vector<std::tuple<std::string, json, bool>> cases = {
      {"/connectionId", "c1", false}, {"/payload/agentType", "gemini", false},
      {"/payload/agentType", "claude", true}, {"/providerSession/id", "not-a-uuid", false},
      {"/tabId", "a1b2c3d4-0000-4000-8000-00000000000a", false},
      {"/worktreeId", "", false}, {"/receivedAt", receivedAt(-61), false},
      {"/receivedAt", receivedAt(-60), true}, {"/receivedAt", receivedAt(604800), true},
      {"/receivedAt", receivedAt(604801), false}};
  for (const auto& [pointer, value, kept] : cases) {
    json e = entry;
    e[json::json_pointer(pointer)] = value;
    EXPECT_EQ(decode(e).size(), kept ? 1u : 0u) << pointer << " " << value;
  }
  // The member must be the entry's own pane key.
  EXPECT_TRUE(decode(entry, std::string(orcaTab) + ":c1b2c3d4-0000-4000-8000-00000000000c").empty());
}

TEST(OrcaSessionIndex, RefusesFilesOfTheWrongShapeOrSize) {
  auto decoded = [](const std::string& text) {
    return testing::errorOf([&] { OrcaSessionIndex::decode(text, now); });
  };
  for (const std::string& text : {file({{key, entry}}, 1), file(json::array()), std::string("[]")})
    EXPECT_EQ(decoded(text), "invalidRecord") << text;
  std::string big = file(json::object()) + std::string(8000000, ' ');
  EXPECT_EQ(decoded(big), "invalidRecord");  // before it is parsed
  EXPECT_EQ(decoded(big.substr(0, 8000000)), "no error");
}

TEST(OrcaSessionIndex, MatchesTaskIDsInAnyCaseAndOpensThePane) {
  OrcaSessionIndex index{decode(entry)};
  EXPECT_EQ(index.matches("CODEX-" + session), index.sessions);
  EXPECT_TRUE(index.matches("claude-" + session).empty());
  TaskStatus task("codex-" + session, "t", LightState::working, now, std::string(codexSource));
  EXPECT_EQ(task.openDestination(), TaskOpenDestination::desktopURL("codex://threads/" + session));
  task.orcaSession = index.sessions[0];
  EXPECT_EQ(task.openDestination(), TaskOpenDestination::orcaTask(task.id));
}

}  // namespace
}  // namespace lantrel
