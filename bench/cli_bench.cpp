// Wall time of whole lantrel-status processes (set, list of 200 tasks,
// claude-hook) against floors measured in the same run: a minimal C program
// that writes one small file the same atomic way (after reading standard
// input, for the hook), and one that reads the 200 task files. Each figure
// is the median of the repetitions.
//
//   build/bench/cli_bench [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>

#include "median_reporter.hpp"
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

fs::path workspace;

// Runs a program to completion with stdin from `input` (or /dev/null) and
// stdout/stderr discarded.
void spawnAndWait(const std::vector<std::string>& args, const char* input = "/dev/null") {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  int status;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "command failed: %s\n", args[0].c_str());
    std::abort();
  }
}

void Floor(benchmark::State& state) {
  fs::path dir = workspace / "floor";
  fs::create_directories(dir);
  for (auto _ : state) spawnAndWait({LANTREL_FLOOR_BINARY, dir.string(), "job"});
}

fs::path listDirectory() {
  fs::path dir = workspace / "list";
  if (!fs::exists(dir))
    for (int i = 0; i < 200; ++i)
      spawnAndWait({LANTREL_STATUS_BINARY, "set", "task-" + std::to_string(i), "working",
                    "Task number " + std::to_string(i), "--directory", dir.string()});
  return dir;
}

// The least a listing of the same 200 files costs: read each one.
void ReadFloor200(benchmark::State& state) {
  fs::path dir = listDirectory();
  for (auto _ : state) spawnAndWait({LANTREL_FLOOR_BINARY, "--read", dir.string()});
}

// The floor for a hook: read the event from standard input, write one file.
void FloorStdin(benchmark::State& state) {
  fs::path dir = workspace / "floor";
  fs::create_directories(dir);
  std::string event = (workspace / "event.json").string();
  for (auto _ : state)
    spawnAndWait({LANTREL_FLOOR_BINARY, dir.string(), "job", "--stdin"}, event.c_str());
}

// What Claude Code runs on every tool call: a prompt event that rewrites
// the session's record each time.
void ClaudeHook(benchmark::State& state) {
  setenv("HOME", (workspace / "home").c_str(), 1);
  std::string event = (workspace / "event.json").string();
  for (auto _ : state) spawnAndWait({LANTREL_STATUS_BINARY, "claude-hook"}, event.c_str());
}

void Set(benchmark::State& state) {
  fs::path dir = workspace / "set";
  for (auto _ : state)
    spawnAndWait({LANTREL_STATUS_BINARY, "set", "job", "working", "Nightly build",
                  "--directory", dir.string()});
}

void List200(benchmark::State& state) {
  fs::path dir = listDirectory();
  for (auto _ : state) spawnAndWait({LANTREL_STATUS_BINARY, "list", "--directory", dir.string()});
}

// Collects the medians and prints each command's ratio to the floor.
class RatioReporter : public MedianReporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto ratio = [&](const char* name, const char* floor) {
      if (medians_.count(name) && medians_.count(floor))
        std::printf("%-10s median %.3f ms, %-12s %.3f ms, ratio %.2fx\n", name, medians_[name],
                    floor, medians_[floor], medians_[name] / medians_[floor]);
    };
    ratio("Set", "Floor");
    ratio("List200", "Floor");
    ratio("List200", "ReadFloor200");
    ratio("ClaudeHook", "FloorStdin");
  }

};

}  // namespace

BENCHMARK(Floor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FloorStdin)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ClaudeHook)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Set)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadFloor200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(List200)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  char pattern[] = "/tmp/lantrel-bench-XXXXXX";
  workspace = mkdtemp(pattern);
  std::ofstream(workspace / "event.json")
      << R"({"session_id":"0199a3f2-1234-4abc-8def-0123456789ab",)"
      << R"("hook_event_name":"UserPromptSubmit","cwd":"/work/project",)"
      << R"("transcript_path":"/work/project/session.jsonl","prompt":"Fix the build"})";
  RatioReporter reporter;
  runWithMedians(argc, argv, reporter);
  fs::remove_all(workspace);
}
