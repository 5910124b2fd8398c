#include "lantrel/orca_session_index.hpp"

#include <cmath>
#include <optional>

#include <simdjson.h>

#include "lantrel/errors.hpp"
#include "lantrel/orca_local_file.hpp"
#include "status_json.hpp"
#include "support/files.hpp"
#include "support/json_lines.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

using simdjson::dom::element;
using simdjson::dom::object;

constexpr std::size_t maximumWorktreeCharacters = 8192;
constexpr std::size_t maximumTranscriptPathCharacters = 32768;
// How far an entry's report may lie ahead of `now` or behind it.
constexpr double maximumFuture = 60;
constexpr double maximumAge = 604800;

[[noreturn]] void refuse() { throw StatusError(StatusError::invalidRecord); }

// At most `limit` user-perceived characters; the byte count settles most
// texts without segmenting them (a character takes at least one byte).
bool atMostCharacters(std::string_view s, std::size_t limit) {
  return s.size() <= limit || text::characterCount(s) <= limit;
}

std::string asciiLowercased(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// One member of "entries"; nullopt skips it. The checks run in a fixed order
// and the first that fails decides.
std::optional<OrcaSessionReference> entry(std::string_view key, element value, Instant now) {
  object v;
  if (value.get_object().get(v) != simdjson::SUCCESS) return std::nullopt;
  element ignored;
  if (v.at_key("structuredHost").get(ignored) == simdjson::SUCCESS) return std::nullopt;
  if (v.at_key("connectionId").get(ignored) == simdjson::SUCCESS && !ignored.is_null())
    return std::nullopt;
  if (jsonl::string(v, "paneKey") != key) return std::nullopt;

  OrcaSessionReference r;
  auto payload = jsonl::object(v, "payload");
  if (!payload) return std::nullopt;
  auto agentType = jsonl::string(*payload, "agentType");
  if (agentType != "claude" && agentType != "codex") return std::nullopt;
  r.provider = std::string(*agentType);

  auto session = jsonl::object(v, "providerSession");
  if (!session || session->size() == 0) return std::nullopt;
  auto sessionID = jsonl::string(*session, "id");
  if (jsonl::string(*session, "key") != "session_id" || !sessionID || !isUUID(*sessionID))
    return std::nullopt;
  r.sessionID = asciiLowercased(*sessionID);  // a UUID is ASCII

  auto tabID = jsonl::string(v, "tabId");
  if (!tabID || !isUUID(*tabID)) return std::nullopt;
  r.tabID = std::string(*tabID);

  auto worktreeID = jsonl::string(v, "worktreeId");
  if (!worktreeID || worktreeID->empty() ||
      !atMostCharacters(*worktreeID, maximumWorktreeCharacters))
    return std::nullopt;
  r.worktreeID = std::string(*worktreeID);

  double receivedAt;
  if (v.at_key("receivedAt").get(receivedAt) != simdjson::SUCCESS || !std::isfinite(receivedAt))
    return std::nullopt;

  // The key is "tab:leaf", both UUIDs, and the tab is the entry's own.
  std::size_t colon = key.find(':');
  if (colon == std::string_view::npos || key.find(':', colon + 1) != std::string_view::npos)
    return std::nullopt;
  std::string_view leaf = key.substr(colon + 1);
  if (key.substr(0, colon) != *tabID || !isUUID(leaf)) return std::nullopt;
  r.leafID = std::string(leaf);

  r.observedAt = Instant::fromUnix(receivedAt / 1000);
  double age = now - r.observedAt;
  if (!(age >= -maximumFuture && age <= maximumAge)) return std::nullopt;

  auto transcript = jsonl::string(*session, "transcriptPath");
  if (transcript && !transcript->empty() && transcript->front() == '/' &&
      atMostCharacters(*transcript, maximumTranscriptPathCharacters))
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
  return decode(files::readOwnFile(file, static_cast<std::uint64_t>(fileLimit)), now);
}

OrcaSessionIndex OrcaSessionIndex::decode(std::string_view data, Instant now) {
  if (data.size() > static_cast<std::size_t>(fileLimit)) refuse();
  simdjson::dom::parser parser;
  element document = parseDocument(parser, data);
  object top;
  std::int64_t version;
  object entries;
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

std::optional<TaskOpenDestination> TaskStatus::openDestination() const {
  if (orcaSession) return TaskOpenDestination::orcaTask(id);
  if (auto url = taskURL()) return TaskOpenDestination::desktopURL(std::move(*url));
  return std::nullopt;
}

}  // namespace lantrel
