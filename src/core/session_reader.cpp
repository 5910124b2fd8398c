// Finding the recent Codex sessions under the Codex home, and each session's
// identity and a readable name in its transcript.

#include "lantrel/session_reader.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <map>
#include <memory>
#include <set>

#include "lantrel/codex_automation.hpp"
#include "lantrel/codex_read_state.hpp"
#include "support/files.hpp"
#include "support/json_lines.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

using simdjson::dom::object;

constexpr std::size_t maximumNameCharacters = 160;

// The user's words in a "response_item" user message: the "text" of every
// content item that the metadata marks as typed by the user, joined by
// spaces. nullopt when the message does not have that shape.
std::optional<std::string> userTextOfMessage(object payload) {
  auto metadata = jsonl::object(payload, "internal_chat_message_metadata_passthrough");
  if (!metadata) return std::nullopt;
  auto kinds = jsonl::array(*metadata, "content_item_kinds");
  auto content = jsonl::array(payload, "content");
  if (!kinds || !content || kinds->size() != content->size()) return std::nullopt;
  for (auto kind : *kinds)
    if (!kind.is_string()) return std::nullopt;
  for (auto item : *content)
    if (!item.is_object()) return std::nullopt;
  std::string joined;
  auto kind = kinds->begin();
  for (auto element : *content) {
    object item = element.get_object().value_unsafe();
    std::string_view kindText = (*kind).get_string().value_unsafe();
    ++kind;
    auto text = jsonl::string(item, "text");
    if (kindText != "user.text" || jsonl::string(item, "type") != "input_text" || !text)
      continue;
    if (!joined.empty()) joined.push_back(' ');
    joined.append(*text);
  }
  return joined;
}

// The text a user typed, when the line is a user message.
std::optional<std::string> userText(object line) {
  auto payload = jsonl::object(line, "payload");
  if (!payload) return std::nullopt;
  auto type = jsonl::string(line, "type");
  auto payloadType = jsonl::string(*payload, "type");
  if (type == "event_msg" && payloadType == "user_message")
    return std::string(jsonl::string(*payload, "message").value_or(""));
  if (type == "response_item" && payloadType == "message" &&
      jsonl::string(*payload, "role") == "user")
    return userTextOfMessage(*payload);
  return std::nullopt;
}

// The first user message of a transcript head, on one line and cut to
// maximumNameCharacters.
std::optional<std::string> firstUserText(const std::string& head) {
  jsonl::LineParser parser(head);
  std::optional<std::string> name;
  jsonl::forEachLine(head, [&](std::string_view line) {
    auto object = parser.object(line);
    if (!object) return true;
    auto text = userText(*object);
    if (!text) return true;
    std::string words = text::collapsedWhitespace(text::repairUTF8(*text));
    if (words.empty()) return true;
    name = text::characterPrefix(words, maximumNameCharacters);
    return false;
  });
  return name;
}

// --- finding the transcripts ---------------------------------------------------

// A recent transcript file.
struct Candidate {
  std::string path;
  Instant modified;
};

struct DirectoryCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

bool hasTranscriptExtension(std::string_view name) {
  constexpr std::string_view extension = ".jsonl";
  return name.size() > extension.size() && name.ends_with(extension);
}

// Walks the directory whose path `path` holds and appends every regular
// transcript file modified less than a day before `now` (or after it): first
// the files of the directory, in listing order, then each subdirectory in
// turn. Hidden entries are skipped and hidden directories not entered; links
// are never followed. A directory that cannot be listed is left out, but a
// transcript whose attributes cannot be read throws. `path` is used as a
// scratch buffer and restored on return.
void collectCandidates(std::string& path, Instant now, std::vector<Candidate>& candidates) {
  // Subdirectory names, each followed by a NUL; they are entered after the
  // listing is closed, so a deep tree never holds more than one open.
  std::string subdirectories;
  std::size_t base = path.size();
  {
    std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(path.c_str()));
    if (!listing) return;
    int directory = ::dirfd(listing.get());
    while (const dirent* entry = ::readdir(listing.get())) {
      std::string_view name = entry->d_name;
      if (name[0] == '.') continue;  // also "." and ".."
      bool isDirectory = entry->d_type == DT_DIR;
      if (hasTranscriptExtension(name) || entry->d_type == DT_UNKNOWN) {
        // Relative to the open directory and without following a link.
        struct stat st;
        if (::fstatat(directory, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
          if (!hasTranscriptExtension(name)) continue;
          files::throwErrno("cannot read file attributes", path + "/" + std::string(name), errno);
        }
        isDirectory = S_ISDIR(st.st_mode);
        Instant modified = Instant::fromUnix(static_cast<double>(st.st_mtim.tv_sec) +
                                             static_cast<double>(st.st_mtim.tv_nsec) / 1e9);
        if (S_ISREG(st.st_mode) && hasTranscriptExtension(name) &&
            now - modified < SessionReader::recentSeconds)
          candidates.push_back({path + "/" + std::string(name), modified});
      }
      if (isDirectory) {
        subdirectories.append(name);
        subdirectories.push_back('\0');
      }
    }
  }
  for (std::size_t at = 0; at < subdirectories.size();) {
    std::size_t end = subdirectories.find('\0', at);
    path.resize(base);
    path.push_back('/');
    path.append(subdirectories, at, end - at);
    at = end + 1;
    collectCandidates(path, now, candidates);
  }
  path.resize(base);
}

