// Everything `lantrel` shows, gathered at one instant the way the menu bar
// application gathers it: the tasks of every source merged into one list, the
// read state that tells read from unread, and the sources that could not be
// read.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"
#include "lantrel/tray_summary.hpp"
#include "lantrel/visible_state.hpp"

namespace lantrel::view {

struct Snapshot {
  Instant now;
  // Local, Codex, Claude and Orca tasks, with their Orca panes attached and
  // duplicates folded, newest first, at most 30 Codex and 30 Claude tasks.
  std::vector<TaskStatus> tasks;
  TaskReadState readState;
  // One line per source left out, naming it and why.
  std::vector<std::string> problems;
  // Read-state files that exist but could not be read. Their member of
  // readState is empty, and `read` must not replace such a file.
  std::vector<std::filesystem::path> unreadableStates;

  // Reads every source at `now`. Never fails: a source that cannot be read
  // adds a problem and no tasks.
  static Snapshot gather(Instant now);

  // The task with exactly this ID, or null.
  const TaskStatus* find(std::string_view id) const;
};

// A listed task and the state it shows.
struct Row {
  const TaskStatus* task;
  LightState shown;
};

// The tasks that `window` includes, in the menu's order of states (waiting,
// failed, working, unread, done, then unknown), newest first within a state.
std::vector<Row> listed(const Snapshot& snapshot, ActivityWindow window);

}  // namespace lantrel::view
