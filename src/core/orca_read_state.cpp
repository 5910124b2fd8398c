#include "lantrel/orca_read_state.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "lantrel/errors.hpp"
#include "lantrel/orca_local_file.hpp"
#include "status_json.hpp"
#include "support/files.hpp"
#include "support/json_writer.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

const nlohmann::json& requiredObject(const nlohmann::json& document, std::string_view key) {
  auto found = document.find(key);
  if (found == document.end() || found->is_null())
    throw DecodingError("The Orca state's \"" + std::string(key) + "\" is missing.");
  if (!found->is_object())
    throw DecodingError("The Orca state's \"" + std::string(key) + "\" is not an object.");
  return *found;
}

OrcaReadState decode(std::string_view bytes) {
  nlohmann::json document = json::parse(bytes);
  if (!document.is_object()) throw DecodingError("The Orca state is not a JSON object.");
  OrcaReadState state;
  for (const auto& [key, value] : requiredObject(document, "ownership").items())
    state.ownership[key] = orcaSessionReferenceFromJSON(value);
  for (const auto& [key, value] : requiredObject(document, "readAt").items()) {
    if (!value.is_number() || !std::isfinite(value.get<double>()))
      throw DecodingError("The Orca read time of \"" + key + "\" is not a number.");
    state.readAt[key] = Instant{value.get<double>()};
  }
  return state;
}

std::string encode(const OrcaReadState& state) {
  // nlohmann::json keeps object keys sorted; copying it into an ordered tree
  // keeps that order for the compact writer.
  nlohmann::json ownership = nlohmann::json::object();
  for (const auto& [key, reference] : state.ownership)
    ownership[key] = nlohmann::json(toJSON(reference));
  nlohmann::json readAt = nlohmann::json::object();
  for (const auto& [key, instant] : state.readAt) readAt[key] = instant.seconds;
  nlohmann::json document = {{"ownership", std::move(ownership)}, {"readAt", std::move(readAt)}};
  return json::write(nlohmann::ordered_json(document));
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