// --- thread names ----------------------------------------------------------------

// The thread names of the session index's last lines; a later line for an ID
// replaces an earlier one. Every name is kept in one buffer.
class ThreadNames {
 public:
  explicit ThreadNames(const std::filesystem::path& file) {
    std::string index;
    try {
      index = files::readTailLines(file, SessionReader::sessionIndexTailBytes);
    } catch (const std::exception&) {
      return;  // no index, no names
    }
    // A decoded JSON string is never longer than its text in the line, so
    // the buffer never grows past its reserve and the views stay valid.
    text_.reserve(index.size());
    jsonl::LineParser parser(index);
    jsonl::forEachLine(index, [&](std::string_view line) {
      auto object = parser.object(line);
      if (!object) return true;
      auto id = jsonl::string(*object, "id");
      auto name = jsonl::string(*object, "thread_name");
      if (id && name && text_.size() + id->size() + name->size() <= text_.capacity())
        entries_.push_back({keep(*id), keep(*name)});
      return true;
    });
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.id < b.id; });
  }

  // The name of the last line for `id`; empty when there is none.
  std::string_view name(std::string_view id) const {
    auto after = std::upper_bound(entries_.begin(), entries_.end(), id,
                                  [](std::string_view key, const Entry& e) { return key < e.id; });
    if (after == entries_.begin() || std::prev(after)->id != id) return {};
    return std::prev(after)->name;
  }

 private:
  struct Entry {
    std::string_view id, name;
  };

  std::string_view keep(std::string_view value) {
    std::size_t at = text_.size();
    text_.append(value);
    return std::string_view(text_).substr(at, value.size());
  }

  std::string text_;
  std::vector<Entry> entries_;
};

}  // namespace

std::vector<TaskStatus> SessionReader::load(const std::filesystem::path& home, Instant now,
                                            std::int64_t limit) {
  return loadTasks(home, now, limit, nullptr);
}

std::vector<TaskStatus> SessionReader::load(
    const std::filesystem::path& home, Instant now, std::int64_t limit,
    const std::map<std::string, std::string>& projectNames) {
  return loadTasks(home, now, limit, &projectNames);
}

std::vector<TaskStatus> SessionReader::loadTasks(
    const std::filesystem::path& home, Instant now, std::int64_t limit,
    const std::map<std::string, std::string>* knownProjects) {
  std::string path = (home / "sessions").string();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};

  // The walk comes first: without a recent transcript nothing else is read.
  std::vector<Candidate> candidates;
  collectCandidates(path, now, candidates);
  if (candidates.empty() || limit <= 0) return {};
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.modified > b.modified; });

  // The auxiliary inputs only add names, projects and flags; when they
  // cannot be read the tasks simply go without.
  std::map<std::string, std::string> loadedProjects;
  if (!knownProjects) {
    try {
      loadedProjects = CodexProjects::load(home);
    } catch (const std::exception&) {
    }
  }
  const std::map<std::string, std::string>& projects =
      knownProjects ? *knownProjects : loadedProjects;
  std::set<std::string> automationThreads;
  try {
    automationThreads = CodexAutomationIndex::load(home);
  } catch (const std::exception&) {
  }
  ThreadNames threadNames(home / "session_index.jsonl");

  std::vector<TaskStatus> tasks;
  std::set<std::string> seen;
  for (const Candidate& candidate : candidates) {
    if (static_cast<std::int64_t>(tasks.size()) >= limit) break;
    std::optional<std::string> id = sessionID(candidate.path);
    // The newest transcript of a session stands for it.
    if (!id || !seen.insert(*id).second) continue;
    std::string_view threadName = text::trimmed(threadNames.name(*id));
    std::string lines = tail(candidate.path, stateTailBytes);
    std::string name(threadName);
    if (name.empty()) {
      std::optional<std::string> conversation = conversationName(candidate.path);
      name = conversation ? std::move(*conversation) : "Codex task " + id->substr(0, 8);
    }
    TaskStatus task = parse(lines, "codex-" + *id, name);
    if (auto project = projects.find(*id); project != projects.end())
      task.projectName = project->second;
    task.isScheduled = automationThreads.count(text::lowercased(*id)) > 0;
    tasks.push_back(std::move(task));
  }
  return tasks;
}

std::optional<std::string> SessionReader::sessionID(const std::filesystem::path& url) {
  std::string head = files::readHead(url, sessionIDHeadBytes);
  std::string_view first;
  jsonl::forEachLine(head, [&](std::string_view line) {
    first = line;
    return false;
  });
  if (first.empty()) return std::nullopt;
  jsonl::LineParser parser(head);
  auto line = parser.object(first);
  if (!line || jsonl::string(*line, "type") != "session_meta") return std::nullopt;
  auto payload = jsonl::object(*line, "payload");
  if (!payload) return std::nullopt;
  auto id = jsonl::string(*payload, "id");
  if (!id || !isUUID(*id)) return std::nullopt;
  return std::string(*id);
}

std::optional<std::string> SessionReader::conversationName(const std::filesystem::path& url) {
  // Any failure means no name; the caller falls back to a generic one.
  try {
    return firstUserText(files::readHead(url, conversationNameHeadBytes));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string SessionReader::tail(const std::filesystem::path& url, std::uint64_t limit) {
  return files::readTailLines(url, limit);
}

}  // namespace lantrel
