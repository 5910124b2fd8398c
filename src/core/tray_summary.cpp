#include "lantrel/tray_summary.hpp"

#include <algorithm>

#include "support/text.hpp"

namespace lantrel {

namespace {

// The menu lists states in this order; unknown has no place in it.
constexpr LightState menuOrder[] = {LightState::waiting, LightState::failed, LightState::working,
                                    LightState::unread, LightState::done};

int occurrences(const std::vector<LightState>& states, LightState state) {
  return static_cast<int>(std::count(states.begin(), states.end(), state));
}

}  // namespace

int rank(LightState state) {
  switch (state) {
    case LightState::waiting: return 0;
    case LightState::failed: return 1;
    case LightState::unknown: return 2;
    case LightState::unread: return 3;
    case LightState::working: return 4;
    case LightState::done: return 5;
  }
  return 2;
}

LightState aggregate(const std::vector<LightState>& states) {
  if (states.empty()) return LightState::unknown;
  LightState result = states.front();
  for (LightState state : states)
    if (rank(state) < rank(result)) result = state;
  return result;
}

std::vector<MenuBarStatus> menuBarStatuses(const std::vector<LightState>& states) {
  std::vector<MenuBarStatus> statuses;
  for (LightState state : menuOrder)
    if (int count = occurrences(states, state); count > 0) statuses.push_back({state, count});
  if (statuses.empty()) {
    LightState state = aggregate(states);
    statuses.push_back({state, occurrences(states, state)});
  }
  return statuses;
}

std::string menuBarTitle(LightState state, int count) {
  if (count < 1) return {};
  std::string_view suffix;
  switch (state) {
    case LightState::waiting: suffix = " Waiting"; break;
    case LightState::failed: suffix = " Failed"; break;
    case LightState::unread: suffix = " Finished"; break;
    case LightState::working: suffix = " Working"; break;
    case LightState::done:
    case LightState::unknown: return {};
  }
  return std::to_string(count) + std::string(suffix);
}

std::string menuDetail(LightState state, const std::optional<std::string>& projectName) {
  // A finished, read task is just "Finished" in the menu.
  std::string_view text = state == LightState::done ? "Finished" : label(state);
  if (projectName) {
    std::string_view project = text::trimmed(*projectName);
    if (!project.empty()) return std::string(project) + " · " + std::string(text);
  }
  return std::string(text);
}

std::string_view systemFileName(StatusSound sound) {
  return sound == StatusSound::finished ? "Glass" : "Ping";
}

std::optional<StatusSound> soundCue(LightState state, std::optional<LightState> from) {
  if (from == state) return std::nullopt;
  switch (state) {
    case LightState::waiting:
    case LightState::failed: return StatusSound::attention;
    case LightState::unread: return StatusSound::finished;
    case LightState::working:
    case LightState::done:
    case LightState::unknown: break;
  }
  return std::nullopt;
}

TrayLampCounts::TrayLampCounts(const std::vector<MenuBarStatus>& statuses) {
  auto first = [&](LightState state) {
    auto it = std::find_if(statuses.begin(), statuses.end(),
                           [&](const MenuBarStatus& s) { return s.state == state; });
    return it == statuses.end() ? 0 : it->count;
  };
  for (const MenuBarStatus& status : statuses)
    if (status.state == LightState::waiting || status.state == LightState::failed)
      red += status.count;
  amber = first(LightState::working);
  blue = first(LightState::unread);
  green = first(LightState::done);
}

const std::array<ActivityWindow, 4> ActivityWindow::allCases = {
    ActivityWindow::hour, ActivityWindow::twoHours, ActivityWindow::fourHours,
    ActivityWindow::day};

std::optional<ActivityWindow> ActivityWindow::fromRawValue(int hours) {
  for (ActivityWindow window : allCases)
    if (window.rawValue() == hours) return window;
  return std::nullopt;
}

ActivityWindow ActivityWindow::saved(int hours) {
  // A stored 24, or anything unexpected, means a day.
  if (hours == 1 || hours == 2 || hours == 4) return *fromRawValue(hours);
  return day;
}

std::string_view ActivityWindow::label() const {
  switch (value) {
    case hour: return "Last hour";
    case twoHours: return "Last 2 hours";
    case fourHours: return "Last 4 hours";
    case day: break;
  }
  return "Last day";
}

bool ActivityWindow::contains(Instant date, Instant now) const {
  double age = now - date;
  return age >= -60 && age < duration();
}

bool ActivityWindow::includes(const TaskStatus& task, Instant now,
                              const TaskReadState& readState) const {
  if (task.confirmedAttentionPending == true &&
      task.visibleState(now, readState) == LightState::waiting)
    return true;
  return contains(task.updatedAt, now);
}

}  // namespace lantrel
