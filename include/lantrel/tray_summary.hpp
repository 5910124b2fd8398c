// The menu bar's summary of many tasks: urgency, per-state counts, the four
// lamps, titles and menu lines, sound cues, and the recency windows that pick
// which tasks are listed. Everything here is a pure function of visible
// states (TaskStatus::visibleState).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"
#include "lantrel/visible_state.hpp"

namespace lantrel {

// Urgency: 0 (waiting) is the most urgent, then failed, unknown, unread,
// working, and done (5).
int rank(LightState state);
// The most urgent state of the list (the first of equals); unknown when empty.
LightState aggregate(const std::vector<LightState>& states);

struct MenuBarStatus {
  LightState state = LightState::unknown;
  int count = 0;
  bool operator==(const MenuBarStatus&) const = default;
};

// Counts in menu order (waiting, failed, working, unread, done), only states
// that occur. With none of them, the single entry (aggregate, its count):
// (unknown, 0) for an empty list.
std::vector<MenuBarStatus> menuBarStatuses(const std::vector<LightState>& states);

// "3 Waiting", "1 Failed", "2 Finished", "4 Working"; empty below 1 and for
// done and unknown.
std::string menuBarTitle(LightState state, int count);
// "<project> · <state text>" when the trimmed project name is not empty,
// else the state text ("Finished" for done).
std::string menuDetail(LightState state, const std::optional<std::string>& projectName);

enum class StatusSound { finished, attention };
// The system sound to play: "Glass" or "Ping".
std::string_view systemFileName(StatusSound sound);
// The sound for a change to `state` from `from` (absent: a new task). No
// sound when nothing changed.
std::optional<StatusSound> soundCue(LightState state, std::optional<LightState> from);

struct TrayLampCounts {
  int red = 0;    // waiting + failed
  int amber = 0;  // working
  int blue = 0;   // unread
  int green = 0;  // done

  TrayLampCounts() = default;
  explicit TrayLampCounts(const std::vector<MenuBarStatus>& statuses);
  bool operator==(const TrayLampCounts&) const = default;
};

// How far back the menu lists tasks.
struct ActivityWindow {
  enum Value { hour = 1, twoHours = 2, fourHours = 4, day = 24 };  // raw value: hours
  Value value = day;

  constexpr ActivityWindow(Value v) : value(v) {}

  static const std::array<ActivityWindow, 4> allCases;
  // Exactly 1, 2, 4 or 24.
  static std::optional<ActivityWindow> fromRawValue(int hours);
  // A stored hour count: 1, 2 and 4 give their windows, anything else a day.
  static ActivityWindow saved(int hours);

  int rawValue() const { return static_cast<int>(value); }
  double duration() const { return rawValue() * 3600.0; }
  std::string_view label() const;  // "Last hour", "Last 2 hours", ...

  // At most a minute in the future and younger than the window.
  bool contains(Instant date, Instant now) const;
  // A task whose attention is confirmed pending and shows waiting is always
  // listed; others when their updatedAt is contained.
  bool includes(const TaskStatus& task, Instant now, const TaskReadState& readState) const;

  bool operator==(const ActivityWindow&) const = default;
};

}  // namespace lantrel
