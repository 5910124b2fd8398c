// Claude tasks from Claude Code's transcripts, the hook records and the
// desktop app's session files.
//
// Claude Code writes one JSON Lines transcript per session under
// <home>/projects/<encoded working directory>/<session id>.jsonl. Every line
// is an object with a "type"; most carry the "sessionId", the "cwd" and a
// "timestamp". User and assistant messages, queue operations and custom
// titles are what tell a session's name and state.

#include "lantrel/claude_session_reader.hpp"

#include <dirent.h>

#include <algorithm>
#include <exception>
#include <unordered_map>
#include <unordered_set>

#include "support/files.hpp"
#include "support/json_lines.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

namespace fs = std::filesystem;
using simdjson::dom::object;

constexpr std::size_t maximumNameCharacters = 160;

// The text after the last dot of a file name that does not start with one.
bool hasExtension(std::string_view name, std::string_view extension) {
  std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot > 0 && name.substr(dot + 1) == extension;
}

// Calls `visit(directory, name, directoryFD)` for every entry below `root`
// except links, directories (which are entered instead) and, with
// `skipHidden`, hidden entries (a hidden directory is not entered).
// A directory's own entries come before those of its subdirectories.
// Failing to list `root` throws (false when it does not exist); a
// subdirectory that cannot be listed is passed over; what `visit` throws
// ends the walk.
template <typename Visit>
bool walk(const fs::path& root, bool skipHidden, Visit visit) {
  std::vector<fs::path> pending;
  bool visiting = false;  // failures of `visit` are the caller's
  auto list = [&](const fs::path& directory) {
    std::vector<fs::path> children;
    auto entry = [&](std::string_view name, unsigned char type, int directoryFD) {
      if (skipHidden && name.front() == '.') return;
      if (type == DT_UNKNOWN) {
        std::optional<files::ResourceValues> values;
        try {
          values = files::resourceValuesAt(directoryFD, name, directory);
        } catch (const fs::filesystem_error&) {
        }
        if (values && values->isDirectory) type = DT_DIR;
        if (values && values->isSymbolicLink) type = DT_LNK;
      }
      if (type == DT_DIR)
        children.push_back(directory / name);
      else if (type != DT_LNK) {
        visiting = true;
        visit(directory, name, directoryFD);
        visiting = false;
      }
    };
    bool exists = files::forEachEntryAt(directory, entry);
    // Deeper levels are visited after this one, in listing order.
    pending.insert(pending.end(), children.rbegin(), children.rend());
    return exists;
  };
  if (!list(root)) return false;
  while (!pending.empty()) {
    fs::path directory = std::move(pending.back());
    pending.pop_back();
    try {
      list(directory);
    } catch (const fs::filesystem_error&) {
      if (visiting) throw;
    }
  }
  return true;
}

// The last component of an absolute path ("/a/b/" gives "b"); nullopt for
// "/" or an empty path.
std::optional<std::string> lastPathComponent(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::string_view name = path.substr(path.rfind('/') + 1);
  if (name.empty()) return std::nullopt;
  return std::string(name);
}

bool isTrue(object line, std::string_view key) {
  bool value = false;
  return line.at_key(key).get(value) == simdjson::SUCCESS && value;
}

// The words a user typed: a string content, or the "text" of the content
// blocks of type "text" joined by spaces; one line, trimmed, 160 characters.
// Markup-only messages ("<command-name>...") and interruption notes are not
// prompts.
std::optional<std::string> promptText(object message) {
  std::string joined;
  if (auto content = jsonl::string(message, "content")) {
    joined = *content;
  } else if (auto blocks = jsonl::array(message, "content")) {
    bool first = true;
    for (auto element : *blocks) {
      object block;
      if (element.get(block) != simdjson::SUCCESS || jsonl::string(block, "type") != "text")
        continue;
      auto text = jsonl::string(block, "text");
      if (!text) continue;
      if (!first) joined.push_back(' ');
      joined.append(*text);
      first = false;
    }
  }
  std::string words = text::collapsedWhitespace(text::repairUTF8(joined));
  if (words.empty() || words.front() == '<' || words.starts_with("[Request interrupted"))
    return std::nullopt;
  return text::characterPrefix(words, maximumNameCharacters);
}

struct Transition {
  LightState state;
  bool pending;
};

