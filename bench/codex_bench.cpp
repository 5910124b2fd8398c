// lantrel-status codex on a worst-case Codex home (see make_codex_home)
// against a floor measured as interleaved pairs (see pairs.hpp): a minimal C
// program that reads exactly the byte ranges the command must read, each
// once, and stats the same directory tree.
//
//   build/bench/bench/codex_bench
//
// The workload (about 300 MB) goes to a temporary directory under $TMPDIR
// (default /tmp) and is removed at the end.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "pairs.hpp"

namespace {

namespace fs = std::filesystem;

fs::path workspace;
Pairs pairs;

std::map<std::string, std::string> codexEnvironment() {
  return {{"HOME", (workspace / "home").string()},
          {"CODEX_HOME", (workspace / "home/.codex").string()}};
}

void Codex(benchmark::State& state) {
  for (auto _ : state)
    pairs.add(state, "codex floor", runProcess({LANTREL_FLOOR_BINARY, (workspace / "plan.txt").string()}),
              "codex", runProcess({LANTREL_STATUS_BINARY, "codex"}, codexEnvironment()));
}

}  // namespace

BENCHMARK(Codex)->Iterations(21)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  std::string pattern = (fs::temp_directory_path() / "lantrel-codex-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  workspace = pattern;
  runProcess({LANTREL_MAKE_CODEX_HOME_BINARY, workspace.string()});

  // The command must list the full 30 tasks, or it measures the wrong thing.
  fs::path listing = workspace / "listing.txt";
  runProcess({LANTREL_STATUS_BINARY, "codex"}, codexEnvironment(), "/dev/null", listing.c_str());
  std::ifstream in(listing);
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  std::printf("codex lists %d tasks\n", lines);
  if (lines != 30) return 1;

  runPairs(argc, argv, [] { pairs.report("codex", "codex floor", 1.5); });
  fs::remove_all(workspace);
}
