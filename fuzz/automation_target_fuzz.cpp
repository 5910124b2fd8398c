// A Codex automation definition: its target thread line.
#include <cstdlib>

#include "fuzz_support.hpp"
#include "lantrel/codex_automation.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto thread = CodexAutomationIndex::targetThreadID(fuzz::bytes(data, size));
  // A target is always a lower-case UUID.
  if (thread && thread->size() != 36) std::abort();
  return 0;
}
