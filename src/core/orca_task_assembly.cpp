// Orca's part of the task list: tasks read from the transcripts that Orca's
// panes name, and the merge that gives every task its pane, folds duplicates
// and caps the agent tasks.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <unordered_map>

#include "claude_transcript.hpp"
#include "codex_transcript_state.hpp"
#include "lantrel/orca_local_file.hpp"
#include "lantrel/orca_session_index.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

namespace fs = std::filesystem;

// Transcripts larger than this are not read.
constexpr std::int64_t transcriptFileLimit = 64000000;
// Only transcripts modified more recently than this are read.
constexpr double recentSeconds = 86400;

// `path` without "." and ".." components and without trailing separators.
std::string standardized(const fs::path& path) {
  std::string s = path.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// The transcript a reference names, when it is one we may read: an absolute
// ".jsonl" file below `home` whose path holds no symbolic link, so a link
// planted in a pane's report cannot lead us anywhere else.
std::optional<fs::path> usableTranscript(const std::optional<std::string>& transcriptPath,
                                         const std::string& home) {
  if (!transcriptPath || transcriptPath->empty() || transcriptPath->front() != '/')
    return std::nullopt;
  std::string path = standardized(*transcriptPath);
  if (!path.starts_with(home + "/") || fs::path(path).extension() != ".jsonl")
    return std::nullopt;
  if (files::resolvedPath(path) != path) return std::nullopt;
  return fs::path(path);
}

// One buffer, one parser and the Codex reader serve every transcript.
struct Readers {
  files::ReadBuffer buffer;
  CodexTranscriptReader codex;
};

std::optional<TaskStatus> transcriptTask(const OrcaSessionReference& reference,
                                         const std::string& home, Instant now, Readers& readers) {
  auto path = usableTranscript(reference.transcriptPath, home);
  if (!path) return std::nullopt;
  if (!(now - files::resourceValues(*path).modified < recentSeconds)) return std::nullopt;
  OrcaLocalFile::validate(*path, transcriptFileLimit);

  std::string shortID = reference.sessionID.substr(0, 8);
  std::optional<TaskStatus> task;
  if (reference.provider == "claude") {
    files::FileEnds ends = readClaudeTranscript(*path, readers.buffer);
    task = claudeTranscriptTask({ends.head, ends.tail}, readers.codex.parser(),
                                reference.sessionID, "Claude task " + shortID);
  } else {
    readers.codex.open(*path);
    auto recorded = readers.codex.sessionID();
    if (!recorded || text::lowercased(*recorded) != reference.sessionID) return std::nullopt;
    std::string name = readers.codex.conversationName().value_or("Codex task " + shortID);
    task = readers.codex.task(reference.provider + "-" + reference.sessionID, name, true);
  }
  if (!task || text::lowercased(task->id) != reference.taskID()) return std::nullopt;
  task->orcaSession = reference;
  return task;
}

// The name a reader gives a task it knows nothing about: "Codex task
// 3f1c2a9e" for the key "codex-3f1c2a9e-...".
std::string fallbackName(const TaskStatus& task, std::string_view key) {
  std::string name = task.provider() == TaskProvider::claude ? "Claude task " : "Codex task ";
  int part = 0;
  for (std::size_t start = 0; start <= key.size();) {
    std::size_t end = std::min(key.find('-', start), key.size());
    if (end > start && ++part == 2) return name.append(key.substr(start, end - start));
    start = end + 1;
  }
  return name;
}

}  // namespace

std::vector<TaskStatus> OrcaSessionIndex::transcriptTasks(const fs::path& home,
                                                          Instant now) const {
  std::vector<TaskStatus> tasks;
  std::string standardHome = standardized(home);
  Readers readers;
  for (const OrcaSessionReference& reference : sessions) {
    try {
      if (auto task = transcriptTask(reference, standardHome, now, readers))
        tasks.push_back(std::move(*task));
    } catch (const std::exception&) {
      // A transcript that cannot be read gives no task.
    }
  }
  return tasks;
}

std::vector<TaskStatus> OrcaSessionIndex::applying(
    std::vector<TaskStatus> tasks, const std::map<std::string, OrcaSessionReference>& retained,
    std::int64_t limit) const {
  // Per task ID the live reference matches() would pick: the latest, the
  // first in index order on equal times.
  std::unordered_map<std::string, const OrcaSessionReference*> live;
  for (const OrcaSessionReference& reference : sessions) {
    auto [it, inserted] = live.try_emplace(reference.taskID(), &reference);
    if (!inserted && it->second->observedAt < reference.observedAt) it->second = &reference;
  }

  std::vector<TaskStatus> merged;
  std::unordered_map<std::string, std::size_t> slot;
  for (TaskStatus& task : tasks) {
    std::string key = text::lowercased(task.id);
    if (auto it = live.find(key); it != live.end())
      task.orcaSession = *it->second;
    else if (auto kept = retained.find(key); kept != retained.end())
      task.orcaSession = kept->second;

    auto [it, inserted] = slot.try_emplace(key, merged.size());
    if (inserted) {
      merged.push_back(std::move(task));
      continue;
    }
    TaskStatus& existing = merged[it->second];
    if (existing.updatedAt >= task.updatedAt) {
      if (existing.name == fallbackName(existing, key)) existing.name = std::move(task.name);
      if (task.orcaSession) existing.orcaSession = std::move(task.orcaSession);
    } else {
      if (task.name == fallbackName(task, key)) task.name = std::move(existing.name);
      // A newer report without a pane does not make the task forget it.
      if (!task.orcaSession) task.orcaSession = std::move(existing.orcaSession);
      existing = std::move(task);
    }
  }

  // Newest first, equal times by ID; a NaN time sorts last instead of
  // breaking the ordering.
  auto time = [](const TaskStatus& task) {
    double t = task.updatedAt.seconds;
    return std::isnan(t) ? -std::numeric_limits<double>::infinity() : t;
  };
  std::sort(merged.begin(), merged.end(), [&](const TaskStatus& a, const TaskStatus& b) {
    if (time(a) != time(b)) return time(b) < time(a);
    return a.id < b.id;
  });

  // Every local task, and the `limit` newest of each agent.
  std::vector<TaskStatus> result;
  std::int64_t kept[3] = {};  // per provider
  for (TaskStatus& task : merged) {
    TaskProvider provider = task.provider();
    if (provider == TaskProvider::local || ++kept[static_cast<int>(provider)] <= limit)
      result.push_back(std::move(task));
  }
  return result;
}

}  // namespace lantrel
