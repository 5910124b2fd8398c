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

const json entry = {{"paneKey", key},
                    {"connectionId", nullptr},
                    {"payload", {{"agentType", "codex"}}},
                    {"providerSession", {{"key", "session_id"}, {"id", "3F1C2A9E-1111-4111-8111-111111111111"},
                                         {"transcriptPath", "/t.jsonl"}}},
                    {"tabId", orcaTab},
                    {"worktreeId", "wt-1"},
                    {"receivedAt", receivedAt(30)}};

std::string file(const json& entries, json version = 2) {
  return json{{"version", version}, {"entries", entries}}.dump();
}
std::string decoded(const std::string& text) {
  return testing::errorOf([&] { OrcaSessionIndex::decode(text, now); });
}
std::vector<OrcaSessionReference> decode(const json& e, const std::string& member = key) {
  return OrcaSessionIndex::decode(file({{member, e}}), now).sessions;
}

TEST(OrcaSessionIndex, DecodesUsableEntriesOnly) {
  EXPECT_EQ(decode(entry), (std::vector<OrcaSessionReference>{
                               {"codex", session, orcaTab, leaf, "wt-1", now - 30, "/t.jsonl"}}));
  std::string wide;  // 8192 characters in more bytes
  for (int i = 0; i < 8192; ++i) wide += "\u00e9";
  // A change to the entry, and whether the entry is still used.
  const std::vector<std::tuple<std::string, json, bool>> cases = {
      {"/structuredHost", nullptr, false},
      {"/connectionId", "c1", false},
      {"/payload/agentType", "gemini", false},
      {"/payload/agentType", "claude", true},
      {"/providerSession/key", "sessionId", false},
      {"/providerSession/id", "not-a-uuid", false},
      {"/providerSession/transcriptPath", "t.jsonl", true},
      {"/tabId", "tab", false},
      {"/worktreeId", "", false},
      {"/worktreeId", wide, true},
      {"/worktreeId", std::string(8193, 'w'), false},
      {"/receivedAt", "1", false},
      {"/receivedAt", receivedAt(-61), false},
      {"/receivedAt", receivedAt(-60), true},
      {"/receivedAt", receivedAt(604800), true},
      {"/receivedAt", receivedAt(604801), false},
  };
  for (const auto& [pointer, value, kept] : cases) {
    json e = entry;
    e[json::json_pointer(pointer)] = value;
    EXPECT_EQ(decode(e).size(), kept ? 1u : 0u) << pointer << " " << value;
  }
  json local = entry;
  local.erase("connectionId");
  local["providerSession"]["transcriptPath"] = "t.jsonl";
  EXPECT_EQ(decode(local).at(0).transcriptPath, std::nullopt);
  // The member is the entry's own pane key: its tab, exactly, and a leaf.
  EXPECT_TRUE(decode(entry, std::string(orcaTab) + ":c1b2c3d4-0000-4000-8000-00000000000c").empty());
  for (const std::string& pane : {key + ":x", std::string(orcaTab) + ":leaf",
                                  "a1b2c3d4-0000-4000-8000-00000000000a:" + std::string(leaf)}) {
    json e = entry;
    e["paneKey"] = pane;
    EXPECT_TRUE(decode(e, pane).empty()) << pane;
  }
  EXPECT_TRUE(decode(json::array()).empty());
}

TEST(OrcaSessionIndex, RefusesFilesOfTheWrongShapeOrSize) {
  json entries = {{key, entry}};
  for (const std::string& text : {file(entries, 1), file(entries, "2"), file(entries, 2.5),
                                   std::string(R"({"version":2})"), file(json::array()),
                                   std::string("[]")})
    EXPECT_EQ(decoded(text), "invalidRecord") << text;
  EXPECT_EQ(decoded(R"({"version":2,"entries":{)").rfind("DecodingError", 0), 0u);
  std::string big = file(json::object()) + std::string(8000000, ' ');
  EXPECT_EQ(decoded(big), "invalidRecord");  // before it is parsed
  EXPECT_EQ(decoded(big.substr(0, 8000000)), "no error");
  // 10 000 entries are read, one more is refused.
  auto many = [](int count) {
    std::string members;
    for (int i = 0; i < count; ++i) members += "\"k\":0,";
    return R"({"version":2,"entries":{)" + members + R"("k":0}})";
  };
  EXPECT_EQ(decoded(many(9999)), "no error");
  EXPECT_EQ(decoded(many(10000)), "invalidRecord");

  TempDir dir;
  fs::path statusFile = dir / "agent-hooks/last-status.json";
  EXPECT_TRUE(OrcaSessionIndex::load(dir.path(), now).sessions.empty());
  writeFile(dir / "agent-hooks/real.json", file(entries));
  fs::create_symlink("real.json", statusFile);
  EXPECT_EQ(testing::errorOf([&] { OrcaSessionIndex::load(dir.path(), now); }), "invalidRecord");
  fs::rename(dir / "agent-hooks/real.json", statusFile);
  EXPECT_EQ(OrcaSessionIndex::load(dir.path(), now).sessions.size(), 1u);
}

TEST(OrcaSessionIndex, MatchesTaskIDsInAnyCaseAndOpensThePane) {
  OrcaSessionIndex index{decode(entry)};
  json claude = entry;
  claude["payload"]["agentType"] = "claude";
  index.sessions.push_back(decode(claude).at(0));
  EXPECT_EQ(index.matches("CODEX-" + session), (std::vector{index.sessions[0]}));
  EXPECT_EQ(index.matches("claude-" + session), (std::vector{index.sessions[1]}));
  EXPECT_TRUE(index.matches(session).empty());

  TaskStatus task("codex-" + session, "t", LightState::working, now, std::string(codexSource));
  EXPECT_EQ(task.openDestination(), TaskOpenDestination::desktopURL("codex://threads/" + session));
  task.orcaSession = index.sessions[0];
  EXPECT_EQ(task.openDestination(), TaskOpenDestination::orcaTask(task.id));
}

}  // namespace
}  // namespace lantrel
