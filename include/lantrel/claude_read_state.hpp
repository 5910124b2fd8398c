// Up to when the user has seen each Claude Code session's result; the
// `claude` member of TaskReadState. Stored as
// {"readAt": {"<session id>": "2025-10-01T12:34:56Z", ...}}.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

struct ClaudeReadState {
  static constexpr std::uint64_t maximumFileBytes = 1'000'000;

  // Claude Code session ID (TaskStatus::claudeSessionID) -> read time.
  std::map<std::string, Instant> readAt;

  ClaudeReadState() = default;
  explicit ClaudeReadState(std::map<std::string, Instant> readAt_) : readAt(std::move(readAt_)) {}

  // ~/Library/Application Support/Lantrel/claude-read-state.json
  static std::filesystem::path defaultURL();

  // A missing file is an empty state. A link, a non-regular file or one above
  // maximumFileBytes throws StatusError::invalidRecord; undecodable content
  // (including a missing "readAt") throws DecodingError. Nothing is written.
  static ClaudeReadState load(const std::filesystem::path& url);
  // The file format without the file checks of load().
  static ClaudeReadState decode(std::string_view bytes);
  // Replaces the file atomically (0600; created directories 0700). A time with
  // a fraction is written as the next whole second, so a saved mark never
  // moves before the moment it covered.
  void save(const std::filesystem::path& url) const;

  // True for a Claude task whose session was read at or after its updatedAt.
  bool hasRead(const TaskStatus& task) const;
  // Stores the later of `at` and the task's updatedAt for its session,
  // replacing any earlier entry; tasks without a Claude session are ignored.
  void markRead(const TaskStatus& task, Instant at);

  bool operator==(const ClaudeReadState&) const = default;
};

}  // namespace lantrel
