#include "lantrel/orca_session_index.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "lantrel/orca_local_file.hpp"
#include "orca_fixtures.hpp"
#include "support/files.hpp"

namespace lantrel {
namespace {

constexpr const char* tab = orcaTab;
constexpr const char* leaf = "b1b2c3d4-0000-4000-8000-00000000000b";
constexpr const char* session = "3F1C2A9E-1111-4111-8111-111111111111";
const Instant now{800000000};

// Milliseconds since 1970 for an entry reported `age` seconds before now.
double receivedAt(double age) { return (now.unixSeconds() - age) * 1000; }

json validEntry() {
  return {{"paneKey", std::string(tab) + ":" + leaf},
          {"connectionId", nullptr},
          {"payload", {{"agentType", "codex"}, {"state", "working"}}},
          {"providerSession",
           {{"key", "session_id"}, {"id", session}, {"transcriptPath", "/home/u/t.jsonl"}}},
          {"tabId", tab},
          {"worktreeId", "wt-1"},
          {"receivedAt", receivedAt(30)}};
}

std::string file(const json& entries, json version = 2) {
  return json{{"version", version}, {"entries", entries}}.dump();
}

// The index of a file holding one entry under its own pane key.
OrcaSessionIndex single(const json& entry) {
  return OrcaSessionIndex::decode(file({{entry["paneKey"].get<std::string>(), entry}}), now);
}

void expectRefused(const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << "expected invalidRecord";
  } catch (const StatusError& e) {
    EXPECT_EQ(e.code(), StatusError::invalidRecord);
  }
}

TEST(OrcaSessionIndex, DecodesAReference) {
  auto index = single(validEntry());
  ASSERT_EQ(index.sessions.size(), 1u);
  const auto& r = index.sessions[0];
  EXPECT_EQ(std::tie(r.provider, r.sessionID, r.tabID, r.leafID, r.worktreeID),
            std::make_tuple("codex", "3f1c2a9e-1111-4111-8111-111111111111", tab, leaf, "wt-1"));
  EXPECT_DOUBLE_EQ(r.observedAt.seconds, now.seconds - 30);
  EXPECT_EQ(r.transcriptPath, "/home/u/t.jsonl");
  EXPECT_EQ(r.taskID(), "codex-3f1c2a9e-1111-4111-8111-111111111111");
}

TEST(OrcaSessionIndex, EntryRuleSkipsMalformedAndStaleEntries) {
  const std::string key = std::string(tab) + ":" + leaf;
  struct Case {
    const char* what;
    std::function<void(json&)> change;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"structured host", [](json& e) { e["structuredHost"] = nullptr; }, false},
      {"remote connection", [](json& e) { e["connectionId"] = "c1"; }, false},
      {"no connection member", [](json& e) { e.erase("connectionId"); }, true},
      {"third key part", [&](json& e) { e["paneKey"] = key + ":x"; }, false},
      {"other agent", [](json& e) { e["payload"]["agentType"] = "gemini"; }, false},
      {"claude", [](json& e) { e["payload"]["agentType"] = "claude"; }, true},
      {"session key", [](json& e) { e["providerSession"]["key"] = "sessionId"; }, false},
      {"session id", [](json& e) { e["providerSession"]["id"] = "not-a-uuid"; }, false},
      {"tab not uuid", [](json& e) { e["tabId"] = "tab"; }, false},
      {"empty worktree", [](json& e) { e["worktreeId"] = ""; }, false},
      {"8192 characters in more bytes",
       [](json& e) {
         std::string s;
         for (int i = 0; i < 8192; ++i) s += "\u00e9";
         e["worktreeId"] = s;
       },
       true},
      {"8193 characters", [](json& e) { e["worktreeId"] = std::string(8193, 'w'); }, false},
      {"receivedAt text", [](json& e) { e["receivedAt"] = "1"; }, false},
      {"61 s ahead", [](json& e) { e["receivedAt"] = receivedAt(-61); }, false},
      {"60 s ahead", [](json& e) { e["receivedAt"] = receivedAt(-60); }, true},
      {"7 days old", [](json& e) { e["receivedAt"] = receivedAt(604800); }, true},
      {"7 days and 1 s", [](json& e) { e["receivedAt"] = receivedAt(604801); }, false},
      {"relative transcript", [](json& e) { e["providerSession"]["transcriptPath"] = "t.jsonl"; },
       true},
  };
  for (const auto& c : cases) {
    json e = validEntry();
    c.change(e);
    EXPECT_EQ(single(e).sessions.size(), c.kept ? 1u : 0u) << c.what;
  }

