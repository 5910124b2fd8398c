// Which agent session runs in which Orca pane, read from the status file
// that Orca's agent hooks keep, and where a task is opened.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

// Where opening a task leads: its agent's desktop app (a deep link) or its
// Orca pane (brought to the front by OrcaNavigator).
struct TaskOpenDestination {
  enum Kind { desktop, orca };

  Kind kind;
  std::string target;  // the URL for desktop, the task ID for orca

  static TaskOpenDestination desktopURL(std::string url) { return {desktop, std::move(url)}; }
  static TaskOpenDestination orcaTask(std::string taskID) { return {orca, std::move(taskID)}; }
  bool operator==(const TaskOpenDestination&) const = default;
};

struct OrcaSessionIndex {
  // The status file is refused when larger than this.
  static constexpr std::int64_t fileLimit = 8000000;
  // ... or when it holds more entries than this.
  static constexpr std::size_t maximumEntries = 10000;

  // One reference per usable pane, in the order the file lists them.
  std::vector<OrcaSessionReference> sessions;

  // ~/Library/Application Support/Orca
  static std::filesystem::path root();

  // Reads root/agent-hooks/last-status.json. A missing file gives an empty
  // index; a symbolic link, a non-regular or oversized file, malformed JSON
  // or a file of the wrong shape throws (StatusError::invalidRecord for
  // refusals and shape, DecodingError for bad JSON, filesystem_error).
  static OrcaSessionIndex load(const std::filesystem::path& root, Instant now);

  // The decoding step of load. The file must be an object with "version" 2
  // and at most 10 000 "entries"; an entry that is malformed, not a plain
  // local pane, or was reported more than a minute ahead of `now` or more
  // than seven days before it is skipped.
  static OrcaSessionIndex decode(std::string_view data, Instant now);

  // The references that belong to the task (taskID compared lower-cased),
  // in index order.
  std::vector<OrcaSessionReference> matches(std::string_view taskID) const;
};

}  // namespace lantrel
