#include "lantrel/visible_state.hpp"

namespace lantrel {

bool TaskReadState::hasRead(const TaskStatus& task) const {
  if (task.isOrcaTask()) return orca.hasRead(task);
  switch (task.provider()) {
    case TaskProvider::local: return false;
    case TaskProvider::claude: return claude.hasRead(task);
    case TaskProvider::codex:
      return task.isScheduled == true ? codexAutomations.hasRead(task) : codex.hasRead(task);
  }
  return false;
}

template <>
LightState TaskStatus::visibleState(Instant now, const CodexReadState& readState) const {
  // Routed as by a TaskReadState whose other members know nothing as read.
  bool read = !isOrcaTask() && provider() == TaskProvider::codex && isScheduled != true &&
              readState.hasRead(*this);
  LightState shown = visibleStateIfRead(now);
  return shown == LightState::done && !read ? LightState::unread : shown;
}

}  // namespace lantrel