  // The member's key must be the entry's own pane key, tab part exact.
  const std::string other = std::string(tab) + ":c1b2c3d4-0000-4000-8000-00000000000c";
  const std::string lower = std::string("a1b2c3d4-0000-4000-8000-00000000000a:") + leaf;
  const std::string badLeaf = std::string(tab) + ":leaf";
  for (const auto& [k, pane] : {std::pair{other, key}, {lower, lower}, {badLeaf, badLeaf}}) {
    json e = validEntry();
    e["paneKey"] = pane;
    EXPECT_TRUE(OrcaSessionIndex::decode(file({{k, e}}), now).sessions.empty()) << k;
  }
  EXPECT_TRUE(OrcaSessionIndex::decode(file({{key, json::array()}}), now).sessions.empty());

  json kept = validEntry();
  kept["providerSession"]["transcriptPath"] = "t.jsonl";
  EXPECT_FALSE(single(kept).sessions.at(0).transcriptPath);
}

TEST(OrcaSessionIndex, RefusesFilesOfTheWrongShape) {
  json entries = {{std::string(tab) + ":" + leaf, validEntry()}};
  for (const std::string& text : {file(entries, 1), file(entries, "2"), file(entries, 2.5),
                                   std::string(R"({"version":2})"),
                                   std::string(R"({"version":2,"entries":[]})"), std::string("[]")})
    expectRefused([&] { OrcaSessionIndex::decode(text, now); });
  EXPECT_THROW(OrcaSessionIndex::decode(R"({"version":2,"entries":{)", now), DecodingError);
  // Oversized data is refused before it is parsed.
  std::string big = R"({"version":2,"entries":{}})" + std::string(8000000, ' ');
  expectRefused([&] { OrcaSessionIndex::decode(big, now); });
  EXPECT_TRUE(OrcaSessionIndex::decode(big.substr(0, 8000000), now).sessions.empty());

  // 10 000 entries are read, one more is refused; a file full of junk
  // entries is simply empty. (Built as text: a tree this large is slow.)
  auto many = [](int count, bool junk) {
    json e = validEntry();
    e["paneKey"] = std::string(tab) + ":LEAF";
    if (junk) e["tabId"] = 7;
    std::string text = e.dump(), out = R"({"version":2,"entries":{)";
    std::size_t at = text.find("LEAF");
    for (int i = 0; i < count; ++i) {
      char leafID[37];
      std::snprintf(leafID, sizeof leafID, "b1b2c3d4-0000-4000-8000-%012d", i);
      std::string key = std::string(tab) + ":" + leafID;
      out += (i ? ",\"" : "\"") + key + "\":" + text.substr(0, at) + leafID +
             text.substr(at + 4);
    }
    return out + "}}";
  };
  EXPECT_EQ(OrcaSessionIndex::decode(many(10000, false), now).sessions.size(), 10000u);
  expectRefused([&] { OrcaSessionIndex::decode(many(10001, false), now); });
  EXPECT_TRUE(OrcaSessionIndex::decode(many(10000, true), now).sessions.empty());
}

