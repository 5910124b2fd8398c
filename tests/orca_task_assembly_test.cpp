#include <gtest/gtest.h>

#include "lantrel/orca_session_index.hpp"

namespace lantrel {
namespace {

OrcaSessionReference pane(std::string provider, std::string id, double observed) {
  return {provider, id, "tab", "leaf", "wt", Instant{observed}, std::nullopt};
}

TEST(OrcaTaskAssembly, ApplyingAttachesPanesFoldsDuplicatesAndCaps) {
  auto task = [](std::string id, double at, std::string name = "Named") {
    auto source = id[0] == 'l' ? localSource : id[1] == 'l' ? claudeSource : codexSource;
    return TaskStatus(id, name, LightState::done, Instant{at}, std::string(source));
  };
  OrcaSessionIndex index{{pane("codex", "aa", 1), pane("codex", "aa", 3), pane("claude", "bb", 9)}};
  std::string out;
  for (const auto& t : index.applying({task("codex-AA", 10, "Codex task aa"),
                                       task("codex-aa", 10, "Real"), task("claude-bb", 5, "Kept"),
                                       task("claude-BB", 9, "Claude task bb"),
                                       task("codex-cc", 20), task("l", 1)},
                                      {{"codex-cc", pane("codex", "cc", 2)}}, 1))
    out += t.id + " " + t.name + " " +
           (t.orcaSession ? std::to_string(int(t.orcaSession->observedAt.seconds)) : "-") + "; ";
  EXPECT_EQ(out, "codex-cc Named 2; claude-BB Kept 9; l Named -; ");
}

}  // namespace
}  // namespace lantrel
