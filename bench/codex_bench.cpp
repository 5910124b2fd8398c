// Wall time and peak memory of `lantrel-status codex` on a worst-case Codex
// home (see make_codex_home), against a floor measured in the same run: a
// minimal C program that reads exactly the byte ranges the command must read
// and stats the same directory tree. Each time is the median of the
// repetitions; the memory figure is the largest resident set of any run.
//
// Then `lantrel --json`, which reads every source, on the same home (the
// other sources absent) against `lantrel-status codex`: 21 interleaved pairs,
// each pair in alternating order, and the ratio of the two medians.
//
//   build-bench/bench/codex_bench [--benchmark_repetitions=N]
//
// The workload (about 300 MB) goes to a temporary directory under $TMPDIR
// (default /tmp) and is removed at the end.
#include <benchmark/benchmark.h>

#include "median_reporter.hpp"
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

fs::path workspace;
std::map<std::string, long> peakKilobytes;

// Runs a program to completion with the environment changed by `env`,
// standard output to `output`; returns the child's peak resident set in KiB.
long spawnAndWait(const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env = {},
                  const char* output = "/dev/null") {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (!env.count(entry.substr(0, entry.find('=')))) environment.push_back(entry);
  }
  for (const auto& [key, value] : env) environment.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  int status;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "command failed: %s\n", args[0].c_str());
    std::abort();
  }
  return usage.ru_maxrss;
}

std::map<std::string, std::string> codexEnvironment() {
  return {{"HOME", (workspace / "home").string()},
          {"CODEX_HOME", (workspace / "home/.codex").string()}};
}

void record(const char* name, long kilobytes) {
  long& peak = peakKilobytes[name];
  if (kilobytes > peak) peak = kilobytes;
}

void Floor(benchmark::State& state) {
  for (auto _ : state)
    record("Floor", spawnAndWait({LANTREL_FLOOR_BINARY, (workspace / "plan.txt").string()}));
}

void Codex(benchmark::State& state) {
  for (auto _ : state)
    record("Codex", spawnAndWait({LANTREL_STATUS_BINARY, "codex"}, codexEnvironment()));
}

class RatioReporter : public MedianReporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    double floor = medians_["Floor"], codex = medians_["Codex"];
    std::printf("codex  median %.1f ms, floor %.1f ms, ratio %.2fx (target 2x)\n", codex, floor,
                codex / floor);
    std::printf("codex  peak memory %.1f MiB, floor %.1f MiB (target 64 MiB)\n",
                peakKilobytes["Codex"] / 1024.0, peakKilobytes["Floor"] / 1024.0);
  }

};

// Milliseconds of one run of `args` on the worst-case home.
double timed(const std::vector<std::string>& args, const char* name) {
  auto start = std::chrono::steady_clock::now();
  record(name, spawnAndWait(args, codexEnvironment()));
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Interleaved so that both commands meet the same machine and page cache.
void viewAgainstCodex(int pairs) {
  std::vector<double> codex, view;
  for (int i = 0; i < pairs; ++i) {
    if (i % 2 == 0) codex.push_back(timed({LANTREL_STATUS_BINARY, "codex"}, "Codex"));
    view.push_back(timed({LANTREL_VIEW_BINARY, "--json"}, "View"));
    if (i % 2 == 1) codex.push_back(timed({LANTREL_STATUS_BINARY, "codex"}, "Codex"));
  }
  std::printf("lantrel --json  median %.1f ms, lantrel-status codex %.1f ms, ratio %.2fx "
              "(target 1.2x, %d pairs)\n",
              median(view), median(codex), median(view) / median(codex), pairs);
  std::printf("lantrel --json  peak memory %.1f MiB\n", peakKilobytes["View"] / 1024.0);
}

}  // namespace

BENCHMARK(Floor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Codex)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  std::string pattern = (fs::temp_directory_path() / "lantrel-codex-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  workspace = pattern;
  spawnAndWait({LANTREL_MAKE_CODEX_HOME_BINARY, workspace.string()});

  // The command must list the full 30 tasks, or it measures the wrong thing.
  fs::path listing = workspace / "listing.txt";
  spawnAndWait({LANTREL_STATUS_BINARY, "codex"}, codexEnvironment(), listing.c_str());
  std::ifstream in(listing);
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  std::printf("codex lists %d tasks\n", lines);
  if (lines != 30) return 1;

  // The view must list the same 30 tasks: one tooltip line each.
  spawnAndWait({LANTREL_VIEW_BINARY, "--json"}, codexEnvironment(), listing.c_str());
  std::ifstream view(listing);
  std::string object((std::istreambuf_iterator<char>(view)), std::istreambuf_iterator<char>());
  std::size_t pos = 0;
  for (lines = 1; (pos = object.find("\\n", pos)) != std::string::npos; ++pos) ++lines;
  std::printf("lantrel --json lists %d tasks\n", lines);
  if (lines != 30) return 1;

  RatioReporter reporter;
  runWithMedians(argc, argv, reporter);
  viewAgainstCodex(21);
  fs::remove_all(workspace);
}
