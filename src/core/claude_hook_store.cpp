#include "lantrel/claude_hook_store.hpp"


#include <cerrno>

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include "support/files.hpp"
#include "support/json_writer.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void refuse() { throw StatusError(StatusError::invalidRecord); }

// --- record decoding --------------------------------------------------------

[[noreturn]] void fail(std::string_view key, std::string_view problem) {
  throw DecodingError("The hook record's \"" + std::string(key) + "\" " + std::string(problem) +
                      ".");
}

const nlohmann::json& required(const nlohmann::json& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end()) fail(key, "is missing");
  return *it;
}

std::string stringValue(const nlohmann::json& object, std::string_view key) {
  const nlohmann::json& value = required(object, key);
  if (!value.is_string()) fail(key, "is not a string");
  return value.get<std::string>();
}

// Exactly the form the store writes: whole seconds in UTC with "Z".
Instant instantValue(const nlohmann::json& object, std::string_view key) {
  std::string text = stringValue(object, key);
  std::optional<Instant> instant;
  if (!text.empty() && text.back() == 'Z') instant = Instant::parseISO8601(text, false);
  if (!instant) fail(key, "is not an ISO 8601 date in whole UTC seconds");
  return *instant;
}

// --- events -----------------------------------------------------------------

struct Transition {
  LightState state;
  bool pending;
};

// The members of an event that decide the state; the rest is never looked at.
struct EventFacts {
  std::string_view name;
  std::optional<std::string_view> toolName;
  std::optional<std::string_view> notificationType;
};

std::optional<std::string_view> stringMember(const simdjson::dom::object& object,
                                             std::string_view key) {
  std::string_view value;
  if (object[key].get_string().get(value) != simdjson::SUCCESS) return std::nullopt;
  return value;
}

// "cwd" and "transcript_path": absolute, at most maximumPathCharacters
// user-perceived characters.
std::string_view pathMember(const simdjson::dom::object& object, std::string_view key) {
  std::optional<std::string_view> value = stringMember(object, key);
  if (!value || value->empty() || value->front() != '/') refuse();
  // Counting characters needs ICU only when the bytes could exceed the limit.
  if (value->size() > ClaudeHookStore::maximumPathCharacters &&
      text::characterCount(*value) > ClaudeHookStore::maximumPathCharacters)
    refuse();
  return *value;
}

// What an event means for the session; nullopt when it says nothing.
std::optional<Transition> transition(const EventFacts& event,
                                     const std::optional<ClaudeHookRecord>& previous) {
  const std::string_view name = event.name;
  if (name == "UserPromptSubmit" || name == "PostToolUse" || name == "PostToolUseFailure" ||
      name == "ElicitationResult")
    return Transition{LightState::working, false};
  if (name == "PermissionRequest" || name == "Elicitation")
    return Transition{LightState::waiting, true};
  if (name == "PreToolUse") {
    if (event.toolName == "AskUserQuestion") return Transition{LightState::waiting, true};
    return std::nullopt;
  }
  if (name == "Notification") {
    if (event.notificationType == "permission_prompt" ||
        event.notificationType == "elicitation_dialog")
      return Transition{LightState::waiting, true};
    if (event.notificationType == "idle_prompt") return Transition{LightState::done, false};
    return std::nullopt;
  }
  if (name == "Stop") return Transition{LightState::done, false};
  if (name == "StopFailure") return Transition{LightState::failed, false};
  if (name == "SessionEnd") {
    if (previous && previous->state == LightState::failed)
      return Transition{LightState::failed, false};
    return Transition{LightState::done, false};
  }
  return std::nullopt;
}

}  // namespace

std::string ClaudeHookRecord::encoded() const {
  nlohmann::ordered_json object;
  object["sessionID"] = sessionID;
  object["state"] = std::string(rawValue(state));
  object["updatedAt"] = updatedAt.iso8601();
  object["cwd"] = cwd;
  object["transcriptPath"] = transcriptPath;
  object["confirmedAttentionPending"] = confirmedAttentionPending;
  return json::write(object);
}

ClaudeHookRecord ClaudeHookRecord::decode(std::string_view text) {
  nlohmann::json object = json::parse(text);
  if (!object.is_object()) throw DecodingError("The hook record is not a JSON object.");
  ClaudeHookRecord record;
  record.sessionID = stringValue(object, "sessionID");
  std::optional<LightState> state = lightState(stringValue(object, "state"));
  if (!state) fail("state", "is not a light state");
  record.state = *state;
  record.updatedAt = instantValue(object, "updatedAt");
  record.cwd = stringValue(object, "cwd");
  record.transcriptPath = stringValue(object, "transcriptPath");
  const nlohmann::json& pending = required(object, "confirmedAttentionPending");
  if (!pending.is_boolean()) fail("confirmedAttentionPending", "is not a boolean");
  record.confirmedAttentionPending = pending.get<bool>();
  return record;
}

fs::path ClaudeHookStore::defaultDirectory() {
  return files::homeDirectory() / "Library/Application Support/Lantrel/claude-events";
}

void ClaudeHookStore::ingest(std::string_view event, Instant now) const {
  if (event.size() > maximumEventBytes) refuse();

  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (auto error = parser.parse(event.data(), event.size()).get(root))
    throw DecodingError(std::string("The hook event isn't valid JSON: ") +
                        simdjson::error_message(error));
  simdjson::dom::object object;
  if (root.get_object().get(object) != simdjson::SUCCESS) refuse();

  std::optional<std::string_view> sessionID = stringMember(object, "session_id");
  if (!sessionID || !isUUID(*sessionID)) refuse();
  EventFacts facts;
  std::optional<std::string_view> name = stringMember(object, "hook_event_name");
  if (!name) refuse();
  facts.name = *name;
  std::string_view cwd = pathMember(object, "cwd");
  std::string_view transcriptPath = pathMember(object, "transcript_path");
  facts.toolName = stringMember(object, "tool_name");
  facts.notificationType = stringMember(object, "notification_type");

  // The session ID is a UUID, so the file cannot land outside the directory.
  fs::path file = directory / (std::string(*sessionID) + ".json");
  std::optional<ClaudeHookRecord> previous;
  try {
    previous = load(file);
  } catch (const std::exception&) {
    // A missing or unreadable record: the session starts over.
  }

  std::optional<Transition> next = transition(facts, previous);
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
  files::forEachEntry(directory, [&](std::string_view name, unsigned char) {
    if (!files::hasJSONExtension(name)) return;
    ClaudeHookRecord record = load(directory / name);
    if (now - record.updatedAt < recordLifetime) records.push_back(std::move(record));
  });
  return records;
}

ClaudeHookRecord ClaudeHookStore::load(const fs::path& file) {
  return ClaudeHookRecord::decode(files::readOwnFile(file, maximumRecordBytes));
}

}  // namespace lantrel
