// Lines of the Codex desktop log.
#include "fuzz_support.hpp"
#include "lantrel/desktop_attention.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto records = DesktopAttention::parse(fuzz::bytes(data, size));
  std::vector<TaskStatus> tasks;
  for (const auto& record : records)
    if (record.threadID)
      tasks.emplace_back("codex-" + *record.threadID, "n", LightState::working, record.date,
                         std::string(codexSource));
  DesktopAttention::applying(records, std::move(tasks), Instant::fromUnix(1759320000));
  return 0;
}
