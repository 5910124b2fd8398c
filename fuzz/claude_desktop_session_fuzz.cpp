// One Claude desktop session file under a root of its own: never an error,
// and whatever it maps comes with its desktop session ID.
#include <cstdlib>

#include "fuzz_support.hpp"
#include "lantrel/claude_session_reader.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path root = [] {
    std::filesystem::create_directory(fuzz::scratchDirectory() / "desktop");
    return fuzz::scratchDirectory() / "desktop";
  }();
  fuzz::scratchFile(fuzz::bytes(data, size), "desktop/local_session.json");
  auto snapshot = ClaudeDesktopSessionIndex::snapshot(root);
  for (const auto& [cli, focused] : snapshot.lastFocusedAt)
    if (!snapshot.sessionIDs.count(cli)) std::abort();
  return 0;
}
