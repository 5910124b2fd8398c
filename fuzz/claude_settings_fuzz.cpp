// Claude Code settings: adding our hooks and removing them again leaves the
// user's hooks (the settings without ours) with the same JSON meaning, and
// adding twice is adding once.
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "fuzz_support.hpp"
#include "lantrel/claude_integration.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string command =
      ClaudeIntegration::command("/Users/u/Library/Application Support/Lantrel/bin/lantrel-status");
  std::string_view settings = fuzz::bytes(data, size);
  std::string added;
  fuzz::refusalsAllowed([&] { added = ClaudeIntegration::addingHooks(settings, command); });
  if (added.empty()) return 0;
  auto meaning = [](std::string_view text) { return nlohmann::json::parse(text); };
  if (meaning(ClaudeIntegration::removingHooks(added, command)) !=
      meaning(ClaudeIntegration::removingHooks(settings, command)))
    std::abort();
  if (ClaudeIntegration::addingHooks(added, command) != added) std::abort();
  return 0;
}
