#include "lantrel/orca_session_index.hpp"

#include <cmath>
#include <optional>

#include "lantrel/errors.hpp"
#include "lantrel/orca_local_file.hpp"
#include "support/files.hpp"
#include "support/json.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

using json::Element;
using json::Object;

constexpr std::size_t maximumWorktreeCharacters = 8192;
constexpr std::size_t maximumTranscriptPathCharacters = 32768;
// How long ago an entry's report may have been.
constexpr double maximumAge = 604800;

[[noreturn]] void refuse() { throw StatusError(StatusError::invalidRecord); }

// One member of "entries"; nullopt skips it. The checks run in a fixed order
// and the first that fails decides.
std::optional<OrcaSessionReference> entry(std::string_view key, Element value, Instant now) {
  Object v;
  if (value.get_object().get(v) != simdjson::SUCCESS) return std::nullopt;
  Element ignored;
  if (v.at_key("structuredHost").get(ignored) == simdjson::SUCCESS) return std::nullopt;
  if (v.at_key("connectionId").get(ignored) == simdjson::SUCCESS && !ignored.is_null())
    return std::nullopt;
  if (json::string(v, "paneKey") != key) return std::nullopt;

  OrcaSessionReference r;
  auto payload = json::object(v, "payload");
  if (!payload) return std::nullopt;
  auto agentType = json::string(*payload, "agentType");
  if (agentType != "claude" && agentType != "codex") return std::nullopt;
  r.provider = std::string(*agentType);

  auto session = json::object(v, "providerSession");
  if (!session || session->size() == 0) return std::nullopt;
  auto sessionID = json::string(*session, "id");
  if (json::string(*session, "key") != "session_id" || !sessionID || !isUUID(*sessionID))
    return std::nullopt;
  r.sessionID = text::lowercased(*sessionID);

  auto tabID = json::string(v, "tabId");
  if (!tabID || !isUUID(*tabID)) return std::nullopt;
  r.tabID = std::string(*tabID);

  auto worktreeID = json::string(v, "worktreeId");
  if (!worktreeID || worktreeID->empty() ||
      !text::atMostCharacters(*worktreeID, maximumWorktreeCharacters))
    return std::nullopt;
  r.worktreeID = std::string(*worktreeID);

  auto receivedAt = json::number(v, "receivedAt");
  if (!receivedAt || !std::isfinite(*receivedAt)) return std::nullopt;

  // The key is "tab:leaf", both UUIDs, and the tab is the entry's own.
  std::size_t colon = key.find(':');
  if (colon == std::string_view::npos || key.find(':', colon + 1) != std::string_view::npos)
    return std::nullopt;
  std::string_view leaf = key.substr(colon + 1);
  if (key.substr(0, colon) != *tabID || !isUUID(leaf)) return std::nullopt;
  r.leafID = std::string(leaf);

  r.observedAt = Instant::fromUnix(*receivedAt / 1000);
  double age = now - r.observedAt;
  if (!(age >= -futureTolerance && age <= maximumAge)) return std::nullopt;

  auto transcript = json::string(*session, "transcriptPath");
  if (transcript && !transcript->empty() && transcript->front() == '/' &&
      text::atMostCharacters(*transcript, maximumTranscriptPathCharacters))
    r.transcriptPath = std::string(*transcript);
  return r;
}

}  // namespace

std::filesystem::path OrcaSessionIndex::root() {
  return files::homeDirectory() / "Library/Application Support/Orca";
}

OrcaSessionIndex OrcaSessionIndex::load(const std::filesystem::path& root, Instant now) {
  std::filesystem::path file = root / "agent-hooks/last-status.json";
  if (!files::resourceValuesIfExists(file)) return {};
  OrcaLocalFile::validate(file, fileLimit);
  // Read without following links and under the same limit, so a file
  // swapped after the check is refused as well.
  files::ReadBuffer buffer;
  return decode(files::readOwnFile(file, static_cast<std::uint64_t>(fileLimit), buffer), now);
}

OrcaSessionIndex OrcaSessionIndex::decode(std::string_view data, Instant now) {
  if (data.size() > static_cast<std::size_t>(fileLimit)) refuse();
  json::Parser parser;
  Element document = parser.parse(data, false, "Orca status file");
  Object top;
  std::int64_t version;
  Object entries;
  if (document.get_object().get(top) != simdjson::SUCCESS ||
      top.at_key("version").get(version) != simdjson::SUCCESS || version != 2 ||
      top.at_key("entries").get(entries) != simdjson::SUCCESS ||
      entries.size() > maximumEntries)
    refuse();

  OrcaSessionIndex index;
  for (auto member : entries)
    if (auto reference = entry(member.key, member.value, now))
      index.sessions.push_back(std::move(*reference));
  return index;
}

std::vector<OrcaSessionReference> OrcaSessionIndex::matches(std::string_view taskID) const {
  std::string wanted = text::lowercased(taskID);
  std::vector<OrcaSessionReference> found;
  for (const auto& reference : sessions)
    if (reference.taskID() == wanted) found.push_back(reference);
  return found;
}

}  // namespace lantrel
