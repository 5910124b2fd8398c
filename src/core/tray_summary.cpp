#include "lantrel/tray_summary.hpp"

#include <algorithm>

#include "support/text.hpp"

namespace lantrel {

namespace {

// What the menu shows of each state, in the order of LightState.
struct StateSummary {
  int rank;                  // 0 is the most urgent
  std::string_view suffix;   // of the title; empty: no title
  std::string_view detail;   // the menu line
  std::optional<StatusSound> sound;
};

constexpr StateSummary summaries[] = {
    {4, " Working", "Working", std::nullopt},                               // working
    {0, " Waiting", "Needs your attention", StatusSound::attention},        // waiting
    {5, "", "Finished", std::nullopt},                                      // done
    {3, " Finished", "Finished · unread", StatusSound::finished},           // unread
    {1, " Failed", "Failed", StatusSound::attention},                       // failed
    {2, "", "Unknown / disconnected", std::nullopt},                        // unknown
};

const StateSummary& summary(LightState state) { return summaries[static_cast<int>(state)]; }

// The menu lists states in this order; unknown has no place in it.
constexpr LightState menuOrder[] = {LightState::waiting, LightState::failed, LightState::working,
                                    LightState::unread, LightState::done};

int occurrences(const std::vector<LightState>& states, LightState state) {
  return static_cast<int>(std::count(states.begin(), states.end(), state));
}

}  // namespace

int rank(LightState state) { return summary(state).rank; }

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
  if (count < 1 || summary(state).suffix.empty()) return {};
  return std::to_string(count) + std::string(summary(state).suffix);
}

std::string menuDetail(LightState state, const std::optional<std::string>& projectName) {
  std::string_view text = summary(state).detail;
  std::string_view project = projectName ? text::trimmed(*projectName) : std::string_view();
  if (project.empty()) return std::string(text);
  return std::string(project) + " · " + std::string(text);
}

std::string_view systemFileName(StatusSound sound) {
  return sound == StatusSound::finished ? "Glass" : "Ping";
}

std::optional<StatusSound> soundCue(LightState state, std::optional<LightState> from) {
  if (from == state) return std::nullopt;
  return summary(state).sound;
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
  return fromRawValue(hours).value_or(day);
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
  return age >= -futureTolerance && age < duration();
}

bool ActivityWindow::includes(const TaskStatus& task, Instant now,
                              const TaskReadState& readState) const {
  if (task.confirmedAttentionPending == true &&
      task.visibleState(now, readState) == LightState::waiting)
    return true;
  return contains(task.updatedAt, now);
}

}  // namespace lantrel
