#include "lantrel/task_status.hpp"

#include <type_traits>

#include "support/json.hpp"
#include "support/status_json.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

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

constexpr std::string_view providerNames[] = {"local", "codex", "claude"};

std::string_view rawValue(TaskProvider provider) {
  return providerNames[static_cast<int>(provider)];
}

std::optional<TaskProvider> taskProvider(std::string_view raw) {
  for (int i = 0; i < 3; ++i)
    if (providerNames[i] == raw) return static_cast<TaskProvider>(i);
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
  if (source == codexSource && id.starts_with("codex-")) return TaskProvider::codex;
  if (source == claudeSource && id.starts_with("claude-")) return TaskProvider::claude;
  return TaskProvider::local;
}

std::optional<std::string> TaskStatus::codexThreadID() const {
  if (provider() != TaskProvider::codex) return std::nullopt;
  std::string_view suffix = std::string_view(id).substr(6);
  if (!isUUID(suffix)) return std::nullopt;
  return text::lowercased(suffix);
}

std::optional<std::string> TaskStatus::taskURL() const {
  TaskProvider kind = provider();
  if (kind == TaskProvider::codex && isUUID(std::string_view(id).substr(6)))
    return "codex://threads/" + id.substr(6);
  // The session value is "local_" and a UUID: nothing in it needs
  // percent-encoding.
  if (kind == TaskProvider::claude && providerSessionID &&
      providerSessionID->starts_with("local_") &&
      isUUID(std::string_view(*providerSessionID).substr(6)))
    return "claude://code/continue?session=" + *providerSessionID;
  return std::nullopt;
}

std::optional<std::string> TaskStatus::codexThreadURL() const {
  if (provider() != TaskProvider::codex) return std::nullopt;
  return taskURL();
}

std::optional<std::string> TaskStatus::claudeSessionID() const {
  if (provider() != TaskProvider::claude) return std::nullopt;
  std::string_view rest = std::string_view(id).substr(7);  // after "claude-"
  if (!isUUID(rest)) return std::nullopt;
  return std::string(rest);
}

std::optional<TaskOpenDestination> TaskStatus::openDestination() const {
  if (orcaSession) return TaskOpenDestination::orcaTask(id);
  if (auto url = taskURL()) return TaskOpenDestination::desktopURL(std::move(*url));
  return std::nullopt;
}

LightState TaskStatus::visibleStateIfRead(Instant now) const {
  double age = now - updatedAt;
  if (!(age >= -futureTolerance)) return LightState::unknown;  // also NaN
  switch (state) {
    case LightState::done:
    case LightState::unread: return LightState::done;  // finished tasks never expire
    case LightState::failed: return LightState::failed;
    case LightState::waiting:
      if (confirmedAttentionPending == true) return LightState::waiting;
      break;
    case LightState::working:
    case LightState::unknown: break;
  }
  return age > heartbeatLimit ? LightState::unknown : state;
}

namespace {

template <typename T>
void optionalMember(json::Writer& w, std::string_view key, const std::optional<T>& value) {
  if (!value) return;
  if constexpr (std::is_same_v<T, Instant>)
    w.member(key, value->seconds);
  else
    w.member(key, *value);
}

std::optional<std::string> optionalString(const json::Record& r, std::string_view key) {
  auto value = r.find<std::string_view>(key);
  return value ? std::optional<std::string>(*value) : std::nullopt;
}

std::optional<Instant> optionalInstant(const json::Record& r, std::string_view key) {
  auto value = r.find<double>(key);
  return value ? std::optional<Instant>(Instant{*value}) : std::nullopt;
}

}  // namespace

void write(json::Writer& w, const OrcaSessionReference& r) {
  w.beginObject();
  w.member("provider", r.provider);
  w.member("sessionID", r.sessionID);
  w.member("tabID", r.tabID);
  w.member("leafID", r.leafID);
  w.member("worktreeID", r.worktreeID);
  w.member("observedAt", r.observedAt.seconds);
  optionalMember(w, "transcriptPath", r.transcriptPath);
  w.endObject();
}

void write(json::Writer& w, const TaskStatus& t) {
  w.beginObject();
  w.member("id", t.id);
  w.member("name", t.name);
  w.member("state", rawValue(t.state));
  w.member("updatedAt", t.updatedAt.seconds);
  w.member("source", t.source);
  optionalMember(w, "projectName", t.projectName);
  optionalMember(w, "lastTurnBoundaryAt", t.lastTurnBoundaryAt);
  optionalMember(w, "confirmedAttentionPending", t.confirmedAttentionPending);
  optionalMember(w, "providerSessionID", t.providerSessionID);
  optionalMember(w, "providerSessionLastFocusedAt", t.providerSessionLastFocusedAt);
  optionalMember(w, "isScheduled", t.isScheduled);
  if (t.orcaSession) {
    w.key("orcaSession");
    write(w, *t.orcaSession);
  }
  w.endObject();
}

OrcaSessionReference orcaSessionReference(json::Element value) {
  json::Record r(value, "Orca session");
  return {std::string(r.get<std::string_view>("provider")), std::string(r.get<std::string_view>("sessionID")),
          std::string(r.get<std::string_view>("tabID")),    std::string(r.get<std::string_view>("leafID")),
          std::string(r.get<std::string_view>("worktreeID")), Instant{r.get<double>("observedAt")},
          optionalString(r, "transcriptPath")};
}

TaskStatus taskStatus(json::Element value) {
  json::Record r(value, "task record");
  TaskStatus t;
  t.id = r.get<std::string_view>("id");
  t.name = r.get<std::string_view>("name");
  auto state = lightState(r.get<std::string_view>("state"));
  if (!state) r.fail("state", "is not a known light state");
  t.state = *state;
  t.updatedAt = Instant{r.get<double>("updatedAt")};
  t.source = r.get<std::string_view>("source");
  t.projectName = optionalString(r, "projectName");
  t.lastTurnBoundaryAt = optionalInstant(r, "lastTurnBoundaryAt");
  t.confirmedAttentionPending = r.find<bool>("confirmedAttentionPending");
  t.providerSessionID = optionalString(r, "providerSessionID");
  t.providerSessionLastFocusedAt = optionalInstant(r, "providerSessionLastFocusedAt");
  t.isScheduled = r.find<bool>("isScheduled");
  if (auto orca = r.find<json::Element>("orcaSession")) t.orcaSession = orcaSessionReference(*orca);
  return t;
}

TaskStatus TaskStatus::decode(std::string_view text) {
  json::Parser parser;
  return taskStatus(parser.parse(text, false, "task record"));
}

std::string TaskStatus::encoded() const {
  json::Writer w;
  write(w, *this);
  return w.take();
}

std::string encodePretty(const std::vector<TaskStatus>& tasks) {
  json::Writer w(json::Style::pretty);
  w.beginArray();
  for (const auto& task : tasks) write(w, task);
  w.endArray();
  return w.take();
}

}  // namespace lantrel
