// Scheduled Codex automations: which threads their runs go to, and up to
// when the user has seen each such thread's results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "lantrel/instant.hpp"
#include "lantrel/read_times_state.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

// Reads the automation definitions, "automations/<name>/automation.toml" in
// the Codex home. Only the line `target_thread_id = "<uuid>"` (optionally
// followed by a "#" comment) is used.
struct CodexAutomationIndex {
  // At most this many directory entries are looked at, in listing order.
  static constexpr std::size_t maximumEntries = 500;
  // Larger definition files are ignored.
  static constexpr std::uint64_t maximumDefinitionBytes = 256'000;

  // The lower-cased target thread IDs of the automations in `home`. Missing
  // or unlistable directories give an empty set, and bad definitions
  // contribute nothing; only an entry whose attributes cannot be read throws.
  static std::set<std::string> load(const std::filesystem::path& home);
  // The lower-cased target thread ID of one definition file's bytes. Only the
  // first target line counts, even when its value is no UUID.
  static std::optional<std::string> targetThreadID(std::string_view bytes);
};

// Runs of scheduled automations, by their lower-cased thread ID
// (TaskStatus::codexThreadID): the keys of CodexAutomationReadState.
struct AutomationThreadKey {
  static constexpr std::string_view fileName = "codex-automation-read-state.json";
  static std::optional<std::string> of(const TaskStatus& task) {
    if (task.provider() != TaskProvider::codex || task.isScheduled != true) return std::nullopt;
    return task.codexThreadID();
  }
};

// Per automation thread, the instant up to which the user has seen its
// results; the `codexAutomations` member of TaskReadState.
using CodexAutomationReadState = ReadTimesState<AutomationThreadKey>;

}  // namespace lantrel
