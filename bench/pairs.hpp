// Whole processes timed as interleaved pairs: each pair runs a command's
// floor, then the command, so that a slow moment of the machine falls on
// both. The report gives, per command, the medians of wall time and CPU
// time (user and system) over the pairs, the largest resident set of any
// run, and each median's ratio to its floor's.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

extern char** environ;

struct ProcessRun {
  double wallMs = 0, cpuMs = 0;
  long peakKiB = 0;
};

// Runs a program to its end with the environment changed by `env`, standard
// input from `input` and standard output to `output`; aborts unless it
// succeeds.
inline ProcessRun runProcess(const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env = {},
                             const char* input = "/dev/null", const char* output = "/dev/null") {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (!env.count(entry.substr(0, entry.find('=')))) environment.push_back(entry);
  }
  for (const auto& [key, value] : env) environment.push_back(key + "=" + value);
  auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
  };
  std::vector<std::string> argStrings = args;
  std::vector<char*> argv = pointers(argStrings), envp = pointers(environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  int status;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  ProcessRun run;
  run.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                   .count();
  auto ms = [](timeval t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  run.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
  run.peakKiB = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "command failed: %s\n", args[0].c_str());
    std::abort();
  }
  return run;
}

// The runs of every command and floor, by name.
class Pairs {
 public:
  // One pair; the command's wall time is the benchmark's iteration time.
  void add(benchmark::State& state, const char* floorName, ProcessRun floor,
           const char* commandName, ProcessRun command) {
    runs_[floorName].push_back(floor);
    runs_[commandName].push_back(command);
    state.SetIterationTime(command.wallMs / 1e3);
  }

  void report(const char* command, const char* floor, double goal) {
    if (!runs_.count(command) || !runs_.count(floor)) return;
    auto median = [&](const char* name, double ProcessRun::*field) {
      std::vector<double> values;
      for (const ProcessRun& run : runs_[name]) values.push_back(run.*field);
      std::sort(values.begin(), values.end());
      return values[values.size() / 2];
    };
    auto peak = [&](const char* name) {
      long most = 0;
      for (const ProcessRun& run : runs_[name]) most = std::max(most, run.peakKiB);
      return most / 1024.0;
    };
    double wall = median(command, &ProcessRun::wallMs), floorWall = median(floor, &ProcessRun::wallMs);
    double cpu = median(command, &ProcessRun::cpuMs), floorCpu = median(floor, &ProcessRun::cpuMs);
    std::printf("%-12s %zu pairs  wall %7.2f ms / %7.2f ms = %.2fx   cpu %7.2f ms / %7.2f ms = "
                "%.2fx   peak %.1f / %.1f MiB   (goal %.1fx)\n",
                command, runs_[command].size(), wall, floorWall, wall / floorWall, cpu, floorCpu,
                cpu / floorCpu, peak(command), peak(floor), goal);
  }

 private:
  std::map<std::string, std::vector<ProcessRun>> runs_;
};

// Runs the registered benchmarks, then `report`.
template <typename Report>
int runPairs(int argc, char** argv, Report report) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  report();
  return 0;
}
