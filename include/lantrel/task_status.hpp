// The record every source exchanges: one task's status as a source reported
// it, the light states, and what is derived from a record.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lantrel/errors.hpp"
#include "lantrel/instant.hpp"

namespace simdjson::dom {
class parser;
}

namespace lantrel {

struct CodexReadState;
struct TaskReadState;
struct TaskOpenDestination;  // lantrel/orca_session_index.hpp

enum class LightState { working, waiting, done, unread, failed, unknown };

inline constexpr std::array<LightState, 6> allLightStates = {
    LightState::working, LightState::waiting, LightState::done,
    LightState::unread,  LightState::failed,  LightState::unknown};

// "working", "waiting", ... as stored in files and typed on the command line.
std::string_view rawValue(LightState state);
// Exact, case-sensitive match against the six raw values.
std::optional<LightState> lightState(std::string_view rawValue);
// "Working", "Needs your attention", "Finished · read", ...
std::string_view label(LightState state);

enum class TaskProvider { local, codex, claude };
std::string_view rawValue(TaskProvider provider);
std::optional<TaskProvider> taskProvider(std::string_view rawValue);

// Source labels that carry meaning.
inline constexpr std::string_view localSource = "Local status";
inline constexpr std::string_view codexSource = "Codex history · experimental";
inline constexpr std::string_view claudeSource = "Claude Code";

// The Orca terminal pane a task runs in, as Orca's status file reports it.
struct OrcaSessionReference {
  std::string provider;   // "claude" or "codex"
  std::string sessionID;  // lower-case UUID
  std::string tabID;
  std::string leafID;
  std::string worktreeID;
  Instant observedAt;
  std::optional<std::string> transcriptPath;

  // provider + "-" + lower-cased sessionID: the ID the readers give the task.
  std::string taskID() const;
  bool operator==(const OrcaSessionReference&) const = default;
};

struct TaskStatus {
  std::string id;
  std::string name;
  LightState state = LightState::unknown;
  Instant updatedAt;
  std::string source;
  std::optional<std::string> projectName;
  std::optional<Instant> lastTurnBoundaryAt;
  // When true, a waiting task stays waiting however old its report is.
  std::optional<bool> confirmedAttentionPending;
  std::optional<std::string> providerSessionID;
  std::optional<Instant> providerSessionLastFocusedAt;
  // A run of a scheduled Codex automation.
  std::optional<bool> isScheduled;
  std::optional<OrcaSessionReference> orcaSession;

  TaskStatus() = default;
  // Builds a record from the required values; `name` keeps its first 160
  // user-perceived characters, the optional fields are absent.
  TaskStatus(std::string id, std::string name, LightState state, Instant updatedAt,
             std::string source);

  TaskProvider provider() const;
  bool isOrcaTask() const { return orcaSession.has_value(); }
  // The lower-cased thread UUID of a Codex task.
  std::optional<std::string> codexThreadID() const;
  // Deep link into the provider's desktop app: codex://threads/<id> or
  // claude://code/continue?session=local_<uuid>.
  std::optional<std::string> taskURL() const;
  std::optional<std::string> codexThreadURL() const;
  // The Claude Code session ID of a Claude task: the rest of "claude-<uuid>".
  std::optional<std::string> claudeSessionID() const;

  // The state to show now: stale working and waiting reports (over 300 s)
  // become unknown, reports more than 60 s in the future unknown, finished
  // tasks done or unread by the read state. The second form reads Codex tasks
  // against the desktop app's unread set and knows nothing else as read.
  LightState visibleState(Instant now, const TaskReadState& readState) const;
  LightState visibleState(Instant now, const CodexReadState& readState) const;
  // Where opening the task leads: its Orca pane when it runs in one, else
  // its desktop app's deep link, else nowhere. Defined with the Orca index.
  std::optional<TaskOpenDestination> openDestination() const;

  // The compact JSON form of a task file (keys in field order, instants as
  // seconds since 2001, absent fields without a key).
  std::string encoded() const;
  // Reads one record; throws DecodingError for malformed JSON, a missing or
  // mistyped required key, or an unknown state. Unknown keys are ignored.
  static TaskStatus decode(std::string_view json);
  // The same with a parser the caller reuses across many records.
  static TaskStatus decode(std::string_view json, simdjson::dom::parser& parser);

  bool operator==(const TaskStatus&) const = default;
};

// A list of tasks in the pretty form of the `list` command: two-space
// indentation, " : ", keys sorted at every level, "/" escaped.
std::string encodePretty(const std::vector<TaskStatus>& tasks);

}  // namespace lantrel
