#include "lantrel/status_store.hpp"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <simdjson.h>

#include "support/files.hpp"

namespace lantrel {

namespace {

constexpr std::size_t maximumIDLength = 100;

bool isIDCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '_';
}

// 1 to 100 ASCII letters, digits, "-" and "_": no "/", "." or "..", so a
// file never lands outside the store's directory.
void checkID(std::string_view id) {
  if (id.empty() || id.size() > maximumIDLength) throw StatusError(StatusError::invalidID);
  for (char c : id)
    if (!isIDCharacter(c)) throw StatusError(StatusError::invalidID);
}

}  // namespace

std::filesystem::path StatusStore::defaultDirectory() {
  return files::homeDirectory() / "Library/Application Support/Lantrel/tasks";
}

std::filesystem::path StatusStore::location(std::string_view id) const {
  checkID(id);
  return directory / (std::string(id) + ".json");
}

void StatusStore::write(const TaskStatus& task) const {
  std::filesystem::path file = location(task.id);
  std::string data = task.encoded();
  // A record that load would refuse must not reach the disk: it would break
  // every later listing of the directory.
  if (data.size() > maximumRecordBytes) throw StatusError(StatusError::invalidRecord);
  files::createDirectories(directory);
  files::replaceAtomically(file, data, 0600);
}

void StatusStore::remove(std::string_view id) const {
  std::filesystem::path file = location(id);
  // ENOTDIR: something other than a directory stands where the store's
  // directory belongs, so no task file can exist.
  if (::unlink(file.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
    files::throwErrno("cannot remove file", file, errno);
}

std::vector<TaskStatus> StatusStore::load() const {
  std::vector<TaskStatus> tasks;
  simdjson::dom::parser parser;  // one parser for every record
  files::forEachEntry(directory, [&](std::string_view name, unsigned char type) {
    if (!files::hasJSONExtension(name)) return;
    if (type != DT_REG && type != DT_UNKNOWN) throw StatusError(StatusError::invalidRecord);
    std::string data;
    try {
      data = files::readOwnFile(directory / name, maximumRecordBytes);
    } catch (const std::filesystem::filesystem_error& error) {
      // Removed between the listing and the read: the task is gone, which
      // is no reason to fail the whole listing.
      if (error.code() == std::errc::no_such_file_or_directory) return;
      throw;
    }
    TaskStatus task = TaskStatus::decode(data, parser);
    checkID(task.id);
    // The record must be the one its file name promises.
    if (name.size() != task.id.size() + 5 || name.substr(0, task.id.size()) != task.id)
      throw StatusError(StatusError::invalidRecord);
    tasks.push_back(std::move(task));
  });
  return tasks;
}

}  // namespace lantrel
