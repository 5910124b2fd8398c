#include "lantrel/status_store.hpp"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include <simdjson.h>

#include "support/files.hpp"

namespace lantrel {

namespace {

constexpr std::size_t maximumIDLength = 100;

bool isIDCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '_';
}

bool hasJSONExtension(std::string_view name) {
  // Like a path extension: the text after the last dot of a name that is
  // more than that dot (".json" alone is a hidden file without extension).
  std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot > 0 && name.substr(dot + 1) == "json";
}

// 1 to 100 ASCII letters, digits, "-" and "_": no "/", "." or "..", so a
// file never lands outside the store's directory.
void checkID(std::string_view id) {
  if (id.empty() || id.size() > maximumIDLength) throw StatusError(StatusError::invalidID);
  for (char c : id)
    if (!isIDCharacter(c)) throw StatusError(StatusError::invalidID);
}

struct DirectoryCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

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
  if (::unlink(file.c_str()) != 0 && errno != ENOENT)
    files::throwErrno("cannot remove file", file, errno);
}

std::vector<TaskStatus> StatusStore::load() const {
  std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(directory.c_str()));
  if (!listing) {
    if (errno == ENOENT) return {};
    files::throwErrno("cannot list directory", directory, errno);
  }
  std::vector<TaskStatus> tasks;
  simdjson::dom::parser parser;  // one parser for every record
  errno = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    std::string_view name = entry->d_name;
    if (!hasJSONExtension(name)) continue;
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN)
      throw StatusError(StatusError::invalidRecord);
    std::string data = files::readOwnFile(directory / name, maximumRecordBytes);
    TaskStatus task = TaskStatus::decode(data, parser);
    checkID(task.id);
    // The record must be the one its file name promises.
    if (name.size() != task.id.size() + 5 || name.substr(0, task.id.size()) != task.id)
      throw StatusError(StatusError::invalidRecord);
    tasks.push_back(std::move(task));
    errno = 0;
  }
  if (errno != 0) files::throwErrno("cannot list directory", directory, errno);
  return tasks;
}

}  // namespace lantrel
