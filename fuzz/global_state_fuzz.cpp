// The Codex desktop's global state: the unread set and the project names.
#include "fuzz_support.hpp"
#include "lantrel/codex_read_state.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::refusalsAllowed([&] { CodexReadState::decode(fuzz::bytes(data, size)); });
  fuzz::refusalsAllowed([&] { CodexProjects::decode(fuzz::bytes(data, size)); });
  return 0;
}
