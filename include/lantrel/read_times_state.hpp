// Up to when the user has seen each task's result, kept per key in a file of
// ours: {"readAt": {"<key>": "2025-10-01T12:34:56Z", ...}}, whole seconds in
// UTC. The Claude read state and the Codex automation read state are two of
// these; `Key` says which tasks each knows and by what key
// (claude_read_state.hpp, codex_automation.hpp).
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

template <typename Key>
struct ReadTimesState {
  static constexpr std::uint64_t maximumFileBytes = 1'000'000;

  // Key -> the instant up to which the task's result has been seen.
  std::map<std::string, Instant> readAt;

  ReadTimesState() = default;
  explicit ReadTimesState(std::map<std::string, Instant> times) : readAt(std::move(times)) {}

  // ~/Library/Application Support/Lantrel/<Key::fileName>
  static std::filesystem::path defaultURL();

  // A missing file is an empty state. A link, a non-regular file or one above
  // maximumFileBytes throws StatusError::invalidRecord; undecodable content
  // (a missing "readAt", a time that is not a whole-second ISO 8601 date)
  // throws DecodingError. Nothing is written.
  static ReadTimesState load(const std::filesystem::path& url);
  // The file format without the file checks of load().
  static ReadTimesState decode(std::string_view bytes);
  // Replaces the file atomically (0600; created directories 0700). A time
  // with a fraction is written as the next whole second, so a saved mark
  // never moves before the moment it covered.
  void save(const std::filesystem::path& url) const;

  // True for a task of this state whose key was read at or after its
  // updatedAt; false for every other task.
  bool hasRead(const TaskStatus& task) const {
    auto key = Key::of(task);
    auto entry = key ? readAt.find(*key) : readAt.end();
    return entry != readAt.end() && entry->second >= task.updatedAt;
  }
  // Stores the later of `at` and the task's updatedAt under its key,
  // replacing any earlier entry; other tasks are ignored.
  void markRead(const TaskStatus& task, Instant at) {
    if (auto key = Key::of(task)) readAt[*key] = std::max(at, task.updatedAt);
  }

  bool operator==(const ReadTimesState&) const = default;
};

}  // namespace lantrel
