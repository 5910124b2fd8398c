#include "lantrel/task_status.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>
#include <variant>

#include <simdjson.h>

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

// --- decoding: each failure names the key that is wrong --------------------

[[noreturn]] void fail(std::string_view key, std::string_view problem) {
  throw DecodingError("The record's \"" + std::string(key) + "\" " + std::string(problem) + ".");
}

// A member that is missing or JSON null reads as absent.
std::optional<simdjson::dom::element> member(simdjson::dom::object object, std::string_view key) {
  simdjson::dom::element value;
  if (object.at_key(key).get(value) != simdjson::SUCCESS || value.is_null()) return std::nullopt;
  return value;
}

simdjson::dom::element required(simdjson::dom::object object, std::string_view key) {
  auto value = member(object, key);
  if (!value) fail(key, "is missing");
  return *value;
}

std::string stringValue(simdjson::dom::element value, std::string_view key) {
  std::string_view s;
  if (value.get_string().get(s) != simdjson::SUCCESS) fail(key, "is not a string");
  return std::string(s);
}

Instant instantValue(simdjson::dom::element value, std::string_view key) {
  double seconds;
  if (value.get_double().get(seconds) != simdjson::SUCCESS) fail(key, "is not a number");
  if (!std::isfinite(seconds)) fail(key, "is not a finite number");
  return Instant{seconds};
}

bool boolValue(simdjson::dom::element value, std::string_view key) {
  bool flag;
  if (value.get_bool().get(flag) != simdjson::SUCCESS) fail(key, "is not a boolean");
  return flag;
}

template <typename T, typename Read>
std::optional<T> optionalValue(simdjson::dom::object object, std::string_view key, Read read) {
  auto value = member(object, key);
  if (!value) return std::nullopt;
  return read(*value, key);
}

simdjson::dom::object objectValue(simdjson::dom::element value, const char* what) {
  simdjson::dom::object object;
  if (value.get_object().get(object) != simdjson::SUCCESS)
    throw DecodingError(std::string(what) + " is not a JSON object.");
  return object;
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

namespace {

// The members of a record as (key, value) pairs in field order, absent
// optionals left out. One list per type feeds both the streaming writer and
// the tree form.
using FieldValue = std::variant<std::string_view, double, bool, const OrcaSessionReference*>;
struct Field {
  std::string_view key;
  FieldValue value;
};

template <std::size_t N>
struct Fields {
  std::array<Field, N> items;
  std::size_t count = 0;
  void add(std::string_view key, FieldValue value) { items[count++] = {key, value}; }
  template <typename T>
  void add(std::string_view key, const std::optional<T>& value) {
    if (value) add(key, field(*value));
  }
  static FieldValue field(const std::string& s) { return std::string_view(s); }
  static FieldValue field(Instant i) { return i.seconds; }
  static FieldValue field(bool b) { return b; }
  static FieldValue field(const OrcaSessionReference& r) { return &r; }
};

Fields<7> fields(const OrcaSessionReference& r) {
  Fields<7> f;
  f.add("provider", r.provider);
  f.add("sessionID", r.sessionID);
  f.add("tabID", r.tabID);
  f.add("leafID", r.leafID);
  f.add("worktreeID", r.worktreeID);
  f.add("observedAt", r.observedAt.seconds);
  f.add("transcriptPath", r.transcriptPath);
  return f;
}

Fields<12> fields(const TaskStatus& t) {
  Fields<12> f;
  f.add("id", t.id);
  f.add("name", t.name);
  f.add("state", rawValue(t.state));
  f.add("updatedAt", t.updatedAt.seconds);
  f.add("source", t.source);
  f.add("projectName", t.projectName);
  f.add("lastTurnBoundaryAt", t.lastTurnBoundaryAt);
  f.add("confirmedAttentionPending", t.confirmedAttentionPending);
  f.add("providerSessionID", t.providerSessionID);
  f.add("providerSessionLastFocusedAt", t.providerSessionLastFocusedAt);
  f.add("isScheduled", t.isScheduled);
  f.add("orcaSession", t.orcaSession);
  return f;
}

template <std::size_t N>
void write(json::Writer& w, Fields<N> f) {
  if (w.sortsKeys())  // insertion sort: a dozen keys at most
    for (std::size_t i = 1; i < f.count; ++i)
      for (std::size_t k = i; k > 0 && f.items[k].key < f.items[k - 1].key; --k)
        std::swap(f.items[k], f.items[k - 1]);
  w.beginObject();
  for (auto it = f.items.begin(); it != f.items.begin() + f.count; ++it) {
    w.key(it->key);
    std::visit(
        [&](auto v) {
          if constexpr (std::is_same_v<decltype(v), const OrcaSessionReference*>)
            write(w, fields(*v));
          else
            w.value(v);
        },
        it->value);
  }
  w.endObject();
}

template <std::size_t N>
nlohmann::ordered_json tree(const Fields<N>& f) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (std::size_t i = 0; i < f.count; ++i) {
    std::visit(
        [&](auto v) {
          if constexpr (std::is_same_v<decltype(v), const OrcaSessionReference*>)
            j[std::string(f.items[i].key)] = tree(fields(*v));
          else
            j[std::string(f.items[i].key)] = v;
        },
        f.items[i].value);
  }
  return j;
}

}  // namespace

nlohmann::ordered_json toJSON(const OrcaSessionReference& r) { return tree(fields(r)); }
nlohmann::ordered_json toJSON(const TaskStatus& t) { return tree(fields(t)); }

OrcaSessionReference orcaSessionReference(simdjson::dom::element value) {
  simdjson::dom::object object = objectValue(value, "The Orca session");
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

TaskStatus taskStatus(simdjson::dom::element value) {
  simdjson::dom::object object = objectValue(value, "The task record");
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
  if (auto orca = member(object, "orcaSession")) t.orcaSession = orcaSessionReference(*orca);
  return t;
}

simdjson::dom::element parseDocument(simdjson::dom::parser& parser, std::string_view text) {
  simdjson::dom::element document;
  if (auto error = parser.parse(text.data(), text.size()).get(document))
    throw DecodingError(std::string("The data isn't valid JSON: ") +
                        simdjson::error_message(error));
  return document;
}

TaskStatus TaskStatus::decode(std::string_view text, simdjson::dom::parser& parser) {
  return taskStatus(parseDocument(parser, text));
}

std::string TaskStatus::encoded() const {
  json::Writer w;
  write(w, fields(*this));
  return w.take();
}

TaskStatus TaskStatus::decode(std::string_view text) {
  simdjson::dom::parser parser;
  return decode(text, parser);
}

std::string encodePretty(const std::vector<TaskStatus>& tasks) {
  json::Writer w(json::Style::pretty);
  w.beginArray();
  for (const auto& task : tasks) write(w, fields(task));
  w.endArray();
  return w.take();
}

}  // namespace lantrel
