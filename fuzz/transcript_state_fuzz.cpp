// The tail of a Codex transcript: the state it gives must encode.
#include "fuzz_support.hpp"
#include "lantrel/session_reader.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TaskStatus task = SessionReader::parse(fuzz::bytes(data, size),
                                         "codex-3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6", "name");
  (void)task.encoded();
  return 0;
}
