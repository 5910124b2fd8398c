#include "lantrel/visible_state.hpp"

namespace lantrel {

TaskReadState::Keeper TaskReadState::keeperOf(const TaskStatus& task) {
  if (task.isOrcaTask()) return Keeper::orca;
  switch (task.provider()) {
    case TaskProvider::local: return Keeper::none;
    case TaskProvider::claude: return Keeper::claude;
    case TaskProvider::codex:
      return task.isScheduled == true ? Keeper::codexAutomations : Keeper::codex;
  }
  return Keeper::none;
}

bool TaskReadState::hasRead(const TaskStatus& task) const {
  switch (keeperOf(task)) {
    case Keeper::none: return false;
    case Keeper::codex: return codex.hasRead(task);
    case Keeper::codexAutomations: return codexAutomations.hasRead(task);
    case Keeper::orca: return orca.hasRead(task);
    case Keeper::claude: return claude.hasRead(task);
  }
  return false;
}

template <>
LightState TaskStatus::visibleState(Instant now, const CodexReadState& readState) const {
  // As a TaskReadState whose other members know nothing as read.
  bool read = TaskReadState::keeperOf(*this) == TaskReadState::Keeper::codex &&
              readState.hasRead(*this);
  LightState shown = visibleStateIfRead(now);
  return shown == LightState::done && !read ? LightState::unread : shown;
}

}  // namespace lantrel
