#include "lantrel/claude_hook_store.hpp"

#include "support/files.hpp"
#include "support/json.hpp"
#include "support/json_writer.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void refuse() { throw StatusError(StatusError::invalidRecord); }

struct Transition {
  LightState state;
  bool pending;
};

// What each hook event means for the session: the first row whose event
// name matches, and whose member (when it names one) holds its value,
// decides. No row: the event says nothing of the state.
struct EventRow {
  std::string_view event, member, value;
  Transition transition;
};

constexpr EventRow eventTable[] = {
    {"UserPromptSubmit", "", "", {LightState::working, false}},
    {"PostToolUse", "", "", {LightState::working, false}},
    {"PostToolUseFailure", "", "", {LightState::working, false}},
    {"ElicitationResult", "", "", {LightState::working, false}},
    {"PermissionRequest", "", "", {LightState::waiting, true}},
    {"Elicitation", "", "", {LightState::waiting, true}},
    {"PreToolUse", "tool_name", "AskUserQuestion", {LightState::waiting, true}},
    {"Notification", "notification_type", "permission_prompt", {LightState::waiting, true}},
    {"Notification", "notification_type", "elicitation_dialog", {LightState::waiting, true}},
    {"Notification", "notification_type", "idle_prompt", {LightState::done, false}},
    {"Stop", "", "", {LightState::done, false}},
    {"StopFailure", "", "", {LightState::failed, false}},
    {"SessionEnd", "", "", {LightState::done, false}},
};

std::optional<Transition> transition(json::Object event, std::string_view name,
                                     const std::optional<ClaudeHookRecord>& previous) {
  for (const EventRow& row : eventTable) {
    if (row.event != name || (!row.member.empty() && json::string(event, row.member) != row.value))
      continue;
    // A session that failed stays failed when it ends.
    if (name == "SessionEnd" && previous && previous->state == LightState::failed)
      return Transition{LightState::failed, false};
    return row.transition;
  }
  return std::nullopt;
}

// "cwd" and "transcript_path": absolute, at most maximumPathCharacters
// user-perceived characters.
std::string_view pathMember(json::Object event, std::string_view key) {
  auto value = json::string(event, key);
  if (!value || !value->starts_with('/')) refuse();
  if (!text::atMostCharacters(*value, ClaudeHookStore::maximumPathCharacters)) refuse();
  return *value;
}

ClaudeHookRecord decodeRecord(json::Parser& parser, std::string_view text, bool padded) {
  json::Record r(parser.parse(text, padded, "hook record"), "hook record");
  ClaudeHookRecord record;
  record.sessionID = r.get<std::string_view>("sessionID");
  std::optional<LightState> state = lightState(r.get<std::string_view>("state"));
  if (!state) r.fail("state", "is not a light state");
  record.state = *state;
  // Exactly the form the store writes: whole seconds in UTC with "Z".
  std::string_view updatedAt = r.get<std::string_view>("updatedAt");
  auto instant = updatedAt.ends_with('Z') ? Instant::parseISO8601(updatedAt, false) : std::nullopt;
  if (!instant) r.fail("updatedAt", "is not an ISO 8601 date in whole UTC seconds");
  record.updatedAt = *instant;
  record.cwd = r.get<std::string_view>("cwd");
  record.transcriptPath = r.get<std::string_view>("transcriptPath");
  record.confirmedAttentionPending = r.get<bool>("confirmedAttentionPending");
  return record;
}

// One record file, strictly: a regular file, no link, at most
// maximumRecordBytes.
ClaudeHookRecord load(const fs::path& file) {
  files::ReadBuffer buffer;
  json::Parser parser;
  return decodeRecord(parser, files::readOwnFile(file, ClaudeHookStore::maximumRecordBytes, buffer),
                      true);
}

}  // namespace

std::string ClaudeHookRecord::encoded() const {
  json::Writer w;
  w.beginObject();
  w.member("sessionID", sessionID);
  w.member("state", rawValue(state));
  w.member("updatedAt", updatedAt.iso8601());
  w.member("cwd", cwd);
  w.member("transcriptPath", transcriptPath);
  w.member("confirmedAttentionPending", confirmedAttentionPending);
  w.endObject();
  return w.take();
}

ClaudeHookRecord ClaudeHookRecord::decode(std::string_view text) {
  json::Parser parser;
  return decodeRecord(parser, text, false);
}

fs::path ClaudeHookStore::defaultDirectory() {
  return files::homeDirectory() / "Library/Application Support/Lantrel/claude-events";
}

void ClaudeHookStore::ingest(std::string_view event, Instant now) const {
  if (event.size() > maximumEventBytes) refuse();
  json::Parser parser;
  json::Object object;
  if (parser.parse(event, false, "hook event").get(object) != simdjson::SUCCESS) refuse();

  std::optional<std::string_view> sessionID = json::string(object, "session_id");
  if (!sessionID || !isUUID(*sessionID)) refuse();
  std::optional<std::string_view> name = json::string(object, "hook_event_name");
  if (!name) refuse();
  std::string_view cwd = pathMember(object, "cwd");
  std::string_view transcriptPath = pathMember(object, "transcript_path");

  // The session ID is a UUID, so the file cannot land outside the directory.
  fs::path file = directory / (std::string(*sessionID) + ".json");
  std::optional<ClaudeHookRecord> previous;
  try {
    previous = load(file);
  } catch (const std::exception&) {
    // A missing or unreadable record: the session starts over.
  }

  std::optional<Transition> next = transition(object, *name, previous);
  if (!next) return;

  ClaudeHookRecord record;
  record.sessionID = std::string(*sessionID);
  record.state = next->state;
  record.confirmedAttentionPending = next->pending;
  // A session that finished or failed keeps the moment it first did;
  // working and waiting events are heartbeats.
  bool repeatsEnd = previous && previous->state == next->state &&
                    (next->state == LightState::done || next->state == LightState::failed);
  record.updatedAt = repeatsEnd ? previous->updatedAt : now;
  record.cwd = std::string(cwd);
  record.transcriptPath = std::string(transcriptPath);

  std::string data = record.encoded();
  // A record that load would refuse must never reach the disk: it would
  // make every later loadAll fail.
  if (data.size() > maximumRecordBytes) refuse();
  files::createDirectories(directory);
  files::replaceAtomically(file, data, 0600);
}

std::vector<ClaudeHookRecord> ClaudeHookStore::loadAll(Instant now) const {
  std::vector<ClaudeHookRecord> records;
  files::ReadBuffer buffer;  // one buffer and one parser for every record
  json::Parser parser;
  files::walk(directory, {}, [&](const files::DirectoryEntry& entry) {
    if (!files::hasExtension(entry.name, "json")) return true;
    // Strictly, as load reads one; removed since the listing (its session
    // ended), it is no reason to lose the others.
    auto data = files::readOwnFile(entry, maximumRecordBytes, buffer);
    if (!data) return true;
    ClaudeHookRecord record = decodeRecord(parser, *data, true);
    if (now - record.updatedAt < recordLifetime) records.push_back(std::move(record));
    return true;
  });
  return records;
}

}  // namespace lantrel
