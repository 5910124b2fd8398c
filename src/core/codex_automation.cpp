#include "lantrel/codex_automation.hpp"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "lantrel/errors.hpp"
#include "read_times_file.hpp"
#include "support/files.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

// The one line of a definition that names the thread: nothing but the key,
// a double-quoted 36-character value and an optional comment.
constexpr char targetLineExpression[] =
    R"re((?m)^\s*target_thread_id\s*=\s*"([0-9A-Fa-f-]{36})"\s*(?:#.*)?$)re";

// The target-line expression, compiled once and reused for every definition
// of one load.
class TargetLine {
 public:
  TargetLine() {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where;
    pattern_.reset(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(targetLineExpression), 0, where, status));
    if (U_FAILURE(status)) {
      pattern_.reset();
      return;
    }
    matcher_.reset(pattern_->matcher(status));
    if (U_FAILURE(status)) matcher_.reset();
  }

  std::optional<std::string> threadID(std::string_view bytes) {
    if (!matcher_ || bytes.size() > CodexAutomationIndex::maximumDefinitionBytes ||
        !text::isValidUTF8(bytes))
      return std::nullopt;
    // The matcher refers to `input_` without copying it; both live as long
    // as this object.
    input_ = icu::UnicodeString::fromUTF8(
        icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())));
    UErrorCode status = U_ZERO_ERROR;
    matcher_->reset(input_);
    if (!matcher_->find(status) || U_FAILURE(status)) return std::nullopt;
    icu::UnicodeString group = matcher_->group(1, status);
    if (U_FAILURE(status)) return std::nullopt;
    std::string captured;
    group.toUTF8String(captured);
    if (!isUUID(captured)) return std::nullopt;
    return text::lowercased(captured);
  }

 private:
  std::unique_ptr<icu::RegexPattern> pattern_;
  icu::UnicodeString input_;  // declared before the matcher, so it outlives it
  std::unique_ptr<icu::RegexMatcher> matcher_;
};

struct DirectoryCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// The first `limit` visible entry names, in listing order; empty when the
// directory is missing or cannot be listed.
std::vector<std::string> visibleEntries(const std::filesystem::path& directory, std::size_t limit) {
  std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(directory.c_str()));
  if (!listing) return {};
  std::vector<std::string> names;
  errno = 0;
  while (names.size() < limit) {
    const dirent* entry = ::readdir(listing.get());
    if (!entry) {
      if (errno != 0) return {};
      break;
    }
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  return names;
}

}  // namespace

std::set<std::string> CodexAutomationIndex::load(const std::filesystem::path& home) {
  std::filesystem::path directory = home / "automations";
  std::set<std::string> threads;
  std::vector<std::string> names = visibleEntries(directory, maximumEntries);
  if (names.empty()) return threads;
  TargetLine targetLine;
  for (const std::string& name : names) {
    std::filesystem::path entry = directory / name;
    files::ResourceValues values = files::resourceValues(entry);  // failure ends the load
    if (!values.isDirectory || values.isSymbolicLink) continue;
    std::string definition;
    try {
      // Refuses links, non-regular and oversized files before reading.
      definition = files::readOwnFile(entry / "automation.toml", maximumDefinitionBytes);
    } catch (const std::filesystem::filesystem_error&) {
      continue;
    } catch (const StatusError&) {
      continue;
    }
    if (auto thread = targetLine.threadID(definition)) threads.insert(std::move(*thread));
  }
  return threads;
}

std::optional<std::string> CodexAutomationIndex::targetThreadID(std::string_view bytes) {
  return TargetLine().threadID(bytes);
}

std::filesystem::path CodexAutomationReadState::defaultURL() {
  return files::homeDirectory() /
         "Library/Application Support/Lantrel/codex-automation-read-state.json";
}

CodexAutomationReadState CodexAutomationReadState::load(const std::filesystem::path& url) {
  return CodexAutomationReadState{readtimes::load(url, maximumFileBytes)};
}

CodexAutomationReadState CodexAutomationReadState::decode(std::string_view bytes) {
  return CodexAutomationReadState{readtimes::decode(bytes)};
}

void CodexAutomationReadState::save(const std::filesystem::path& url) const {
  readtimes::save(url, readAt);
}

namespace {

// The thread of a scheduled Codex run; nullopt for every other task.
std::optional<std::string> scheduledThread(const TaskStatus& task) {
  if (task.provider() != TaskProvider::codex || task.isScheduled != true) return std::nullopt;
  return task.codexThreadID();
}

}  // namespace

bool CodexAutomationReadState::hasRead(const TaskStatus& task) const {
  auto thread = scheduledThread(task);
  if (!thread) return false;
  auto entry = readAt.find(*thread);
  return entry != readAt.end() && entry->second >= task.updatedAt;
}

void CodexAutomationReadState::markRead(const TaskStatus& task, Instant at) {
  if (auto thread = scheduledThread(task)) readAt[*thread] = std::max(at, task.updatedAt);
}

}  // namespace lantrel
