// Claude Code hook events turned into one small record per Claude session.
// Claude Code runs `lantrel-status claude-hook` on each hook event; the event
// becomes the session's light state, kept in <directory>/<sessionID>.json.
// Only status metadata is kept: never a prompt, a tool input or any other
// member of the event.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

struct ClaudeHookRecord {
  std::string sessionID;  // Claude Code's session UUID, letter case as received
  LightState state = LightState::unknown;
  Instant updatedAt;  // stored as ISO 8601 in whole UTC seconds
  std::string cwd;    // absolute
  std::string transcriptPath;  // absolute
  // True when the state comes from an event proving Claude waits for the
  // user (a permission request, an elicitation, a question).
  bool confirmedAttentionPending = false;

  // The compact JSON of a record file, "updatedAt" as "2025-10-01T12:34:56Z"
  // (the fraction of a second is dropped).
  std::string encoded() const;
  // Reads a record file's JSON. All six keys are required with their types,
  // "updatedAt" in exactly the form written; anything else throws
  // DecodingError.
  static ClaudeHookRecord decode(std::string_view json);

  bool operator==(const ClaudeHookRecord&) const = default;
};

struct ClaudeHookStore {
  static constexpr std::size_t maximumEventBytes = 65536;
  static constexpr std::size_t maximumRecordBytes = 16384;
  static constexpr std::size_t maximumPathCharacters = 4096;
  // loadAll reports records updated less than this many seconds ago.
  static constexpr double recordLifetime = 86400;

  std::filesystem::path directory;

  // ~/Library/Application Support/Lantrel/claude-events
  static std::filesystem::path defaultDirectory();

  // Files one hook event (the raw bytes Claude Code wrote to the hook's
  // standard input). Unusable input (over maximumEventBytes, not an object,
  // no UUID "session_id", no string "hook_event_name", "cwd" or
  // "transcript_path" not absolute or over maximumPathCharacters) throws
  // StatusError::invalidRecord; malformed JSON throws DecodingError. Events
  // that say nothing about the state are ignored without touching the disk.
  // A finished or failed session that reports the same again keeps the time
  // it first finished; any other state moves the time to `now`.
  void ingest(std::string_view event, Instant now) const;

  // The records updated less than recordLifetime before `now` (future ones
  // included), in directory order. A missing directory is empty; one bad
  // record file (link, not regular, oversized, undecodable) fails the call.
  std::vector<ClaudeHookRecord> loadAll(Instant now) const;
};

}  // namespace lantrel
