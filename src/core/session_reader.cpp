// Finding the recent Codex sessions under the Codex home, and each session's
// identity and a readable name in its transcript.
#include "lantrel/session_reader.hpp"

#include <set>
#include <unordered_map>
#include <system_error>

#include "codex_transcript_state.hpp"
#include "lantrel/codex_automation.hpp"
#include "lantrel/codex_read_state.hpp"
#include "support/files.hpp"
#include "support/json.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

// The thread names of the session index's last lines; a later line for an
// ID replaces an earlier one. Every name is kept in one buffer.
class ThreadNames {
 public:
  ThreadNames(const std::filesystem::path& file, json::Parser& parser) {
    files::ReadBuffer buffer;
    std::string_view index;
    try {
      index = files::readTailLines(file, SessionReader::sessionIndexTailBytes, false, buffer);
    } catch (const std::exception&) {
      return;  // no index, no names
    }
    // A decoded JSON string is never longer than its text in the line, so
    // the text never grows past its reserve and the views stay valid.
    text_.reserve(index.size());
    text::forEachLine(index, [&](std::string_view line) {
      auto object = parser.object(line, true);
      auto id = object ? json::string(*object, "id") : std::nullopt;
      auto name = object ? json::string(*object, "thread_name") : std::nullopt;
      if (!id || !name || text_.size() + id->size() + name->size() > text_.capacity()) return true;
      if (auto known = names_.find(*id); known != names_.end())
        known->second = keep(*name);
      else
        names_.emplace(keep(*id), keep(*name));
      return true;
    });
  }

  // The name of the last line for `id`; empty when there is none.
  std::string_view name(std::string_view id) const {
    auto found = names_.find(id);
    return found == names_.end() ? std::string_view() : found->second;
  }

 private:
  std::string_view keep(std::string_view value) {
    std::size_t at = text_.size();
    text_.append(value);
    return std::string_view(text_).substr(at, value.size());
  }

  std::string text_;
  std::unordered_map<std::string_view, std::string_view> names_;
};

}  // namespace

std::vector<TaskStatus> SessionReader::load(
    const std::filesystem::path& home, Instant now, std::int64_t limit,
    const std::map<std::string, std::string>* knownProjects) {
  // The walk comes first: without a recent transcript nothing else is read.
  std::vector<files::FoundFile> candidates =
      files::findFiles(home / "sessions", "jsonl", [&](const files::ResourceValues& values) {
        return now - values.modified < recentSeconds;  // files dated ahead count as recent
      });
  if (candidates.empty() || limit <= 0) return {};

  // The auxiliary inputs only add names, projects and flags; when they
  // cannot be read the tasks simply go without.
  std::map<std::string, std::string> loadedProjects;
  if (!knownProjects) {
    try {
      loadedProjects = CodexProjects::load(home);
    } catch (const std::exception&) {
    }
  }
  const auto& projects = knownProjects ? *knownProjects : loadedProjects;
  std::set<std::string> automationThreads;
  try {
    automationThreads = CodexAutomationIndex::load(home);
  } catch (const std::exception&) {
  }
  CodexTranscriptReader reader;  // one buffer and one parser for every file
  ThreadNames threadNames(home / "session_index.jsonl", reader.parser());

  std::vector<TaskStatus> tasks;
  std::set<std::string> seen;
  for (const files::FoundFile& candidate : candidates) {
    if (static_cast<std::int64_t>(tasks.size()) >= limit) break;
    try {
      reader.open(candidate.path);
    } catch (const std::filesystem::filesystem_error& error) {
      // Removed since the walk (Codex cleans up old sessions): it is gone.
      if (error.code() == std::errc::no_such_file_or_directory) continue;
      throw;
    }
    std::optional<std::string> id = reader.sessionID();
    // The newest transcript of a session stands for it.
    if (!id || !seen.insert(*id).second) continue;
    std::string name(text::trimmed(threadNames.name(*id)));
    if (name.empty()) {
      std::optional<std::string> conversation = reader.conversationName();
      name = conversation ? std::move(*conversation) : "Codex task " + id->substr(0, 8);
    }
    TaskStatus task = reader.task("codex-" + *id, name);
    if (auto project = projects.find(*id); project != projects.end())
      task.projectName = project->second;
    task.isScheduled = automationThreads.contains(text::lowercased(*id));
    tasks.push_back(std::move(task));
  }
  return tasks;
}

TaskStatus SessionReader::parse(std::string_view bytes, std::string_view id,
                                std::string_view name) {
  files::ReadBuffer buffer;
  return CodexTranscriptReader().parse(buffer.copy(bytes), id, name);
}

std::optional<std::string> SessionReader::sessionID(const std::filesystem::path& url) {
  files::ReadBuffer buffer;
  return CodexTranscriptReader().sessionIDOf(files::readEnds(url, sessionIDHeadBytes, 0, buffer).head);
}

std::optional<std::string> SessionReader::conversationName(const std::filesystem::path& url) {
  // Any failure means no name; the caller falls back to a generic one.
  try {
    files::ReadBuffer buffer;
    return CodexTranscriptReader().conversationNameOf(
        files::readEnds(url, conversationNameHeadBytes, 0, buffer).head);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace lantrel
