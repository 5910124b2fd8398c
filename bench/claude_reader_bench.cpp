// ClaudeSessionReader::load over a Claude Code projects directory of 5,000
// transcripts, 40 of them modified in the last hour and each over 2 MB,
// against floors measured in the same run:
//   FloorReadRanges  reads the same head and tail byte ranges of the 40
//                    recent transcripts (open, fstat, two preads, close);
//   FloorWalkAndRead also lists the directories and lstats every transcript,
//                    as any reader must to find the recent ones.
// The workload is generated into a temporary directory at start.
//
//   build-bench/bench/claude_reader_bench [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "lantrel/claude_session_reader.hpp"

namespace {

namespace fs = std::filesystem;
using lantrel::Instant;

constexpr int projectCount = 50;
constexpr int transcriptCount = 5000;
constexpr int recentCount = 40;
constexpr std::size_t recentBytes = 2'300'000;
constexpr std::uint64_t readBytes = lantrel::ClaudeSessionReader::transcriptReadBytes;

fs::path workspace;
std::vector<fs::path> recentFiles;

std::string uuid(int n) {
  char buffer[37];
  std::snprintf(buffer, sizeof buffer, "%08x-5c1e-4b7a-9d3f-%012x",
                static_cast<unsigned>(n) * 2654435761u, static_cast<unsigned>(n));
  return buffer;
}

// Lines shaped like Claude Code's: prompts, assistant turns with tool calls,
// tool results of a few bytes to a few hundred kilobytes.
class TranscriptWriter {
 public:
  TranscriptWriter(const std::string& session, std::uint32_t seed)
      : session_(session), random_(seed) {}

  // At least `minimumBytes`; tool results stay small unless `large`.
  std::string build(std::size_t minimumBytes, bool large = true) {
    std::string out;
    add(out, "user",
        "\"message\":{\"role\":\"user\",\"content\":\"Refactor the " + words(12) + "\"}");
    while (out.size() < minimumBytes) {
      add(out, "assistant",
          "\"message\":{\"model\":\"claude-sonnet-4-5\",\"role\":\"assistant\","
          "\"stop_reason\":\"tool_use\",\"content\":[{\"type\":\"text\",\"text\":\"" +
              words(40) +
              "\"},{\"type\":\"tool_use\",\"id\":\"toolu_01\",\"name\":\"Bash\",\"input\":"
              "{\"command\":\"rg -n parse src\",\"description\":\"" +
              words(8) +
              "\"}}]},"
              "\"requestId\":\"req_011\"");
      std::size_t resultBytes = large ? pick({200, 2'000, 12'000, 60'000, 350'000}) : 200;
      add(out, "user",
          "\"message\":{\"role\":\"user\",\"content\":[{\"tool_use_id\":\"toolu_01\","
          "\"type\":\"tool_result\",\"content\":\"" +
              words(resultBytes / 6) + "\",\"is_error\":false}]},\"toolUseResult\":{\"stdout\":\"" +
              words(20) + "\"}");
    }
    add(out, "assistant",
        "\"message\":{\"role\":\"assistant\",\"stop_reason\":\"end_turn\",\"content\":"
        "[{\"type\":\"text\",\"text\":\"Done.\"}]}");
    return out;
  }

 private:
  void add(std::string& out, const char* type, const std::string& body) {
    ++second_;
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "2026-12-01T%02d:%02d:%02d.%03dZ", second_ / 3600 % 24,
                  second_ / 60 % 60, second_ % 60, second_ % 1000);
    out +=
        "{\"parentUuid\":null,\"isSidechain\":false,\"userType\":\"external\","
        "\"cwd\":\"/Users/ana/src/lantrel\",\"sessionId\":\"" +
        session_ + "\",\"version\":\"2.0.14\",\"gitBranch\":\"main\",\"type\":\"" + type + "\"," +
        body + ",\"uuid\":\"" + uuid(second_) + "\",\"timestamp\":\"" + stamp + "\"}\n";
  }
  std::string words(std::size_t count) {
    static const char* const vocabulary[] = {"parse", "line", "state", "tool", "result",
                                             "json",  "file", "read",  "tail", "session\\n"};
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
      if (i) out.push_back(' ');
      out += vocabulary[random_() % 10];
    }
    return out;
  }
  std::size_t pick(std::initializer_list<std::size_t> sizes) {
    return sizes.begin()[random_() % sizes.size()];
  }

  std::string session_;
  std::mt19937 random_;
  int second_ = 0;
};

