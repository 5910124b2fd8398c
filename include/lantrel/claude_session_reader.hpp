// Claude tasks from Claude Code's own session transcripts: one task per
// recently active session, newest first, named and placed in a project by its
// transcript, its state corrected by the hook records that the claude-hook
// command keeps, and linked to the Claude desktop app's view of the same
// conversation. Only reads; nothing of Claude's is ever written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lantrel/claude_hook_store.hpp"
#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

// The Claude desktop app keeps one JSON file per Claude Code conversation it
// shows, naming Claude Code's session ID ("cliSessionId"), its own session ID
// ("sessionId", "local_" and a UUID) and when the user last focused it
// ("lastFocusedAt", milliseconds since 1970).
struct ClaudeDesktopSessionIndex {
  // Larger files are not read.
  static constexpr std::uint64_t maximumFileBytes = 4'000'000;

  struct Snapshot {
    // Claude Code session ID -> the desktop app's "local_<uuid>" session ID.
    std::map<std::string, std::string> sessionIDs;
    // Claude Code session ID -> when the user last focused that conversation.
    std::map<std::string, Instant> lastFocusedAt;

    bool operator==(const Snapshot&) const = default;
  };

  // Every "*.json" file under `root` (recursively; links, non-regular and
  // oversized files are passed over). A file that cannot be read, is not a
  // JSON object, or lacks a UUID "cliSessionId" or a "local_<uuid>"
  // "sessionId" adds nothing; where two files name the same conversation the
  // later one in the walk wins. A missing root is an empty snapshot; a root
  // that cannot be listed throws filesystem_error.
  static Snapshot snapshot(const std::filesystem::path& root);
  // The snapshot's sessionIDs alone.
  static std::map<std::string, std::string> load(const std::filesystem::path& root);
};

struct ClaudeSessionReader {
  // Transcripts larger than this are passed over.
  static constexpr std::uint64_t maximumTranscriptBytes = 64'000'000;
  // Bytes read from each end of a transcript: whole lines from its first
  // and last transcriptReadBytes.
  static constexpr std::uint64_t transcriptReadBytes = 524'288;
  // A transcript is read when it was modified less than this many seconds
  // ago, and not more than futureTolerance seconds ahead of now.
  static constexpr double recentSeconds = 86'400;
  static constexpr double futureTolerance = lantrel::futureTolerance;

  // ~/Library/Application Support/Claude/claude-code-sessions
  static std::filesystem::path defaultDesktopSessionsRoot();

  // The Claude tasks of the recently modified transcripts "<uuid>.jsonl"
  // under <home>/projects (any depth; hidden entries and symbolic links are
  // passed over), newest file first, at most `limit`, one per session (the
  // newest file wins). A hook record as recent as the transcript decides the
  // state, except that a finished session keeps the transcript's time; the
  // desktop snapshot adds providerSessionID and providerSessionLastFocusedAt.
  // A missing projects directory, unreadable hook records or desktop files
  // mean fewer data, never an error. Throws filesystem_error only when the
  // attributes of a candidate transcript or its bytes cannot be read.
  static std::vector<TaskStatus> load(const std::filesystem::path& home,
                                      const ClaudeHookStore& hookStore, Instant now,
                                      const std::filesystem::path& desktopSessionsRoot,
                                      std::size_t limit);

  // One task from transcript lines (normally the head and tail that load
  // reads): the last UUID "sessionId" (else fallbackID), named by its last
  // custom title, else its first typed prompt, else fallbackName (160
  // characters at most), its project the last component of the last "cwd",
  // its state and time from the last user, assistant and dequeue lines.
  // Malformed lines are skipped. nullopt when no line sets a state or the
  // session ID is not a UUID.
  static std::optional<TaskStatus> parse(std::string_view data, std::string_view fallbackID,
                                         std::string_view fallbackName);
};

}  // namespace lantrel
