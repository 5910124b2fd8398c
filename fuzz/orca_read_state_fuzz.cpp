// The Orca read-state file, read from disk as the application does.
#include "fuzz_support.hpp"
#include "lantrel/orca_read_state.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::filesystem::path file = fuzz::scratchFile(fuzz::bytes(data, size), "orca-state.json");
  fuzz::refusalsAllowed([&] { OrcaReadState::load(file); });
  return 0;
}
