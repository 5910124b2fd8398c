// A Claude Code hook event: ingest it twice (the second time over the record
// the first wrote), and whatever was written must load again.
#include <filesystem>

#include "fuzz_support.hpp"
#include "lantrel/claude_hook_store.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ClaudeHookStore store{fuzz::scratchDirectory() / "claude-events"};
  Instant now = Instant::fromUnix(1759320000);
  fuzz::refusalsAllowed([&] {
    store.ingest(fuzz::bytes(data, size), now);
    store.ingest(fuzz::bytes(data, size), now + 1);
  });
  store.loadAll(now + 1);  // a refusal here is a record we wrote and cannot read
  std::filesystem::remove_all(store.directory);
  return 0;
}
