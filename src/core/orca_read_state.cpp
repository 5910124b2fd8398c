#include "lantrel/orca_read_state.hpp"

#include <cmath>

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include "lantrel/errors.hpp"
#include "lantrel/orca_local_file.hpp"
#include "status_json.hpp"
#include "support/files.hpp"
#include "support/json_writer.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

simdjson::dom::object requiredObject(simdjson::dom::object document, std::string_view key) {
  simdjson::dom::element found;
  if (document.at_key(key).get(found) != simdjson::SUCCESS || found.is_null())
    throw DecodingError("The Orca state's \"" + std::string(key) + "\" is missing.");
  simdjson::dom::object object;
  if (found.get_object().get(object) != simdjson::SUCCESS)
    throw DecodingError("The Orca state's \"" + std::string(key) + "\" is not an object.");
  return object;
}

OrcaReadState decode(std::string_view bytes) {
  simdjson::dom::parser parser;
  simdjson::dom::object document;
  if (parseDocument(parser, bytes).get_object().get(document) != simdjson::SUCCESS)
    throw DecodingError("The Orca state is not a JSON object.");
  OrcaReadState state;
  for (auto [key, value] : requiredObject(document, "ownership"))
    state.ownership[std::string(key)] = orcaSessionReference(value);
  for (auto [key, value] : requiredObject(document, "readAt")) {
    double seconds;
    if (value.get_double().get(seconds) != simdjson::SUCCESS || !std::isfinite(seconds))
      throw DecodingError("The Orca read time of \"" + std::string(key) + "\" is not a number.");
    state.readAt[std::string(key)] = Instant{seconds};
  }
  return state;
}

std::string encode(const OrcaReadState& state) {
  nlohmann::ordered_json ownership = nlohmann::ordered_json::object();
  for (const auto& [key, reference] : state.ownership) ownership[key] = toJSON(reference);
  nlohmann::ordered_json readAt = nlohmann::ordered_json::object();
  for (const auto& [key, instant] : state.readAt) readAt[key] = instant.seconds;
  nlohmann::ordered_json document;
  document["ownership"] = std::move(ownership);
  document["readAt"] = std::move(readAt);
  return json::write(document, json::Style::compactSorted);
}

}  // namespace

std::filesystem::path OrcaReadState::defaultURL() {
  return files::homeDirectory() / "Library/Application Support/Lantrel/orca-state.json";
}

OrcaReadState OrcaReadState::load(const std::filesystem::path& url) {
  if (!files::resourceValuesIfExists(url)) return OrcaReadState();
  OrcaLocalFile::validate(url, maximumFileBytes);
  // readOwnFile checks again on the opened file, without following links.
  return decode(files::readOwnFile(url, static_cast<std::uint64_t>(maximumFileBytes)));
}

void OrcaReadState::save(const std::filesystem::path& url) const {
  files::createDirectories(url.parent_path());
  std::string data = encode(*this);
  try {
    // A file of another size cannot hold the same bytes, so the read is
    // bounded by the new encoding's length.
    if (files::readOwnFile(url, data.size()) == data) return;
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
