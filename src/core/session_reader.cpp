// Finding the recent Codex sessions under the Codex home, and each session's
// identity and a readable name in its transcript.
#include "lantrel/session_reader.hpp"

#include <cstring>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "codex_transcript_state.hpp"
#include "lantrel/codex_automation.hpp"
#include "lantrel/codex_read_state.hpp"
#include "support/files.hpp"
#include "support/json.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

// Thread IDs end in random digits: their last eight bytes hash them well,
// and faster than the whole text does.
struct IDHash {
  std::size_t operator()(std::string_view id) const {
    std::uint64_t tail = id.size();
    std::size_t n = std::min<std::size_t>(id.size(), sizeof tail);
    std::memcpy(&tail, id.data() + id.size() - n, n);
    return std::hash<std::uint64_t>()(tail * 0x9E3779B97F4A7C15u);
  }
};
using IDs = std::unordered_set<std::string_view, IDHash>;

// The thread names of the session index's last lines; a later line for an
// ID replaces an earlier one. Every name is kept in one buffer.
//
// The index holds a line for every thread ever named, and only the few
// recent ones are asked for. Their IDs are almost always known in advance
// (a transcript's file name ends with its session's ID), so a line is
// parsed only when it may name one of those `expected` IDs. The first
// question for any other ID parses every line.
class ThreadNames {
 public:
  // The index is read into `buffer`, which is free again once this is
  // built: the names are kept apart.
  ThreadNames(const std::filesystem::path& file, json::Parser& parser, files::ReadBuffer& buffer,
              IDs expected)
      : file_(file), parser_(parser), expected_(std::move(expected)) {
    collect(buffer);
  }

  // The name of the last line for `id`; empty when there is none.
  std::string_view name(std::string_view id) {
    if (!everyLine_ && !expected_.contains(id)) {
      everyLine_ = true;
      files::ReadBuffer buffer;
      collect(buffer);
    }
    auto found = names_.find(id);
    return found == names_.end() ? std::string_view() : found->second;
  }

 private:
  void collect(files::ReadBuffer& buffer) {
    names_.clear();
    text_.clear();
    std::string_view index;
    try {
      index = files::readTailLines(file_, SessionReader::sessionIndexTailBytes, false, buffer);
    } catch (const std::exception&) {
      return;  // no index, no names
    }
    escapes_ = index.find('\\') != std::string_view::npos;
    // The lines to parse, then room for all their text: a decoded JSON
    // string is never longer than its text in the line, so the text never
    // grows past its reserve and the views stay valid.
    std::vector<std::string_view> lines;
    std::size_t room = 0;
    text::forEachLine(index, [&](std::string_view line) {
      if (everyLine_ || mayName(line)) lines.push_back(line), room += line.size();
      return true;
    });
    text_.reserve(room);
    for (std::string_view line : lines) {
      auto object = parser_.object(line, true);
      auto id = object ? json::string(*object, "id") : std::nullopt;
      auto name = object ? json::string(*object, "thread_name") : std::nullopt;
      if (!id || !name || text_.size() + id->size() + name->size() > text_.capacity()) continue;
      if (auto known = names_.find(*id); known != names_.end())
        known->second = keep(*name);
      else
        names_.emplace(keep(*id), keep(*name));
    }
  }

  // Whether the line may give an expected ID its name. Without a backslash
  // every string stands in the line as it decodes and holds no quote, and
  // a string followed by ":" is a key: then the first key "id" gives the
  // line's ID, and only an expected one in quotes can name a thread.
  bool mayName(std::string_view line) const {
    if (escapes_ && line.find('\\') != std::string_view::npos) return true;
    constexpr std::string_view key = "\"id\"";
    for (std::size_t at = line.find(key); at != std::string_view::npos; at = line.find(key, at + 1)) {
      std::size_t value = line.find_first_not_of(" \t\r", at + key.size());
      if (value == std::string_view::npos || line[value] != ':') continue;
      value = line.find_first_not_of(" \t\r", value + 1);
      if (value == std::string_view::npos || line[value] != '"') return true;  // the parse decides
      std::size_t close = line.find('"', value + 1);
      return close == std::string_view::npos ||
             expected_.contains(line.substr(value + 1, close - value - 1));
    }
    return false;
  }

  std::string_view keep(std::string_view value) {
    std::size_t at = text_.size();
    text_.append(value);
    return std::string_view(text_).substr(at, value.size());
  }

  std::filesystem::path file_;
  json::Parser& parser_;
  IDs expected_;
  bool escapes_ = false;  // whether any line of the index holds a backslash
  bool everyLine_ = false;
  std::string text_;
  std::unordered_map<std::string_view, std::string_view> names_;
};

}  // namespace

std::vector<TaskStatus> SessionReader::load(
    const std::filesystem::path& home, Instant now, std::int64_t limit,
    CodexGlobalState* global) {
  // The walk comes first: without a recent transcript nothing else is read.
  std::vector<files::FoundFile> candidates =
      files::findFiles(home / "sessions", "jsonl", [&](const files::ResourceValues& values) {
        return now - values.modified < recentSeconds;  // files dated ahead count as recent
      });
  if (candidates.empty() || limit <= 0) return {};

  // The auxiliary inputs only add names, projects and flags; when they
  // cannot be read the tasks simply go without.
  std::set<std::string> automationThreads;
  try {
    automationThreads = CodexAutomationIndex::load(home);
  } catch (const std::exception&) {
  }
  std::vector<TaskStatus> tasks;
  {  // the reader's memory is free again before the global state is read
    CodexTranscriptReader reader;  // one buffer and one parser for every file
    IDs expectedIDs;
    for (const files::FoundFile& candidate : candidates) {
      std::string_view name = candidate.name();
      constexpr std::size_t idLength = 36, extension = sizeof(".jsonl") - 1;
      if (name.size() >= idLength + extension)
        expectedIDs.insert(name.substr(name.size() - extension - idLength, idLength));
    }
    ThreadNames threadNames(home / "session_index.jsonl", reader.parser(), reader.buffer(),
                            std::move(expectedIDs));

    std::set<std::string> seen;
    for (const files::FoundFile& candidate : candidates) {
      if (static_cast<std::int64_t>(tasks.size()) >= limit) break;
      // A transcript Codex cleaned up since the walk is passed over.
      if (files::goneSinceListing([&] { reader.open(candidate.path); })) continue;
      std::optional<std::string> id = reader.sessionID();
      // The newest transcript of a session stands for it.
      if (!id || !seen.insert(*id).second) continue;
      std::string name(text::trimmed(threadNames.name(*id)));
      if (name.empty()) {
        std::optional<std::string> conversation = reader.conversationName();
        name = conversation ? std::move(*conversation) : "Codex task " + id->substr(0, 8);
      }
      TaskStatus task = reader.task("codex-" + *id, name);
      task.isScheduled = automationThreads.contains(text::lowercased(*id));
      tasks.push_back(std::move(task));
    }
  }
  // Project names for these tasks only, from one read of the global state.
  CodexGlobalState state = CodexGlobalState::load(home, tasks);
  if (global) *global = std::move(state);
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
