#include "lantrel/task_status.hpp"

#include <cmath>

#include "status_json.hpp"
#include "support/json_writer.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

constexpr std::size_t maximumNameCharacters = 160;

struct StateText {
  LightState state;
  std::string_view raw;
  std::string_view label;
};

constexpr StateText stateTexts[] = {
    {LightState::working, "working", "Working"},
    {LightState::waiting, "waiting", "Needs your attention"},
    {LightState::done, "done", "Finished · read"},
    {LightState::unread, "unread", "Finished · unread"},
    {LightState::failed, "failed", "Failed"},
    {LightState::unknown, "unknown", "Unknown / disconnected"},
};

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// --- decoding helpers: each names the key that is wrong --------------------

[[noreturn]] void fail(std::string_view key, std::string_view problem) {
  throw DecodingError("The record's \"" + std::string(key) + "\" " + std::string(problem) + ".");
}

const nlohmann::json* member(const nlohmann::json& object, std::string_view key) {
  auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

const nlohmann::json& required(const nlohmann::json& object, std::string_view key) {
  const nlohmann::json* value = member(object, key);
  if (!value) fail(key, "is missing");
  return *value;
}

std::string stringValue(const nlohmann::json& value, std::string_view key) {
  if (!value.is_string()) fail(key, "is not a string");
  return value.get<std::string>();
}

Instant instantValue(const nlohmann::json& value, std::string_view key) {
  if (!value.is_number()) fail(key, "is not a number");
  double seconds = value.get<double>();
  if (!std::isfinite(seconds)) fail(key, "is not a finite number");
  return Instant{seconds};
}

bool boolValue(const nlohmann::json& value, std::string_view key) {
  if (!value.is_boolean()) fail(key, "is not a boolean");
  return value.get<bool>();
}

template <typename T, typename Read>
std::optional<T> optionalValue(const nlohmann::json& object, std::string_view key, Read read) {
  const nlohmann::json* value = member(object, key);
  if (!value) return std::nullopt;
  return read(*value, key);
}

}  // namespace

std::string_view rawValue(LightState state) {
  return stateTexts[static_cast<int>(state)].raw;
}

std::optional<LightState> lightState(std::string_view raw) {
  for (const auto& entry : stateTexts)
    if (entry.raw == raw) return entry.state;
  return std::nullopt;
}

std::string_view label(LightState state) { return stateTexts[static_cast<int>(state)].label; }

std::string_view rawValue(TaskProvider provider) {
  switch (provider) {
    case TaskProvider::codex: return "codex";
    case TaskProvider::claude: return "claude";
    case TaskProvider::local: break;
  }
  return "local";
}

std::optional<TaskProvider> taskProvider(std::string_view raw) {
  if (raw == "local") return TaskProvider::local;
  if (raw == "codex") return TaskProvider::codex;
  if (raw == "claude") return TaskProvider::claude;
  return std::nullopt;
}

std::string OrcaSessionReference::taskID() const {
  return provider + "-" + text::lowercased(sessionID);
}

TaskStatus::TaskStatus(std::string id_, std::string name_, LightState state_, Instant updatedAt_,
                       std::string source_)
    : id(std::move(id_)),
      name(text::characterPrefix(text::repairUTF8(name_), maximumNameCharacters)),
      state(state_),
      updatedAt(updatedAt_),
      source(std::move(source_)) {}

TaskProvider TaskStatus::provider() const {
  if (source == codexSource && startsWith(id, "codex-")) return TaskProvider::codex;
  if (source == claudeSource && startsWith(id, "claude-")) return TaskProvider::claude;
  return TaskProvider::local;
}

std::optional<std::string> TaskStatus::codexThreadID() const {
  if (provider() != TaskProvider::codex) return std::nullopt;
  std::string_view suffix = std::string_view(id).substr(6);
  if (!isUUID(suffix)) return std::nullopt;
  return text::lowercased(suffix);
}

std::optional<std::string> TaskStatus::taskURL() const {
  switch (provider()) {
    case TaskProvider::codex: {
      std::string_view suffix = std::string_view(id).substr(6);
      if (!isUUID(suffix)) return std::nullopt;
      return "codex://threads/" + std::string(suffix);
    }
    case TaskProvider::claude: {
      // The session value is "local_" and a UUID: nothing in it needs
      // percent-encoding.
      if (!providerSessionID || !startsWith(*providerSessionID, "local_") ||
          !isUUID(std::string_view(*providerSessionID).substr(6)))
        return std::nullopt;
      return "claude://code/continue?session=" + *providerSessionID;
    }
    case TaskProvider::local: break;
  }
  return std::nullopt;
}