void writeFile(const fs::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void setModified(const fs::path& path, double unixSeconds) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(unixSeconds);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void generate() {
  char pattern[] = "/tmp/lantrel-claude-bench-XXXXXX";
  if (!::mkdtemp(pattern)) std::abort();
  workspace = pattern;
  double now = Instant::now().unixSeconds();
  std::string oldTranscript = TranscriptWriter(uuid(0), 1).build(3'000, false);
  for (int i = 0; i < transcriptCount; ++i) {
    fs::path directory =
        workspace / "projects" / ("-Users-ana-src-project-" + std::to_string(i % projectCount));
    fs::create_directories(directory);
    fs::path file = directory / (uuid(i + 1) + ".jsonl");
    bool recent = i % (transcriptCount / recentCount) == 0;
    writeFile(file, recent ? TranscriptWriter(uuid(i + 1), i).build(recentBytes) : oldTranscript);
    setModified(file, recent ? now - 60 - i : now - 3 * 86'400 - i);
    if (recent) recentFiles.push_back(file);
  }
}

// Head and tail of one file into a buffer used again for every file.
void readRanges(const fs::path& file, std::vector<char>& buffer) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  ::fstat(fd, &st);
  auto size = static_cast<std::uint64_t>(st.st_size);
  if (::pread(fd, buffer.data(), readBytes, 0) < 0) std::abort();
  if (::pread(fd, buffer.data() + readBytes, readBytes, static_cast<off_t>(size - readBytes)) < 0)
    std::abort();
  ::close(fd);
  benchmark::DoNotOptimize(buffer.data());
}

void FloorReadRanges(benchmark::State& state) {
  std::vector<char> buffer(2 * readBytes);
  for (auto _ : state)
    for (const fs::path& file : recentFiles) readRanges(file, buffer);
}

void FloorWalkAndRead(benchmark::State& state) {
  std::vector<char> buffer(2 * readBytes);
  double cutoff = Instant::now().unixSeconds() - 86'400;
  for (auto _ : state) {
    std::vector<fs::path> recent;
    fs::path projects = workspace / "projects";
    DIR* top = ::opendir(projects.c_str());
    while (const dirent* project = ::readdir(top)) {
      if (project->d_name[0] == '.') continue;
      fs::path directory = projects / project->d_name;
      DIR* listing = ::opendir(directory.c_str());
      while (const dirent* entry = ::readdir(listing)) {
        struct stat st;
        if (entry->d_name[0] == '.' ||
            ::fstatat(::dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
          continue;
        if (static_cast<double>(st.st_mtim.tv_sec) > cutoff)
          recent.push_back(directory / entry->d_name);
      }
      ::closedir(listing);
    }
    ::closedir(top);
    for (const fs::path& file : recent) readRanges(file, buffer);
  }
}

void Load(benchmark::State& state) {
  lantrel::ClaudeHookStore hooks{workspace / "claude-events"};
  for (auto _ : state) {
    auto tasks = lantrel::ClaudeSessionReader::load(workspace, hooks, Instant::now(),
                                                    workspace / "desktop", 50);
    if (tasks.size() != recentCount) std::abort();
    benchmark::DoNotOptimize(tasks.data());
  }
}

BENCHMARK(FloorReadRanges)->Unit(benchmark::kMillisecond);
BENCHMARK(FloorWalkAndRead)->Unit(benchmark::kMillisecond);
BENCHMARK(Load)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  generate();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(workspace);
  return 0;
}
