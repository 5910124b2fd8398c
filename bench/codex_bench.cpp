// lantrel-status codex on a worst-case Codex home (see make_codex_home)
// against a floor measured as interleaved pairs (see pairs.hpp): a minimal C
// program that reads exactly the byte ranges the command must read, each
// once, and stats the same directory tree. Then `lantrel --json`, which
// reads every source, on the same home (the other sources absent) against
// `lantrel-status codex`, each pair in alternating order.
//
//   build/bench/bench/codex_bench
//
// The workload (about 300 MB) goes to a temporary directory under $TMPDIR
// (default /tmp) and is removed at the end.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "pairs.hpp"

namespace {

namespace fs = std::filesystem;

fs::path workspace;
Pairs pairs;

std::map<std::string, std::string> codexEnvironment() {
  return {{"HOME", (workspace / "home").string()},
          {"CODEX_HOME", (workspace / "home/.codex").string()}};
}

ProcessRun codex() { return runProcess({LANTREL_STATUS_BINARY, "codex"}, codexEnvironment()); }

void Codex(benchmark::State& state) {
  for (auto _ : state)
    pairs.add(state, "codex floor", runProcess({LANTREL_FLOOR_BINARY, (workspace / "plan.txt").string()}),
              "codex", codex());
}

void View(benchmark::State& state) {
  bool viewFirst = false;
  for (auto _ : state) {
    ProcessRun first = viewFirst ? runProcess({LANTREL_VIEW_BINARY, "--json"}, codexEnvironment()) : codex();
    ProcessRun second = viewFirst ? codex() : runProcess({LANTREL_VIEW_BINARY, "--json"}, codexEnvironment());
    pairs.add(state, "codex (view)", viewFirst ? second : first, "lantrel --json", viewFirst ? first : second);
    viewFirst = !viewFirst;
  }
}

// Lines of a command's output on the worst-case home.
int linesOf(const std::vector<std::string>& args, std::string_view separator) {
  fs::path listing = workspace / "listing.txt";
  runProcess(args, codexEnvironment(), "/dev/null", listing.c_str());
  std::ifstream in(listing);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int lines = 0;
  for (std::size_t at = 0; (at = text.find(separator, at)) != std::string::npos; at += separator.size())
    ++lines;
  return lines;
}

}  // namespace

BENCHMARK(Codex)->Iterations(21)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(View)->Iterations(21)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  std::string pattern = (fs::temp_directory_path() / "lantrel-codex-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  workspace = pattern;
  runProcess({LANTREL_MAKE_CODEX_HOME_BINARY, workspace.string()});

  // Both must list the full 30 tasks, or they measure the wrong thing: a
  // line each, and in the view's tooltip a line each, joined by "\n".
  int codexLines = linesOf({LANTREL_STATUS_BINARY, "codex"}, "\n");
  int viewLines = linesOf({LANTREL_VIEW_BINARY, "--json"}, "\\n") + 1;
  std::printf("codex lists %d tasks, lantrel --json %d\n", codexLines, viewLines);
  if (codexLines != 30 || viewLines != 30) return 1;

  runPairs(argc, argv, [] {
    pairs.report("codex", "codex floor", 1.5);
    pairs.report("lantrel --json", "codex (view)", 1.2);
  });
  fs::remove_all(workspace);
}
