// lantrel-status set, claude-hook and list (200 tasks), each against a floor
// that does the same unavoidable I/O in a minimal C program, as interleaved
// pairs (see pairs.hpp). The floor of set writes one small file the same
// atomic way; that of claude-hook also reads the event from standard input
// and the session's previous record; that of list reads the 200 files and
// writes them out.
//
//   build/bench/bench/cli_bench [--benchmark_min_time=...]
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "pairs.hpp"

namespace {

namespace fs = std::filesystem;

fs::path workspace;
Pairs pairs;
constexpr int pairCount = 31;
const std::string session = "0199a3f2-1234-4abc-8def-0123456789ab";

fs::path listDirectory() {
  fs::path dir = workspace / "list";
  if (!fs::exists(dir))
    for (int i = 0; i < 200; ++i)
      runProcess({LANTREL_STATUS_BINARY, "set", "task-" + std::to_string(i), "working",
                  "Task number " + std::to_string(i), "--directory", dir.string()});
  return dir;
}

void Set(benchmark::State& state) {
  std::string floorDir = (workspace / "floor").string(), dir = (workspace / "set").string();
  fs::create_directories(floorDir);
  for (auto _ : state)
    pairs.add(state, "set floor", runProcess({LANTREL_FLOOR_BINARY, floorDir, "job"}), "set",
              runProcess({LANTREL_STATUS_BINARY, "set", "job", "working", "Nightly build",
                          "--directory", dir}));
}

// What Claude Code runs on every tool call: a prompt event that rewrites
// the session's record each time.
void ClaudeHook(benchmark::State& state) {
  fs::path records = workspace / "home/Library/Application Support/Lantrel/claude-events";
  std::string event = (workspace / "event.json").string();
  for (auto _ : state)
    pairs.add(state, "hook floor",
              runProcess({LANTREL_FLOOR_BINARY, records.string(), session, "--stdin"}, {},
                         event.c_str()),
              "claude-hook",
              runProcess({LANTREL_STATUS_BINARY, "claude-hook"},
                         {{"HOME", (workspace / "home").string()}}, event.c_str()));
}

void List200(benchmark::State& state) {
  std::string dir = listDirectory().string();
  for (auto _ : state)
    pairs.add(state, "list floor", runProcess({LANTREL_FLOOR_BINARY, "--read", dir}), "list",
              runProcess({LANTREL_STATUS_BINARY, "list", "--directory", dir}));
}

}  // namespace

BENCHMARK(Set)->Iterations(pairCount)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ClaudeHook)->Iterations(pairCount)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(List200)->Iterations(pairCount)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  char pattern[] = "/tmp/lantrel-bench-XXXXXX";
  workspace = mkdtemp(pattern);
  fs::create_directories(workspace / "home/Library/Application Support/Lantrel/claude-events");
  std::ofstream(workspace / "event.json")
      << R"({"session_id":")" << session << R"(","hook_event_name":"UserPromptSubmit",)"
      << R"("cwd":"/work/project","transcript_path":"/work/project/session.jsonl",)"
      << R"("prompt":"Fix the build"})";
  runPairs(argc, argv, [] {
    pairs.report("set", "set floor", 1.5);
    pairs.report("claude-hook", "hook floor", 1.5);
    pairs.report("list", "list floor", 1.5);
  });
  fs::remove_all(workspace);
}
