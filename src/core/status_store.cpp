#include "lantrel/status_store.hpp"

#include <algorithm>

#include "support/files.hpp"
#include "support/json.hpp"
#include "support/status_json.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

constexpr std::size_t maximumIDLength = 100;

// 1 to 100 ASCII letters, digits, "-" and "_": no "/", "." or "..", so a
// file never lands outside the store's directory.
void checkID(std::string_view id) {
  auto allowed = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_';
  };
  if (id.empty() || id.size() > maximumIDLength || !std::ranges::all_of(id, allowed))
    throw StatusError(StatusError::invalidID);
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
  // A task without a name is no report, whoever writes it.
  if (text::trimmed(text::repairUTF8(task.name)).empty())
    throw StatusError(StatusError::invalidRecord);
  std::filesystem::path file = location(task.id);
  std::string data = task.encoded();
  // A record that load would refuse must not reach the disk: it would break
  // every later listing of the directory.
  if (data.size() > maximumRecordBytes) throw StatusError(StatusError::invalidRecord);
  files::createDirectories(directory);
  files::replaceAtomically(file, data, 0600);
}

void StatusStore::remove(std::string_view id) const { files::removeFile(location(id)); }

std::vector<TaskStatus> StatusStore::load() const {
  std::vector<TaskStatus> tasks;
  files::ReadBuffer buffer;  // one buffer and one parser for every record
  json::Parser parser;
  files::walk(directory, {}, [&](const files::DirectoryEntry& entry) {
    if (!files::hasExtension(entry.name, "json")) return true;
    if (entry.kind != files::DirectoryEntry::regularFile)
      throw StatusError(StatusError::invalidRecord);
    // Removed between the listing and the read: the task is gone, which is
    // no reason to fail the whole listing.
    auto data = files::readOwnFile(entry, maximumRecordBytes, buffer);
    if (!data) return true;
    TaskStatus task = taskStatus(parser.parse(*data, true, "task record"));
    checkID(task.id);
    // The record must be the one its file name promises.
    if (entry.name.size() != task.id.size() + 5 || !entry.name.starts_with(task.id))
      throw StatusError(StatusError::invalidRecord);
    tasks.push_back(std::move(task));
    return true;
  });
  return tasks;
}

}  // namespace lantrel
