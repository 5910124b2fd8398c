#include "lantrel/claude_focused_completion.hpp"

namespace lantrel {

std::optional<TaskStatus> ClaudeFocusedCompletion::unreadCandidate(
    const std::vector<TaskStatus>& tasks, const TaskReadState& readState, Instant now) {
  const TaskStatus* latest = nullptr;
  for (const TaskStatus& task : tasks) {
    if (task.provider() != TaskProvider::claude || task.isOrcaTask() ||
        !task.providerSessionLastFocusedAt)
      continue;
    if (!latest || *task.providerSessionLastFocusedAt > *latest->providerSessionLastFocusedAt)
      latest = &task;
  }
  if (!latest || latest->visibleState(now, readState) != LightState::unread) return std::nullopt;
  return *latest;
}

}  // namespace lantrel
