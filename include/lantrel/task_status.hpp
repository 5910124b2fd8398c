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

namespace lantrel {

// Names are cut to this many user-perceived characters when a record is
// built from a source (names read back from a file keep their length).
inline constexpr std::size_t maximumNameCharacters = 160;
// Reports dated more than this many seconds ahead of now come from a clock
// that cannot be trusted.
inline constexpr double futureTolerance = 60;
// Working and waiting reports must be repeated within this many seconds.
inline constexpr double heartbeatLimit = 300;

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

// Where opening a task leads: its agent's desktop app (a deep link) or its
// Orca pane (brought to the front by OrcaNavigator).
struct TaskOpenDestination {
  enum Kind { desktop, orca };

  Kind kind;
  std::string target;  // the URL for desktop, the task ID for orca

  static TaskOpenDestination desktopURL(std::string url) { return {desktop, std::move(url)}; }
  static TaskOpenDestination orcaTask(std::string taskID) { return {orca, std::move(taskID)}; }
  bool operator==(const TaskOpenDestination&) const = default;
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
  // Builds a record from the required values; `name` keeps its first
  // maximumNameCharacters user-perceived characters (invalid UTF-8
  // repaired), the optional fields are absent.
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

  // The state to show at `now`. A report dated more than futureTolerance
  // seconds ahead is unknown. Failed stays failed, and waiting with its
  // attention confirmed stays waiting; other working and waiting reports
  // older than heartbeatLimit are unknown. A finished task (done or unread)
  // is done when `readState.hasRead(*this)`, else unread. `readState` is
  // normally a TaskReadState (visible_state.hpp), which asks the read state
  // of the task's own source; codex_read_state.hpp adds the form that knows
  // only the Codex desktop app's unread set.
  template <typename ReadState>
  LightState visibleState(Instant now, const ReadState& readState) const {
    LightState shown = visibleStateIfRead(now);
    return shown == LightState::done && !readState.hasRead(*this) ? LightState::unread : shown;
  }
  // The state to show at `now` if the user has seen the task's result.
  LightState visibleStateIfRead(Instant now) const;

  // Where opening the task leads: its Orca pane when it runs in one, else
  // its desktop app's deep link, else nowhere.
  std::optional<TaskOpenDestination> openDestination() const;

  // The compact JSON form of a task file (keys in field order, instants as
  // seconds since 2001, absent fields without a key). An instant that is not
  // finite (JSON has no such number) throws StatusError::invalidRecord.
  std::string encoded() const;
  // Reads one record; throws DecodingError for malformed JSON, a missing or
  // mistyped required key, or an unknown state. Unknown keys are ignored.
  static TaskStatus decode(std::string_view json);

  bool operator==(const TaskStatus&) const = default;
};

// A list of tasks in the pretty form of the `list` command: two-space
// indentation, " : ", keys sorted at every level, "/" escaped.
std::string encodePretty(const std::vector<TaskStatus>& tasks);

}  // namespace lantrel
