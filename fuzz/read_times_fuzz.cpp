// The automation and Claude read-state files.
#include "fuzz_support.hpp"
#include "lantrel/claude_read_state.hpp"
#include "lantrel/codex_automation.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::refusalsAllowed([&] { CodexAutomationReadState::decode(fuzz::bytes(data, size)); });
  fuzz::refusalsAllowed([&] { ClaudeReadState::decode(fuzz::bytes(data, size)); });
  return 0;
}
