// The Codex session index, read by a load of a Codex home with one recent
// transcript: whatever names the task does so in valid UTF-8.
#include <fcntl.h>
#include <sys/stat.h>

#include "fuzz_support.hpp"
#include "lantrel/session_reader.hpp"
#include "support/text.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path transcript = [] {
    std::filesystem::create_directories(fuzz::scratchDirectory() / "sessions/2026/01/01");
    return fuzz::scratchFile(R"({"timestamp":"2025-10-01T12:00:00Z","type":"session_meta",)"
                             R"("payload":{"id":"3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6"}})" "\n",
                             "sessions/2026/01/01/x.jsonl");
  }();
  const Instant now = Instant::fromUnix(1759320000);
  const timespec times[2] = {{1759320000, 0}, {1759320000, 0}};  // modified at `now`
  if (::utimensat(AT_FDCWD, transcript.c_str(), times, 0) != 0) std::abort();
  fuzz::scratchFile(fuzz::bytes(data, size), "session_index.jsonl");
  for (const TaskStatus& task : SessionReader::load(fuzz::scratchDirectory(), now, 5))
    if (!text::isValidUTF8(task.name)) std::abort();
  return 0;
}
