// What the Codex desktop app's global state file (".codex-global-state.json"
// in the Codex home) tells the lights: which threads the app still shows as
// unread, and which local project each thread belongs to. The file belongs to
// the desktop app and is only ever read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lantrel/task_status.hpp"

namespace lantrel {

// The desktop app's unread threads; the `codex` member of TaskReadState.
struct CodexReadState {
  // A larger state file is not read at all (and is no error).
  static constexpr std::uint64_t maximumFileBytes = 16'000'000;

  // Thread IDs as the file writes them; absent when the file gave no usable
  // read state, in which case no Codex task counts as read.
  std::optional<std::set<std::string>> unread;

  // ".codex-global-state.json" in `home`.
  static std::filesystem::path fileLocation(const std::filesystem::path& home);

  // Reads the state file of the Codex home. A missing or unreadable file, or
  // bytes that fail decode(), throw; a file above maximumFileBytes (checked
  // before any byte is read) or one that is not a regular file gives a state
  // without an unread set.
  static CodexReadState load(const std::filesystem::path& home);
  // Throws DecodingError when the bytes are not JSON of the file's shape;
  // one malformed read-state member fails the whole decode.
  static CodexReadState decode(std::string_view bytes);

  // True for a Codex task whose thread the known unread set does not hold.
  bool hasRead(const TaskStatus& task) const;

  bool operator==(const CodexReadState&) const = default;
};

// TaskStatus::visibleState against the desktop app's unread set alone: a
// finished Codex task that is neither scheduled nor in Orca is read when
// hasRead() says so; every other finished task is unread.
template <>
LightState TaskStatus::visibleState(Instant now, const CodexReadState& readState) const;

// Thread ID -> name of the local project the thread is assigned to (1 to 160
// characters, trimmed).
struct CodexProjects {
  // Fails as CodexReadState::load does; an oversized file gives no names.
  static std::map<std::string, std::string> load(const std::filesystem::path& home);
  // Throws DecodingError when the bytes are not JSON of the file's shape; one
  // assignment or project missing a required key empties the whole result.
  static std::map<std::string, std::string> decode(std::string_view bytes);
};

// Both readings of the global state from one read and one parse, for a
// caller that needs both (the file can be 16 MB). Never fails: each part
// that cannot be had falls back on its own, the read state to one with no
// unread set, the project names to none, exactly as the two loads would.
struct CodexGlobalState {
  CodexReadState readState;
  std::map<std::string, std::string> projects;

  static CodexGlobalState load(const std::filesystem::path& home);
  // The same, but project names are built only for the Codex tasks among
  // `tasks`, and each of those tasks gets its name, as SessionReader::load
  // would give it: a caller that lists a few tasks need not build a name
  // for each of thousands of threads. The whole file is checked all the
  // same, so `projects` holds exactly those tasks' entries of the full map.
  static CodexGlobalState load(const std::filesystem::path& home, std::vector<TaskStatus>& tasks);
};

}  // namespace lantrel
