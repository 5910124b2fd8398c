#include "lantrel/visible_state.hpp"

namespace lantrel {

namespace {

// Working and waiting reports must be repeated within this many seconds.
constexpr double heartbeatLimit = 300;
// Reports dated further ahead than this come from a clock that cannot be
// trusted.
constexpr double futureTolerance = 60;

}  // namespace

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

LightState TaskStatus::visibleState(Instant now, const TaskReadState& readState) const {
  double age = now - updatedAt;
  if (!(age >= -futureTolerance)) return LightState::unknown;  // also NaN
  switch (state) {
    case LightState::done:
    case LightState::unread:
      return readState.hasRead(*this) ? LightState::done : LightState::unread;
    case LightState::failed: return LightState::failed;
    case LightState::waiting:
      if (confirmedAttentionPending == true) return LightState::waiting;
      break;
    case LightState::working:
    case LightState::unknown: break;
  }
  return age > heartbeatLimit ? LightState::unknown : state;
}

LightState TaskStatus::visibleState(Instant now, const CodexReadState& readState) const {
  TaskReadState all;
  all.codex = readState;
  return visibleState(now, all);
}

}  // namespace lantrel
