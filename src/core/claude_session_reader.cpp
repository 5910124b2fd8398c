// Claude tasks from Claude Code's transcripts, the hook records and the
// desktop app's session files. Claude Code keeps one transcript per session
// at <home>/projects/<encoded working directory>/<session id>.jsonl.
#include "lantrel/claude_session_reader.hpp"

#include <exception>
#include <unordered_map>
#include <unordered_set>

#include "claude_transcript.hpp"
#include "support/files.hpp"
#include "support/json.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

namespace fs = std::filesystem;

// The newest hook record of each session; none when they cannot be read.
std::unordered_map<std::string, ClaudeHookRecord> hookRecords(const ClaudeHookStore& store,
                                                              Instant now) {
  std::unordered_map<std::string, ClaudeHookRecord> records;
  try {
    for (ClaudeHookRecord& record : store.loadAll(now))
      records.insert_or_assign(record.sessionID, std::move(record));
  } catch (const std::exception&) {
    records.clear();
  }
  return records;
}

// A hook record as recent as the transcript knows better what Claude is
// doing, except that a finished session keeps the time the transcript shows:
// the idle notification that also reports `done` comes long after the turn.
void applyHookRecord(TaskStatus& task, const ClaudeHookRecord& record) {
  if (record.updatedAt < task.updatedAt) return;
  bool finished = record.state == LightState::done;
  task.state = record.state;
  task.confirmedAttentionPending = !finished && record.confirmedAttentionPending;
  if (!finished) task.updatedAt = record.updatedAt;
  if (!task.projectName) task.projectName = lastPathComponent(record.cwd);
}

}  // namespace

fs::path ClaudeSessionReader::defaultDesktopSessionsRoot() {
  return files::homeDirectory() / "Library/Application Support/Claude/claude-code-sessions";
}

std::optional<TaskStatus> ClaudeSessionReader::parse(std::string_view data,
                                                     std::string_view fallbackID,
                                                     std::string_view fallbackName) {
  files::ReadBuffer buffer;
  json::Parser parser;
  return claudeTranscriptTask({buffer.copy(data)}, parser, fallbackID, fallbackName);
}

std::vector<TaskStatus> ClaudeSessionReader::load(const fs::path& home,
                                                  const ClaudeHookStore& hookStore, Instant now,
                                                  const fs::path& desktopSessionsRoot,
                                                  std::size_t limit) {
  std::vector<TaskStatus> tasks;
  // The transcripts modified within the last day (and not too far ahead).
  std::vector<files::FoundFile> candidates =
      files::findFiles(home / "projects", "jsonl", [&](const files::ResourceValues& values) {
        double age = now - values.modified;
        return values.size <= maximumTranscriptBytes && age < recentSeconds &&
               age >= -futureTolerance;
      });
  if (candidates.empty() || limit == 0) return tasks;

  auto records = hookRecords(hookStore, now);
  std::optional<ClaudeDesktopSessionIndex::Snapshot> snapshot;
  try {
    snapshot = ClaudeDesktopSessionIndex::snapshot(desktopSessionsRoot);
  } catch (const std::exception&) {
  }

  std::unordered_set<std::string> seen;
  files::ReadBuffer buffer;  // one buffer and one parser for every transcript
  json::Parser parser;
  for (const files::FoundFile& candidate : candidates) {
    if (tasks.size() >= limit) break;
    std::string fileID(candidate.name().substr(0, candidate.name().size() - 6));  // no ".jsonl"
    if (!isUUID(fileID)) continue;
    files::FileEnds ends;
    if (files::goneSinceListing([&] { ends = readClaudeTranscript(candidate.path, buffer); }))
      continue;
    auto task = claudeTranscriptTask({ends.head, ends.tail}, parser, fileID,
                                     "Claude task " + fileID.substr(0, 8));
    if (!task) continue;
    std::optional<std::string> sessionID = task->claudeSessionID();
    if (!sessionID || !seen.insert(*sessionID).second) continue;
    if (auto record = records.find(*sessionID); record != records.end())
      applyHookRecord(*task, record->second);
    if (snapshot) {
      if (auto id = snapshot->sessionIDs.find(*sessionID); id != snapshot->sessionIDs.end())
        task->providerSessionID = id->second;
      if (auto focus = snapshot->lastFocusedAt.find(*sessionID);
          focus != snapshot->lastFocusedAt.end())
        task->providerSessionLastFocusedAt = focus->second;
    }
    tasks.push_back(std::move(*task));
  }
  return tasks;
}

ClaudeDesktopSessionIndex::Snapshot ClaudeDesktopSessionIndex::snapshot(const fs::path& root) {
  Snapshot snapshot;
  files::ReadBuffer buffer;
  json::Parser parser;
  files::walk(root, {.recursive = true}, [&](const files::DirectoryEntry& entry) {
    if (!files::hasExtension(entry.name, "json")) return true;
    std::optional<json::Object> file;
    try {
      // Refuses links, non-regular files and files above the limit.
      if (auto data = files::readOwnFile(entry, maximumFileBytes, buffer))
        file = parser.object(*data, true);
    } catch (const std::exception&) {
    }
    auto cliSessionID = file ? json::string(*file, "cliSessionId") : std::nullopt;
    auto sessionID = file ? json::string(*file, "sessionId") : std::nullopt;
    if (!cliSessionID || !isUUID(*cliSessionID) || !sessionID ||
        !sessionID->starts_with("local_") || !isUUID(sessionID->substr(6)))
      return true;
    std::string key(*cliSessionID);
    snapshot.sessionIDs.insert_or_assign(key, std::string(*sessionID));
    if (auto milliseconds = json::number(*file, "lastFocusedAt"))
      snapshot.lastFocusedAt.insert_or_assign(key, Instant::fromUnix(*milliseconds / 1000));
    else
      snapshot.lastFocusedAt.erase(key);
    return true;
  });
  return snapshot;
}

std::map<std::string, std::string> ClaudeDesktopSessionIndex::load(const fs::path& root) {
  return snapshot(root).sessionIDs;
}

}  // namespace lantrel
