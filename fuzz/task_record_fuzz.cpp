// A task file: what decodes must come back the same through its encoding.
#include <cstdlib>

#include "fuzz_support.hpp"
#include "lantrel/task_status.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::refusalsAllowed([&] {
    TaskStatus task = TaskStatus::decode(fuzz::bytes(data, size));
    if (TaskStatus::decode(task.encoded()) != task) std::abort();
  });
  return 0;
}
