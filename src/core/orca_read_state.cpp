#include "lantrel/orca_read_state.hpp"

#include "lantrel/errors.hpp"
#include "lantrel/orca_local_file.hpp"
#include "support/files.hpp"
#include "support/json.hpp"
#include "support/status_json.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

OrcaReadState decode(std::string_view bytes) {
  json::Parser parser;
  json::Record document(parser.parse(bytes, true, "Orca state"), "Orca state");
  OrcaReadState state;
  for (auto [key, value] : document.get<json::Object>("ownership"))
    state.ownership.insert_or_assign(std::string(key), orcaSessionReference(value));
  json::Record readAt(document.get<json::Object>("readAt"), "Orca state's read times");
  for (auto [key, value] : readAt.members())
    state.readAt.insert_or_assign(std::string(key), Instant{readAt.get<double>(key)});
  return state;
}

std::string encode(const OrcaReadState& state) {
  json::Writer w(json::Style::compactSorted);
  w.beginObject();
  w.key("ownership");
  w.beginObject();
  for (const auto& [key, reference] : state.ownership) {
    w.key(key);
    write(w, reference);
  }
  w.endObject();
  w.key("readAt");
  w.beginObject();
  for (const auto& [key, instant] : state.readAt) w.member(key, instant.seconds);
  w.endObject();
  w.endObject();
  return w.take();
}

}  // namespace

std::filesystem::path OrcaReadState::defaultURL() {
  return files::homeDirectory() / "Library/Application Support/Lantrel/orca-state.json";
}

OrcaReadState OrcaReadState::load(const std::filesystem::path& url) {
  if (!files::resourceValuesIfExists(url)) return OrcaReadState();
  OrcaLocalFile::validate(url, maximumFileBytes);
  // readOwnFile checks again on the opened file, without following links.
  files::ReadBuffer buffer;
  return decode(files::readOwnFile(url, static_cast<std::uint64_t>(maximumFileBytes), buffer));
}

void OrcaReadState::save(const std::filesystem::path& url) const {
  files::createDirectories(url.parent_path());
  std::string data = encode(*this);
  try {
    // A file of another size cannot hold the same bytes, so the read is
    // bounded by the new encoding's length.
    files::ReadBuffer buffer;
    if (files::readOwnFile(url, data.size(), buffer) == data) return;
  } catch (const std::filesystem::filesystem_error&) {
  } catch (const StatusError&) {
  }
  files::replaceAtomically(url, data, 0600);
}

bool OrcaReadState::hasRead(const TaskStatus& task) const {
  if (!task.orcaSession) return false;
  auto entry = readAt.find(text::lowercased(task.id));
  return entry != readAt.end() && entry->second >= task.updatedAt;
}

void OrcaReadState::markRead(const TaskStatus& task) {
  if (task.orcaSession) readAt[text::lowercased(task.id)] = task.updatedAt;
}

void OrcaReadState::remember(const std::vector<TaskStatus>& tasks, Instant now) {
  std::erase_if(ownership, [&](const auto& entry) {
    return !(now - entry.second.observedAt < ownershipLifetime);
  });
  for (const TaskStatus& task : tasks)
    if (task.orcaSession) ownership.insert_or_assign(text::lowercased(task.id), *task.orcaSession);
  // Every task listed with a pane now owns an entry, so a read time lives
  // exactly as long as its task's ownership.
  std::erase_if(readAt, [&](const auto& entry) { return !ownership.count(entry.first); });
}

}  // namespace lantrel