TEST(OrcaSessionIndex, LoadReadsTheStatusFileStrictly) {
  TempDir dir;
  fs::path statusFile = dir / "agent-hooks/last-status.json";
  EXPECT_TRUE(OrcaSessionIndex::load(dir.path(), now).sessions.empty());

  writeFile(statusFile, file({{std::string(tab) + ":" + leaf, validEntry()}}));
  EXPECT_EQ(OrcaSessionIndex::load(dir.path(), now).sessions.size(), 1u);
  EXPECT_EQ(OrcaSessionIndex::root(), files::homeDirectory() / "Library/Application Support/Orca");

  // A link, a directory and an oversized file are all refused.
  fs::rename(statusFile, dir / "real.json");
  for (int i = 0; i < 3; ++i) {
    if (i == 0) fs::create_symlink(dir / "real.json", statusFile);
    if (i == 1) fs::create_directory(statusFile);
    if (i == 2) writeFile(statusFile, std::string(8000001, ' '));
    expectRefused([&] { OrcaSessionIndex::load(dir.path(), now); });
    fs::remove(statusFile);
  }
}

TEST(OrcaSessionIndex, MatchesAndOpenDestination) {
  json codex = validEntry();
  json claude = validEntry();
  claude["payload"]["agentType"] = "claude";
  claude["paneKey"] = std::string(tab) + ":c1b2c3d4-0000-4000-8000-00000000000c";
  json entries = {{codex["paneKey"].get<std::string>(), codex},
                  {claude["paneKey"].get<std::string>(), claude}};
  auto index = OrcaSessionIndex::decode(file(entries), now);

  auto found = index.matches(std::string("CODEX-") + session);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].leafID, leaf);
  EXPECT_EQ(index.matches(std::string("claude-") + session).at(0).provider, "claude");
  EXPECT_TRUE(index.matches(session).empty());

  TaskStatus task("codex-" + std::string(session), "t", LightState::working, now,
                  std::string(codexSource));
  EXPECT_EQ(task.openDestination(),
            TaskOpenDestination::desktopURL("codex://threads/" + std::string(session)));
  task.orcaSession = found[0];
  EXPECT_EQ(task.openDestination(), TaskOpenDestination::orcaTask(task.id));
  TaskStatus local("job", "t", LightState::working, now, std::string(localSource));
  EXPECT_FALSE(local.openDestination());
}

TEST(OrcaLocalFile, ValidateAndTail) {
  TempDir dir;
  fs::path f = dir / "t.jsonl";
  writeFile(f, "0123456789");
  EXPECT_EQ(OrcaLocalFile::tail(f, 4), "6789");  // no line feed: the bytes as they are
  EXPECT_EQ(OrcaLocalFile::tail(f, 0), "");
  EXPECT_THROW(OrcaLocalFile::tail(f, -1), std::invalid_argument);

  writeFile(f, "first\nsecond\nthird\nunfinished");
  EXPECT_EQ(OrcaLocalFile::tail(f, 100), "first\nsecond\nthird\n");
  EXPECT_EQ(OrcaLocalFile::tail(f, 20), "third\n");  // "ond\n" was cut, "unfinished" too

  OrcaLocalFile::validate(f, 29);
  expectRefused([&] { OrcaLocalFile::validate(f, 28); });
  expectRefused([&] { OrcaLocalFile::validate(f, -1); });
  OrcaLocalFile::validate(f, std::numeric_limits<std::int64_t>::max());
  fs::create_symlink(f, dir / "link.jsonl");
  expectRefused([&] { OrcaLocalFile::tail(dir / "link.jsonl", 10); });
  expectRefused([&] { OrcaLocalFile::validate(dir.path(), 1 << 20); });
  EXPECT_THROW(OrcaLocalFile::validate(dir / "missing", 10), fs::filesystem_error);

  // A transcript beyond 64 000 000 bytes is not read even for its tail.
  fs::path big = dir / "big.jsonl";
  writeFile(big, "");
  fs::resize_file(big, 64000001);
  expectRefused([&] { OrcaLocalFile::tail(big, 10); });
  fs::resize_file(big, 64000000);
  EXPECT_EQ(OrcaLocalFile::tail(big, 3), std::string(3, '\0'));
}

}  // namespace
}  // namespace lantrel
