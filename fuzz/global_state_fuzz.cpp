// The Codex desktop's global state: the unread set and the project names.
// The state is checked whole but only three members are built; that check
// must refuse exactly what a full parse refuses and build the same members.
#include <cstdlib>

#include "fuzz_support.hpp"
#include "lantrel/codex_read_state.hpp"
#include "support/json.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes = fuzz::bytes(data, size);
  fuzz::refusalsAllowed([&] { CodexReadState::decode(bytes); });
  fuzz::refusalsAllowed([&] { CodexProjects::decode(bytes); });

  json::Parser whole, members;
  files::ReadBuffer buffer;
  std::optional<json::Element> full = whole.parse(bytes, false);
  std::optional<json::Element> built;
  try {
    built = members.members(buffer, buffer.copy(bytes), {"local-projects", "a"}, "state");
  } catch (const DecodingError&) {
  }
  if (full.has_value() != built.has_value()) std::abort();
  if (!full) return 0;
  if (!full->is_object()) {
    if (simdjson::to_string(*built) != simdjson::to_string(*full)) std::abort();
    return 0;
  }
  for (std::string_view key : {"local-projects", "a"}) {
    json::Element expected, got;
    bool present = full->at_key(key).get(expected) == simdjson::SUCCESS;
    if ((built->at_key(key).get(got) == simdjson::SUCCESS) != present) std::abort();
    if (present && simdjson::to_string(got) != simdjson::to_string(expected)) std::abort();
  }
  return 0;
}
