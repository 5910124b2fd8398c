// Up to when the user has seen each Claude Code session's result; the
// `claude` member of TaskReadState, in "claude-read-state.json".
#pragma once

#include "lantrel/read_times_state.hpp"

namespace lantrel {

// Claude tasks, by their Claude Code session ID (TaskStatus::claudeSessionID).
struct ClaudeSessionKey {
  static constexpr std::string_view fileName = "claude-read-state.json";
  static std::optional<std::string> of(const TaskStatus& task) { return task.claudeSessionID(); }
};

using ClaudeReadState = ReadTimesState<ClaudeSessionKey>;

}  // namespace lantrel
