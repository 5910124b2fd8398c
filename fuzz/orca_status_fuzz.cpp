// Orca's agent status file: every pane it yields is found again by the ID of
// the task it belongs to.
#include <algorithm>
#include <cstdlib>

#include "fuzz_support.hpp"
#include "lantrel/orca_session_index.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::refusalsAllowed([&] {
    OrcaSessionIndex index = OrcaSessionIndex::decode(fuzz::bytes(data, size), Instant{800000000});
    for (const OrcaSessionReference& session : index.sessions) {
      auto found = index.matches(session.taskID());
      if (std::find(found.begin(), found.end(), session) == found.end()) std::abort();
    }
  });
  return 0;
}
