// Claude Code transcript lines: a task, when one comes back, is whole and
// survives its own encoding.
#include <cstdlib>

#include "fuzz_support.hpp"
#include "lantrel/claude_session_reader.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto task = ClaudeSessionReader::parse(fuzz::bytes(data, size),
                                         "3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6", "Claude task");
  if (task && TaskStatus::decode(task->encoded()) != *task) std::abort();
  return 0;
}
