// Which Orca pane each Orca task was last seen in, and when the user last
// read it, so that finished Orca tasks show as read or unread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

struct OrcaReadState {
  static constexpr std::int64_t maximumFileBytes = 8'000'000;
  // Ownership entries observed this long ago or earlier are dropped.
  static constexpr double ownershipLifetime = 604'800;  // seven days

  // Both maps are keyed by the task's ID lower-cased.
  std::map<std::string, OrcaSessionReference> ownership;
  std::map<std::string, Instant> readAt;

  OrcaReadState() = default;

  // ~/Library/Application Support/Lantrel/orca-state.json
  static std::filesystem::path defaultURL();

  // A missing file is an empty state. A link, a non-regular file or one above
  // maximumFileBytes throws StatusError::invalidRecord; malformed JSON or a
  // missing "ownership" or "readAt" throws DecodingError. Nothing is written.
  static OrcaReadState load(const std::filesystem::path& url);
  // Writes the state (sorted keys, compact, instants as seconds since 2001)
  // atomically with mode 0600, creating missing directories with 0700. When
  // the file already holds exactly these bytes nothing is written.
  void save(const std::filesystem::path& url) const;

  // True for an Orca task read at or after its updatedAt.
  bool hasRead(const TaskStatus& task) const;
  // Records an Orca task as read up to its updatedAt; other tasks are ignored.
  void markRead(const TaskStatus& task);
  // Takes the panes of the current task list as ownership, drops ownership
  // observed seven days or more before `now`, and keeps only the read times
  // of tasks still owned or listed with a pane.
  void remember(const std::vector<TaskStatus>& tasks, Instant now);

  bool operator==(const OrcaReadState&) const = default;
};

}  // namespace lantrel