// What an assistant message says about the turn.
std::optional<Transition> assistantTransition(object line) {
  auto message = jsonl::object(line, "message");
  if (!message) return std::nullopt;
  auto stopReason = jsonl::string(*message, "stop_reason");
  if (stopReason == "end_turn") return Transition{LightState::done, false};
  if (stopReason != "tool_use") return std::nullopt;
  if (auto blocks = jsonl::array(*message, "content")) {
    for (auto element : *blocks) {
      object block;
      if (element.get(block) == simdjson::SUCCESS && jsonl::string(block, "type") == "tool_use" &&
          jsonl::string(block, "name") == "AskUserQuestion")
        return Transition{LightState::waiting, true};
    }
  }
  return Transition{LightState::working, false};
}

// A transcript's facts gathered line by line.
struct TranscriptFacts {
  std::string sessionID;
  std::optional<std::string> title;
  std::optional<std::string> firstPrompt;
  std::string workingDirectory;
  LightState state = LightState::unknown;
  bool pending = false;
  bool stateSet = false;
  Instant lastTime = Instant::distantPast();

  void read(object line) {
    if (auto id = jsonl::string(line, "sessionId"); id && isUUID(*id)) sessionID.assign(*id);
    std::string_view type = jsonl::string(line, "type").value_or("");
    if (type == "custom-title") {
      auto customTitle = jsonl::string(line, "customTitle");
      if (customTitle && !text::trimmed(*customTitle).empty())
        title = text::characterPrefix(text::repairUTF8(*customTitle), maximumNameCharacters);
    }
    if (auto cwd = jsonl::string(line, "cwd"); cwd && !cwd->empty() && cwd->front() == '/')
      workingDirectory.assign(*cwd);

    // The rest needs the line's time; it is read only for lines that use it.
    std::optional<Transition> transition;
    std::optional<object> promptMessage;
    if (type == "user") {
      transition = Transition{LightState::working, false};
      if (!firstPrompt && !isTrue(line, "isMeta") && !isTrue(line, "isSidechain"))
        promptMessage = jsonl::object(line, "message");
    } else if (type == "assistant") {
      transition = assistantTransition(line);
    } else if (type == "queue-operation" && jsonl::string(line, "operation") == "dequeue") {
      transition = Transition{LightState::working, false};
    }
    if (!transition && !promptMessage) return;
    auto timestamp = jsonl::string(line, "timestamp");
    std::optional<Instant> time = timestamp ? Instant::parseISO8601(*timestamp) : std::nullopt;
    if (!time) return;
    if (promptMessage) firstPrompt = promptText(*promptMessage);
    if (transition) {
      state = transition->state;
      pending = transition->pending;
      stateSet = true;
      lastTime = std::max(lastTime, *time);
    }
  }
};

// The lines of `pieces` in order, each piece made of whole lines and lying
// in the parser's buffer.
std::optional<TaskStatus> parseTranscript(std::initializer_list<std::string_view> pieces,
                                          jsonl::LineParser& parser, std::string_view fallbackID,
                                          std::string_view fallbackName) {
  TranscriptFacts facts;
  facts.sessionID = fallbackID;
  for (std::string_view piece : pieces) {
    jsonl::forEachLine(piece, [&](std::string_view line) {
      if (auto object = parser.object(line)) facts.read(*object);
      return true;
    });
  }
  if (!facts.stateSet || !isUUID(facts.sessionID)) return std::nullopt;
  std::string name = facts.title         ? std::move(*facts.title)
                     : facts.firstPrompt ? std::move(*facts.firstPrompt)
                                         : std::string(fallbackName);
  TaskStatus task("claude-" + facts.sessionID, std::move(name), facts.state, facts.lastTime,
                  std::string(claudeSource));
  task.projectName = lastPathComponent(facts.workingDirectory);
  task.confirmedAttentionPending = facts.pending;
  return task;
}

struct Candidate {
  fs::path path;
  std::string fileID;  // the file name without ".jsonl"
  Instant modified;
};

