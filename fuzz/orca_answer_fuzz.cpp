// An answer of Orca's command-line tool: read as a result and as a terminal
// list; a handle found is always "term_" and a UUID.
#include <cstdlib>

#include "fuzz_support.hpp"
#include "lantrel/orca_navigation.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const OrcaSessionReference reference{"codex", "3f1c2a9e-1111-4111-8111-111111111111",
                                       "A1B2C3D4-0000-4000-8000-00000000000A",
                                       "b1b2c3d4-0000-4000-8000-000000000001", "wt-1", Instant{0},
                                       std::nullopt};
  std::string_view answer = fuzz::bytes(data, size);
  fuzz::refusalsAllowed([&] { OrcaNavigator::result(answer); });
  fuzz::refusalsAllowed([&] {
    std::string handle = OrcaNavigator::resolve(answer, reference);
    if (handle.size() != 41 || handle.compare(0, 5, "term_") != 0) std::abort();
  });
  return 0;
}
