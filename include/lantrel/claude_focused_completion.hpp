// Which finished Claude task to announce when the user comes back to the
// Claude desktop app: the conversation focused there most recently, while
// its result is still unread.
#pragma once

#include <optional>
#include <vector>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"
#include "lantrel/visible_state.hpp"

namespace lantrel {

struct ClaudeFocusedCompletion {
  // Of the Claude tasks outside Orca that carry a desktop focus time, the one
  // focused last (the earlier in `tasks` on a tie), when its visible state at
  // `now` is unread; nothing otherwise. An older unread task never stands in
  // for a newer read one.
  static std::optional<TaskStatus> unreadCandidate(const std::vector<TaskStatus>& tasks,
                                                   const TaskReadState& readState,
                                                   Instant now = Instant::now());
};

}  // namespace lantrel