// The transcripts modified within the last day (and not too far ahead),
// newest first; walk order breaks ties.
std::vector<Candidate> recentTranscripts(const fs::path& projects, Instant now) {
  std::vector<Candidate> candidates;
  try {
    walk(projects, true, [&](const fs::path& directory, std::string_view name, int directoryFD) {
      if (!hasExtension(name, "jsonl")) return;
      // A transcript removed since the listing is simply gone.
      auto values = files::resourceValuesAt(directoryFD, name, directory);
      if (!values || !values->isRegularFile || values->isSymbolicLink ||
          values->size > ClaudeSessionReader::maximumTranscriptBytes)
        return;
      double age = now - values->modified;
      if (!(age < ClaudeSessionReader::recentSeconds &&
            age >= -ClaudeSessionReader::futureTolerance))
        return;
      candidates.push_back(
          {directory / name, std::string(name.substr(0, name.size() - 6)), values->modified});
    });
  } catch (const fs::filesystem_error& error) {
    // Only the listing of the projects directory itself is forgiven.
    if (error.path1() != projects) throw;
    return {};
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.modified > b.modified; });
  return candidates;
}

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
  if (record.state == LightState::done) {
    task.state = LightState::done;
    task.confirmedAttentionPending = false;
  } else {
    task.state = record.state;
    task.updatedAt = record.updatedAt;
    task.confirmedAttentionPending = record.confirmedAttentionPending;
  }
  if (!task.projectName) task.projectName = lastPathComponent(record.cwd);
}

}  // namespace

fs::path ClaudeSessionReader::defaultDesktopSessionsRoot() {
  return files::homeDirectory() / "Library/Application Support/Claude/claude-code-sessions";
}

std::optional<TaskStatus> ClaudeSessionReader::parse(std::string_view data,
                                                     std::string_view fallbackID,
                                                     std::string_view fallbackName) {
  jsonl::LineParser parser(data);
  return parseTranscript({data}, parser, fallbackID, fallbackName);
}

std::vector<TaskStatus> ClaudeSessionReader::load(const fs::path& home,
                                                  const ClaudeHookStore& hookStore, Instant now,
                                                  const fs::path& desktopSessionsRoot,
                                                  std::size_t limit) {
  std::vector<TaskStatus> tasks;
  std::vector<Candidate> candidates = recentTranscripts(home / "projects", now);
  if (candidates.empty() || limit == 0) return tasks;

  auto records = hookRecords(hookStore, now);
  std::optional<ClaudeDesktopSessionIndex::Snapshot> snapshot;
  try {
    snapshot = ClaudeDesktopSessionIndex::snapshot(desktopSessionsRoot);
  } catch (const std::exception&) {
  }

  std::unordered_set<std::string> seen;
  // One buffer for every transcript, with room after the data for the
  // parser to read ahead, so that no line has to be copied to be parsed.
  std::string buffer(2 * transcriptReadBytes + simdjson::SIMDJSON_PADDING, ' ');
  jsonl::LineParser parser(buffer);
  for (const Candidate& candidate : candidates) {
    if (tasks.size() >= limit) break;
    if (!isUUID(candidate.fileID)) continue;
    auto data = files::readHeadLinesAndTail(candidate.path, transcriptReadBytes, buffer);
    parser.rebind(buffer);
    auto task = parseTranscript({data.head, data.tail}, parser, candidate.fileID,
                                "Claude task " + candidate.fileID.substr(0, 8));
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
  simdjson::dom::parser parser;
  walk(root, false, [&](const fs::path& directory, std::string_view name, int) {
    if (!hasExtension(name, "json")) return;
    std::string bytes;
    try {
      // Refuses links, non-regular files and files above the limit.
      bytes = files::readOwnFile(directory / name, maximumFileBytes);
    } catch (const std::exception&) {
      return;
    }
    object file;
    if (parser.parse(bytes).get(file) != simdjson::SUCCESS) return;
    auto cliSessionID = jsonl::string(file, "cliSessionId");
    auto sessionID = jsonl::string(file, "sessionId");
    if (!cliSessionID || !isUUID(*cliSessionID) || !sessionID ||
        !sessionID->starts_with("local_") || !isUUID(sessionID->substr(6)))
      return;
    std::string key(*cliSessionID);
    snapshot.sessionIDs.insert_or_assign(key, std::string(*sessionID));
    double milliseconds;
    if (file.at_key("lastFocusedAt").get(milliseconds) == simdjson::SUCCESS)
      snapshot.lastFocusedAt.insert_or_assign(key, Instant::fromUnix(milliseconds / 1000));
    else
      snapshot.lastFocusedAt.erase(key);
  });
  return snapshot;
}

std::map<std::string, std::string> ClaudeDesktopSessionIndex::load(const fs::path& root) {
  return snapshot(root).sessionIDs;
}

}  // namespace lantrel
