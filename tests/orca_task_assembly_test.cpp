#include <gtest/gtest.h>

#include "codex_fixtures.hpp"
#include "lantrel/orca_session_index.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
const std::string sessionA = "3f1c2a9e-1111-4111-8111-111111111111";

OrcaSessionReference pane(std::string provider, std::string session, double observed,
                          std::optional<std::string> path = std::nullopt) {
  return {provider, session, "tab", "leaf", "wt", Instant{observed}, path};
}

TEST(OrcaTaskAssembly, TranscriptTasksReadOnlySafeRecentTranscripts) {
  testing::TempDir dir;
  fs::path home = fs::canonical(dir.path()) / "u";
  Instant now = Instant::now();
  std::string codex = testing::codex::sessionMeta(sessionA) + testing::codex::userMessage(1, "Fix");
  auto write = [&](const fs::path& path, double age = 60) {
    testing::writeFile(path, codex);
    testing::touch(path, now.unixSeconds() - age);
    return path.string();
  };
  write(home / "real/c.jsonl");
  fs::create_directory_symlink(home / "real", home / "link");
  // A transcript, and whether it gives the task.
  const std::pair<std::string, bool> cases[] = {
      {write(home / "a.jsonl"), true}, {write(home.string() + "2/a.jsonl"), false},  // outside
      {(home / "link/c.jsonl").string(), false}, {"u/a.jsonl", false},
      {write(home / "old.jsonl", 86400), false}};
  for (const auto& [path, given] : cases) {
    OrcaSessionIndex index{{pane("codex", sessionA, now.seconds, path)}};
    auto tasks = index.transcriptTasks(home, now);
    EXPECT_EQ(tasks.empty() ? "" : tasks[0].name + " " + tasks[0].id,
              given ? "Fix codex-" + sessionA : "") << path;
  }
}

TEST(OrcaTaskAssembly, ApplyingAttachesPanesFoldsDuplicatesAndCaps) {
  auto task = [](std::string id, double at, std::string name = "Named") {
    auto source = id[0] == 'l' ? localSource : id[1] == 'l' ? claudeSource : codexSource;
    return TaskStatus(id, name, LightState::done, Instant{at}, std::string(source));
  };
  OrcaSessionIndex index{{pane("codex", "aa", 1), pane("codex", "aa", 3), pane("claude", "bb", 9)}};
  std::map<std::string, OrcaSessionReference> retained = {{"codex-cc", pane("codex", "cc", 2)}};
  std::vector<TaskStatus> tasks = {
      task("codex-AA", 10, "Codex task aa"), task("codex-aa", 10, "Real"),
      task("claude-bb", 5, "Kept"), task("claude-BB", 9, "Claude task bb"), task("codex-cc", 20),
      task("l", 1)};
  auto summary = [&](std::int64_t limit) {
    std::string out;
    for (const auto& t : index.applying(tasks, retained, limit)) {
      auto& p = t.orcaSession;
      out += t.id + " " + t.name + " " + (p ? std::to_string(int(p->observedAt.seconds)) : "-") + "; ";
    }
    return out;
  };
  EXPECT_EQ(summary(2), "codex-cc Named 2; codex-AA Real 3; claude-BB Kept 9; l Named -; ");
  EXPECT_EQ(summary(1), "codex-cc Named 2; claude-BB Kept 9; l Named -; ");
}

}  // namespace
}  // namespace lantrel
