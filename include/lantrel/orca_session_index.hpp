// Which agent session runs in which Orca pane, read from the status file
// that Orca's agent hooks keep, and where a task is opened.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

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

  // Tasks read from the transcripts the references name, one per usable
  // reference, in index order, each carrying its reference. A transcript
  // counts only when it is an absolute ".jsonl" path below `home` with no
  // symbolic link on the way, was modified within the last 24 hours, and
  // records the reference's own session. Never fails: an unusable
  // reference gives no task.
  std::vector<TaskStatus> transcriptTasks(const std::filesystem::path& home, Instant now) const;

  // Merges a combined task list: gives each task its Orca pane (the latest
  // live reference, else `retained`, keyed by lower-cased task ID as in
  // OrcaReadState::ownership, else its own), folds tasks whose IDs differ
  // only in case into the most recently updated one (keeping a real name
  // over a fallback "Codex task 3f1c2a9e" name, and a known pane), orders
  // them newest first (equal times by ID), and keeps every local task but
  // only the `limit` newest Codex and the `limit` newest Claude tasks.
  std::vector<TaskStatus> applying(
      std::vector<TaskStatus> tasks,
      const std::map<std::string, OrcaSessionReference>& retained, std::int64_t limit) const;
};

}  // namespace lantrel
