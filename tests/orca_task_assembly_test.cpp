#include <gtest/gtest.h>

#include "codex_fixtures.hpp"
#include "lantrel/orca_session_index.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
const std::string sessionA = "3f1c2a9e-1111-4111-8111-111111111111";
const std::string sessionB = "4a2d2b63-1e7c-4a5f-8b68-3c2a1dae9f12";

OrcaSessionReference pane(std::string provider, std::string session, double observed,
                          std::optional<std::string> path = std::nullopt) {
  return {provider, session, "tab", "leaf", "wt", Instant{observed}, path};
}

TEST(OrcaTaskAssembly, TranscriptTasksReadOnlySafeRecentTranscripts) {
  testing::TempDir dir;
  fs::path home = fs::canonical(dir.path()) / "u";
  Instant now = Instant::now();
  std::string codex = testing::codex::sessionMeta(sessionA) +
                      testing::codex::userMessage(1, "fix the build");
  std::string claude = R"({"type":"user","sessionId":")" + sessionB +
                       R"(","timestamp":"2026-01-01T00:00:00Z","message":{"content":"Tidy"}})"
                       "\n";
  auto write = [&](const fs::path& path, const std::string& data, double age = 60) {
    testing::writeFile(path, data);
    testing::touch(path, now.unixSeconds() - age);
    return path.string();
  };
  write(home / "real/c.jsonl", codex);
  fs::create_directory_symlink(home / "real", home / "link");
  // provider, session, transcript, the name of the task it gives ("" none)
  std::vector<std::array<std::string, 4>> cases = {
      {"codex", sessionA, write(home / "a.jsonl", codex), "fix the build"},
      {"claude", sessionB, write(home / "b.jsonl", claude), "Tidy"},
      {"claude", sessionA, (home / "b.jsonl").string(), ""},  // records another session
      {"codex", sessionB, (home / "a.jsonl").string(), ""},
      {"codex", sessionA, write(home.string() + "2/a.jsonl", codex), ""},  // outside
      {"codex", sessionA, write(home / "a.json", codex), ""},
      {"codex", sessionA, (home / "link/c.jsonl").string(), ""},
      {"codex", sessionA, "u/a.jsonl", ""},
      {"codex", sessionA, write(home / "old.jsonl", codex, 86400), ""}};
  for (const auto& [provider, session, path, name] : cases) {
    OrcaSessionIndex index{{pane(provider, session, now.seconds, path)}};
    auto tasks = index.transcriptTasks(home, now);
    EXPECT_EQ(tasks.empty() ? "" : tasks[0].name + " " + tasks[0].id,
              name.empty() ? "" : name + " " + provider + "-" + session) << path;
    EXPECT_TRUE(tasks.empty() || tasks[0].orcaSession == index.sessions[0]);
  }
}

TEST(OrcaTaskAssembly, ApplyingAttachesPanesFoldsDuplicatesAndCaps) {
  auto task = [](std::string id, double at, std::string name = "Named") {
    auto source = id[0] == 'l' ? localSource : id[1] == 'l' ? claudeSource : codexSource;
    return TaskStatus(id, name, LightState::done, Instant{at}, std::string(source));
  };
  OrcaSessionIndex index{{pane("codex", "aa", 1), pane("codex", "aa", 3), pane("codex", "aa", 3),
                          pane("claude", "bb", 9)}};
  index.sessions[2].leafID = "later-in-index";
  std::map<std::string, OrcaSessionReference> retained = {{"codex-cc", pane("codex", "cc", 2)},
                                                          {"codex-aa", pane("codex", "aa", 7)}};
  TaskStatus own = task("codex-dd", 50);
  own.orcaSession = pane("codex", "dd", 4);
  std::vector<TaskStatus> tasks = {
      task("codex-AA", 10, "Codex task aa"), task("codex-aa", 10, "Real"),
      task("claude-bb", 5, "Kept"), task("claude-BB", 9, "Claude task bb"), task("codex-cc", 20),
      task("codex-CC", 20, "Other"), own, task("codex-DD", 60, "Codex task dd"), task("l", 1)};
  auto summary = [&](std::int64_t limit) {
    std::string out;
    for (const auto& t : index.applying(tasks, retained, limit)) {
      auto& p = t.orcaSession;
      out += t.id + " " + t.name + " " +
             (p ? std::to_string(int(p->observedAt.seconds)) + p->leafID : "-") + "; ";
    }
    return out;
  };
  // The newer codex-DD knows no pane and keeps the one codex-dd had.
  EXPECT_EQ(summary(3), "codex-DD Named 4leaf; codex-cc Named 2leaf; codex-AA Real 3leaf; "
                        "claude-BB Kept 9leaf; l Named -; ");
  EXPECT_EQ(summary(2),
            "codex-DD Named 4leaf; codex-cc Named 2leaf; claude-BB Kept 9leaf; l Named -; ");
  EXPECT_EQ(summary(0), "l Named -; ");
}

}  // namespace
}  // namespace lantrel
