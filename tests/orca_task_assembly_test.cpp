#include <gtest/gtest.h>

#include "codex_fixtures.hpp"
#include "lantrel/orca_session_index.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
namespace fx = testing::codex;
using testing::TempDir;
using testing::writeFile;

const std::string sessionA = "3f1c2a9e-1111-4111-8111-111111111111";
const std::string sessionB = "4a2d2b63-1e7c-4a5f-8b68-3c2a1dae9f12";

OrcaSessionReference reference(std::string provider, std::string session, double observed,
                               std::optional<std::string> path = std::nullopt) {
  return {std::move(provider), std::move(session), "tab", "leaf", "wt", Instant{observed},
          std::move(path)};
}

TEST(OrcaTaskAssembly, TranscriptTasksReadOnlySafeRecentTranscripts) {
  TempDir dir, outside;
  fs::path home = fs::canonical(dir.path()) / "u";
  Instant now = Instant::now();
  std::string codex = fx::sessionMeta(sessionA) + fx::userMessage(1, "fix the build");
  std::string claude = R"({"type":"user","sessionId":")" + sessionB +
                       R"(","timestamp":"2026-01-01T00:00:00Z","message":{"role":"user",)"
                       R"("content":"Tidy up"}})" "\n";
  auto write = [&](const fs::path& path, const std::string& data, double age = 60) {
    writeFile(path, data);
    testing::touch(path, now.unixSeconds() - age);
    return path.string();
  };
  fs::create_directories(home / "real");
  fs::create_symlink(home / "real", home / "link");
  write(home / "real/c.jsonl", codex);

  struct Case { std::string provider, session, path; std::optional<std::string> name; };
  std::vector<Case> cases = {
      {"codex", sessionA, write(home / "a.jsonl", codex), "fix the build"},
      {"claude", sessionB, write(home / "b.jsonl", claude), "Tidy up"},
      {"codex", sessionA, write(fs::canonical(outside.path()) / "a.jsonl", codex), {}},
      {"codex", sessionA, write(home / "a.json", codex), {}},
      {"codex", sessionA, write(home.string() + "2/a.jsonl", codex), {}},  // a sibling
      {"codex", sessionA, (home / "link/c.jsonl").string(), {}},
      {"codex", sessionA, (home / "../u/a.jsonl").string(), "fix the build"},
      {"codex", sessionA, "u/a.jsonl", {}},
      {"codex", sessionA, write(home / "old.jsonl", codex, 86400), {}},
      {"codex", sessionB, write(home / "other.jsonl", codex), {}},
      {"claude", sessionA, (home / "b.jsonl").string(), {}},  // records another session
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    OrcaSessionIndex index{{reference(c.provider, c.session, now.seconds, c.path)}};
    auto tasks = index.transcriptTasks(home, now);
    ASSERT_EQ(tasks.size(), c.name ? 1u : 0u);
    if (!c.name) continue;
    EXPECT_EQ(tasks[0].name, *c.name);
    EXPECT_EQ(tasks[0].id, c.provider + "-" + c.session);
    EXPECT_EQ(tasks[0].orcaSession, index.sessions[0]);
  }
}

TEST(OrcaTaskAssembly, ApplyingAttachesPanesFoldsDuplicatesAndCaps) {
  auto task = [](std::string id, double at, std::string name = "Named") {
    bool claude = id.starts_with("claude");
    return TaskStatus(std::move(id), std::move(name), LightState::done, Instant{at},
                      std::string(claude ? claudeSource : codexSource));
  };
  OrcaSessionIndex index{{reference("codex", "aa", 1), reference("codex", "aa", 3),
                          reference("codex", "aa", 3), reference("claude", "bb", 9)}};
  index.sessions[2].leafID = "later-in-index";
  std::map<std::string, OrcaSessionReference> retained = {
      {"codex-cc", reference("codex", "cc", 2)}, {"codex-aa", reference("codex", "aa", 7)}};
  TaskStatus own = task("codex-dd", 50);
  own.orcaSession = reference("codex", "dd", 4);
  TaskStatus paneless = task("codex-DD", 60, "Codex task dd");

  auto result = index.applying(
      {task("codex-AA", 10, "Codex task aa"), task("codex-aa", 10, "Real"),
       task("claude-bb", 5, "Kept"), task("claude-BB", 9, "Claude task bb"),
       task("codex-cc", 20), own, paneless, TaskStatus("local-1", "L", LightState::done,
                                                       Instant{1}, std::string(localSource))},
      retained, 3);
  std::vector<std::string> ids;
  for (const auto& t : result) ids.push_back(t.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"codex-DD", "codex-cc", "codex-AA", "claude-BB",
                                           "local-1"}));
  EXPECT_EQ(result[0].name, "Named");
  EXPECT_EQ(result[0].orcaSession, own.orcaSession);
  EXPECT_EQ(result[1].orcaSession, retained["codex-cc"]);
  EXPECT_EQ(result[2].name, "Real");
  EXPECT_EQ(result[2].orcaSession, index.sessions[1]);
  EXPECT_EQ(result[3].name, "Kept");
  EXPECT_EQ(result[3].orcaSession, index.sessions[3]);

  // Two of the three Codex tasks, the newest; with 0 only the local task.
  EXPECT_EQ(index.applying(result, retained, 2).size(), 4u);
  EXPECT_EQ(index.applying(result, retained, 2)[1].id, "codex-cc");
  auto none = index.applying(result, retained, 0);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0].id, "local-1");
}

}  // namespace
}  // namespace lantrel
