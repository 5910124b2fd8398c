// Many runs of the built tool at once: none fails, no reader meets a torn
// file, and every writer's last record is there at the end.
#include <gtest/gtest.h>

#include "lantrel/claude_hook_store.hpp"
#include "lantrel/status_store.hpp"
#include "test_support.hpp"

using namespace lantrel;
using namespace lantrel::testing;

#ifndef LANTREL_STRESS_DIVISOR
#define LANTREL_STRESS_DIVISOR 1
#endif

// Runs per loop: `base` times LANTREL_STRESS_SCALE (1 unless set; the soak
// run sets 20), divided in sanitized builds, which start slowly.
static int runs(int base) {
  const char* scale = std::getenv("LANTREL_STRESS_SCALE");
  return std::max(1, base * std::max(1, scale ? std::atoi(scale) : 1) / LANTREL_STRESS_DIVISOR);
}

TEST(Stress, ConcurrentRunsLoseNothing) {
  TempDir home;
  fs::path lantrel = home / "Library/Application Support/Lantrel";
  std::string event = R"({"session_id":"6e2b1d7c-55a0-4f3b-9c8d-0123456789ab","cwd":"/tmp/p",)"
                      R"("transcript_path":"/tmp/p/t.jsonl","hook_event_name":")";
  std::vector<std::future<RunResult>> loops;
  // Runs `body` in a shell loop with the tool as $1 and two hook events as $2 and $3.
  auto loop = [&](int base, const std::string& body) {
    std::vector<std::string> args = {"-c", "i=0; while [ $i -lt " + std::to_string(runs(base)) +
        " ]; do i=$((i+1)); " + body + " || echo F; done", "sh", LANTREL_STATUS_BINARY,
        event + "UserPromptSubmit\"}", event + "Stop\"}"};
    loops.push_back(std::async(std::launch::async, [args, &home] {
      return run("/bin/sh", args, {{"HOME", home.path()}});
    }));
  };
  // Three writers share three IDs, and each heartbeats one of its own.
  for (std::string k : {"0", "1", "2"})
    loop(60, R"("$1" set task-$((i % 3)) working "beat $i" >/dev/null && "$1" set own-)" + k +
                 R"( working "beat $i" >/dev/null)");
  loop(40, R"("$1" remove gone && "$1" set gone done x >/dev/null)");
  loop(60, R"("$1" list >/dev/null)");
  for (int k = 0; k < 4; ++k)
    loop(15, R"(printf %s "$2" | "$1" claude-hook && printf %s "$3" | "$1" claude-hook)");
  // Meanwhile every load in this process meets whole records only.
  StatusStore store{lantrel / "tasks"};
  ClaudeHookStore hooks{lantrel / "claude-events"};
  for (auto& l : loops)
    while (l.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
      EXPECT_LE(hooks.loadAll(Instant::now()).size() + store.load().size(), 8u);
  for (auto& l : loops) EXPECT_EQ(l.get().out, "");
  EXPECT_EQ(hooks.loadAll(Instant::now()).size(), 1u);
  std::map<std::string, std::string> names;
  for (const TaskStatus& task : store.load()) names[task.id] = task.name;
  std::string last = "beat " + std::to_string(runs(60));
  EXPECT_EQ(names.size(), 7u);
  EXPECT_EQ(names["own-0"] + names["own-1"] + names["own-2"] + names["gone"],
            last + last + last + "x");
}