std::optional<std::string> TaskStatus::codexThreadURL() const {
  if (provider() != TaskProvider::codex) return std::nullopt;
  return taskURL();
}

nlohmann::ordered_json toJSON(const OrcaSessionReference& r) {
  nlohmann::ordered_json j;
  j["provider"] = r.provider;
  j["sessionID"] = r.sessionID;
  j["tabID"] = r.tabID;
  j["leafID"] = r.leafID;
  j["worktreeID"] = r.worktreeID;
  j["observedAt"] = r.observedAt.seconds;
  if (r.transcriptPath) j["transcriptPath"] = *r.transcriptPath;
  return j;
}

nlohmann::ordered_json toJSON(const TaskStatus& t) {
  nlohmann::ordered_json j;
  j["id"] = t.id;
  j["name"] = t.name;
  j["state"] = rawValue(t.state);
  j["updatedAt"] = t.updatedAt.seconds;
  j["source"] = t.source;
  if (t.projectName) j["projectName"] = *t.projectName;
  if (t.lastTurnBoundaryAt) j["lastTurnBoundaryAt"] = t.lastTurnBoundaryAt->seconds;
  if (t.confirmedAttentionPending) j["confirmedAttentionPending"] = *t.confirmedAttentionPending;
  if (t.providerSessionID) j["providerSessionID"] = *t.providerSessionID;
  if (t.providerSessionLastFocusedAt)
    j["providerSessionLastFocusedAt"] = t.providerSessionLastFocusedAt->seconds;
  if (t.isScheduled) j["isScheduled"] = *t.isScheduled;
  if (t.orcaSession) j["orcaSession"] = toJSON(*t.orcaSession);
  return j;
}

OrcaSessionReference orcaSessionReferenceFromJSON(const nlohmann::json& object) {
  if (!object.is_object()) throw DecodingError("The Orca session is not a JSON object.");
  OrcaSessionReference r;
  r.provider = stringValue(required(object, "provider"), "provider");
  r.sessionID = stringValue(required(object, "sessionID"), "sessionID");
  r.tabID = stringValue(required(object, "tabID"), "tabID");
  r.leafID = stringValue(required(object, "leafID"), "leafID");
  r.worktreeID = stringValue(required(object, "worktreeID"), "worktreeID");
  r.observedAt = instantValue(required(object, "observedAt"), "observedAt");
  r.transcriptPath = optionalValue<std::string>(object, "transcriptPath", stringValue);
  return r;
}

TaskStatus taskStatusFromJSON(const nlohmann::json& object) {
  if (!object.is_object()) throw DecodingError("The task record is not a JSON object.");
  TaskStatus t;
  t.id = stringValue(required(object, "id"), "id");
  t.name = stringValue(required(object, "name"), "name");
  std::string raw = stringValue(required(object, "state"), "state");
  auto state = lightState(raw);
  if (!state) fail("state", "is not a known light state");
  t.state = *state;
  t.updatedAt = instantValue(required(object, "updatedAt"), "updatedAt");
  t.source = stringValue(required(object, "source"), "source");
  t.projectName = optionalValue<std::string>(object, "projectName", stringValue);
  t.lastTurnBoundaryAt = optionalValue<Instant>(object, "lastTurnBoundaryAt", instantValue);
  t.confirmedAttentionPending =
      optionalValue<bool>(object, "confirmedAttentionPending", boolValue);
  t.providerSessionID = optionalValue<std::string>(object, "providerSessionID", stringValue);
  t.providerSessionLastFocusedAt =
      optionalValue<Instant>(object, "providerSessionLastFocusedAt", instantValue);
  t.isScheduled = optionalValue<bool>(object, "isScheduled", boolValue);
  if (const nlohmann::json* orca = member(object, "orcaSession"))
    t.orcaSession = orcaSessionReferenceFromJSON(*orca);
  return t;
}

std::string TaskStatus::encoded() const { return json::write(toJSON(*this)); }

TaskStatus TaskStatus::decode(std::string_view text) {
  return taskStatusFromJSON(json::parse(text));
}

std::string encodePretty(const std::vector<TaskStatus>& tasks) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const auto& task : tasks) array.push_back(toJSON(task));
  return json::write(array, json::Style::pretty);
}

}  // namespace lantrel
