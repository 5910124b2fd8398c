// Codex tasks from the Codex agent's own session transcripts: one task per
// recently active session, its light state derived from the transcript's
// last lines. Only reads; nothing under the Codex home is ever written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lantrel/instant.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

struct CodexGlobalState;

class SessionReader {
 public:
  // Bytes read from a transcript, each byte once: its head for the session
  // ID, its tail for the state, and a longer head for a fallback name.
  static constexpr std::uint64_t sessionIDHeadBytes = 65536;
  static constexpr std::uint64_t stateTailBytes = 524288;
  static constexpr std::uint64_t conversationNameHeadBytes = 524288;
  // Only the last this-many bytes of "session_index.jsonl" are read.
  static constexpr std::uint64_t sessionIndexTailBytes = 2'000'000;
  // Transcripts modified longer ago than this are not opened at all.
  static constexpr double recentSeconds = 86400;

  // The Codex tasks of the sessions active in the last day under `home`
  // (the Codex home), newest transcript first, one task per session, at most
  // `limit` of them. Names come from the session index, else the first user
  // message, else "Codex task " and the ID's first 8 characters; projects
  // from the desktop app's global state; the scheduled flag from the
  // automations. Transcripts beyond the limit are never opened. Unreadable
  // auxiliary files only lose names, projects or flags, but a recent
  // transcript that cannot be read or examined throws filesystem_error and
  // no partial list is returned (a transcript removed meanwhile is passed
  // over). No "sessions" directory gives no tasks.
  // The global state is read once, after the tasks, for their project
  // names only (CodexGlobalState::load(home, tasks)); `global`, when given,
  // receives it, so that a caller that also needs the unread set does not
  // read it again. Without a recent transcript it is not read at all.
  static std::vector<TaskStatus> load(const std::filesystem::path& home, Instant now,
                                      std::int64_t limit, CodexGlobalState* global = nullptr);

  // The state of one session from the lines of its transcript (normally
  // the last stateTailBytes of whole lines). The record has the given ID,
  // the name cut to 160 characters, source codexSource, the derived state,
  // `updatedAt` the latest line's timestamp (distantPast() when no line
  // counts), and the last turn boundary and attention flag when the lines
  // set them. Malformed lines are skipped; this never fails.
  static TaskStatus parse(std::string_view bytes, std::string_view id, std::string_view name);

  // The Codex thread ID of a transcript, exactly as its first line (a
  // "session_meta" line) writes it, or nullopt when that line is not a
  // valid session meta line with a UUID. Throws filesystem_error when the
  // file cannot be opened or read.
  static std::optional<std::string> sessionID(const std::filesystem::path& url);

  // A one-line name of at most 160 characters from the first user message
  // in the transcript's head, or nullopt. Never fails.
  static std::optional<std::string> conversationName(const std::filesystem::path& url);

};

}  // namespace lantrel
