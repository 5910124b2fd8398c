#include "lantrel/orca_session_index.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace lantrel {
namespace {

using nlohmann::json;
const std::string orcaTab = "A1B2C3D4-0000-4000-8000-00000000000A",
                  leaf = "b1b2c3d4-0000-4000-8000-00000000000b";
const std::string key = orcaTab + ":" + leaf;
const std::string session = "3f1c2a9e-1111-4111-8111-111111111111";
const Instant now{800000000};

// Milliseconds since 1970 for an entry reported `age` seconds before now.
double receivedAt(double age) { return (now.unixSeconds() - age) * 1000; }
const json entry = {
    {"paneKey", key}, {"connectionId", nullptr}, {"payload", {{"agentType", "codex"}}},
    {"providerSession", {{"key", "session_id"}, {"id", "3F1C2A9E-1111-4111-8111-111111111111"},
                         {"transcriptPath", "/t.jsonl"}}},
    {"tabId", orcaTab}, {"worktreeId", "wt-1"}, {"receivedAt", receivedAt(30)}};

std::vector<OrcaSessionReference> decode(const json& e, const std::string& member = key) {
  json file = {{"version", 2}, {"entries", {{member, e}}}};
  return OrcaSessionIndex::decode(file.dump(), now).sessions;
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
      {"/receivedAt", receivedAt(-60), true}, {"/receivedAt", receivedAt(604801), false}};
  for (const auto& [pointer, value, kept] : cases) {
    json e = entry;
    e[json::json_pointer(pointer)] = value;
    EXPECT_EQ(decode(e).size(), kept ? 1u : 0u) << pointer << " " << value;
  }
  // The member must be the entry's own pane key.
  EXPECT_TRUE(decode(entry, key.substr(0, key.size() - 1) + "c").empty());
}

TEST(OrcaSessionIndex, RefusesFilesOfTheWrongShapeOrSizeAndMatchesIDsInAnyCase) {
  auto decoded = [](const std::string& text) {
    return testing::errorOf([&] { OrcaSessionIndex::decode(text, now); });
  };
  EXPECT_EQ(decoded(R"({"version":1,"entries":{}})"), "invalidRecord");
  std::string big = R"({"version":2,"entries":{}})" + std::string(8000000, ' ');
  EXPECT_EQ(decoded(big), "invalidRecord");  // before it is parsed
  EXPECT_EQ(decoded(big.substr(0, 8000000)), "no error");

  OrcaSessionIndex index{decode(entry)};
  EXPECT_EQ(index.matches("CODEX-" + session), index.sessions);
  EXPECT_TRUE(index.matches("claude-" + session).empty());
}

}  // namespace
}  // namespace lantrel
