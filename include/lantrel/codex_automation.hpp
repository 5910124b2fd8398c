// Scheduled Codex automations: which threads their runs go to, and up to
// when the user has seen each such thread's results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "lantrel/instant.hpp"
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

// Per automation thread, the instant up to which the user has seen its
// results; the `codexAutomations` member of TaskReadState. Stored as
// {"readAt": {"<thread id>": "2025-10-01T12:34:56Z", ...}}.
struct CodexAutomationReadState {
  static constexpr std::uint64_t maximumFileBytes = 1'000'000;

  // Lower-cased thread ID (TaskStatus::codexThreadID) -> read time.
  std::map<std::string, Instant> readAt;

  // ~/Library/Application Support/Lantrel/codex-automation-read-state.json
  static std::filesystem::path defaultURL();

  // A missing file is an empty state. A link, a non-regular file or one above
  // maximumFileBytes throws StatusError::invalidRecord; undecodable content
  // throws DecodingError. Nothing is written.
  static CodexAutomationReadState load(const std::filesystem::path& url);
  // Throws DecodingError unless the bytes are an object with a "readAt" map
  // of whole-second ISO 8601 times.
  static CodexAutomationReadState decode(std::string_view bytes);
  // Replaces the file atomically (0600; created directories 0700). A time with
  // a fraction is written as the next whole second, so a saved mark never
  // moves before the moment it covered.
  void save(const std::filesystem::path& url) const;

  // True for a scheduled Codex task read at or after its updatedAt.
  bool hasRead(const TaskStatus& task) const;
  // Records a scheduled Codex task as read up to the later of `at` and its
  // updatedAt; other tasks are ignored.
  void markRead(const TaskStatus& task, Instant at);

  bool operator==(const CodexAutomationReadState&) const = default;
};

}  // namespace lantrel
