// Hand-reported tasks on disk: one JSON file per task, named by its ID, in a
// directory that belongs to the current user.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "lantrel/task_status.hpp"

namespace lantrel {

struct StatusStore {
  // A task file is refused when it is larger than this, on write and on read.
  static constexpr std::size_t maximumRecordBytes = 16384;

  std::filesystem::path directory;

  // ~/Library/Application Support/Lantrel/tasks
  static std::filesystem::path defaultDirectory();

  // The file of an ID: `directory`/ID.json. IDs are 1 to 100 characters of
  // ASCII letters, digits, "-" and "_", so no file lands outside `directory`;
  // anything else throws StatusError::invalidID.
  std::filesystem::path location(std::string_view id) const;

  // Replaces the task's file atomically (mode 0600; created directories 0700).
  // A task whose name is empty or only white space, or whose encoding
  // exceeds maximumRecordBytes, is refused with invalidRecord (the name
  // before the ID is checked) and the previous file stays as it was.
  void write(const TaskStatus& task) const;
  // Deletes the ID's file; a missing file is no error.
  void remove(std::string_view id) const;
  // Every stored task, in directory order. A missing directory is empty; one
  // bad file (link, not regular, oversized, undecodable, or named other than
  // its ID) fails the whole load.
  std::vector<TaskStatus> load() const;
};

}  // namespace lantrel
