// Both readers of the Codex desktop app's global state. The file can be many
// megabytes of which only three members matter, so it is parsed once per
// call and the members are checked by walking the document.
#include "lantrel/codex_read_state.hpp"

#include <set>
#include <unordered_map>
#include <vector>

#include "support/files.hpp"
#include "support/json.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

constexpr std::string_view readStateKey = "electron-thread-read-state-v1";
constexpr std::string_view assignmentsKey = "thread-project-assignments";
constexpr std::string_view projectsKey = "local-projects";

// The state file when it is a regular file of at most the limit (checked
// before anything is read); nullopt when it is not read. A missing or
// unreadable file throws.
std::optional<std::string_view> readStateFile(const std::filesystem::path& home,
                                              files::ReadBuffer& buffer) {
  return files::readWholeIfAtMost(CodexReadState::fileLocation(home),
                                  CodexReadState::maximumFileBytes, buffer);
}

// The file is checked whole, but only its three members are built, in the
// memory of `buffer`, which holds the file's bytes.
json::Record document(json::Parser& parser, files::ReadBuffer& buffer, std::string_view bytes) {
  return json::Record(
      parser.members(buffer, bytes, {readStateKey, assignmentsKey, projectsKey}, "Codex global state"),
      "Codex global state");
}

CodexReadState unreadState(const json::Record& document) {
  auto state = document.find<json::Element>(readStateKey);
  if (!state) return {};
  json::Record record(*state, "read state");
  std::int64_t version = record.get<std::int64_t>("version");
  json::Record identities(record.get<json::Object>("unreadByIdentity"), "read state's unread threads");

  // Every identity is checked, so one malformed entry fails the whole decode
  // even when the state is unusable anyway.
  std::size_t identityCount = 0, localKeyCount = 0;
  json::Array localThreads;
  for (auto [identity, value] : identities.members()) {
    ++identityCount;
    json::Record keys(identities.get<json::Object>(identity), "unread threads");
    for (auto [key, threadsValue] : keys.members()) {
      json::Array threads;
      if (threadsValue.get(threads) != simdjson::SUCCESS) keys.fail(key, "is not an array");
      for (json::Element thread : threads)
        if (!thread.is_string()) keys.fail(key, "holds a thread that is not a string");
      if (key.starts_with("local:")) ++localKeyCount, localThreads = threads;
    }
  }
  if (version != 1 || identityCount != 1 || localKeyCount != 1) return {};
  CodexReadState result;
  result.unread.emplace();
  for (json::Element thread : localThreads) result.unread->emplace(thread.get_string().value_unsafe());
  return result;
}

// The project names of `threads` only, when given.
std::map<std::string, std::string> projectNames(const json::Record& document,
                                                const std::set<std::string_view>* threads = nullptr) {
  // One bad entry in either member fails the whole decoding, so nothing
  // built here outlives a failure.
  std::unordered_map<std::string_view, std::string_view> names;
  if (auto projects = document.find<json::Element>(projectsKey)) {
    json::Record members(*projects, "local projects");
    names.reserve(members.members().size());
    for (auto [id, value] : members.members())
      names.insert_or_assign(id, json::Record(value, "local project").get<std::string_view>("name"));
  }
  std::map<std::string, std::string> result;
  auto found = document.find<json::Element>(assignmentsKey);
  if (!found) return result;
  json::Record members(*found, "project assignments");
  for (auto [threadID, value] : members.members()) {
    json::Record assignment(value, "project assignment");
    auto kind = assignment.get<std::string_view>("projectKind");
    auto projectID = assignment.get<std::string_view>("projectId");
    if (kind != "local" || (threads && !threads->contains(threadID))) continue;
    auto project = names.find(projectID);
    if (project == names.end()) continue;
    std::string_view name = text::trimmed(project->second);
    if (!name.empty())
      result.insert_or_assign(result.end(), std::string(threadID),
                              text::characterPrefix(name, maximumNameCharacters));
  }
  return result;
}

// The desktop app's thread of a Codex task: its ID without "codex-".
std::optional<std::string_view> threadOf(const TaskStatus& task) {
  constexpr std::string_view prefix = "codex-";
  if (task.source != codexSource || !task.id.starts_with(prefix)) return std::nullopt;
  return std::string_view(task.id).substr(prefix.size());
}

}  // namespace

std::filesystem::path CodexReadState::fileLocation(const std::filesystem::path& home) {
  return home / ".codex-global-state.json";
}

CodexReadState CodexReadState::load(const std::filesystem::path& home) {
  files::ReadBuffer buffer;
  auto bytes = readStateFile(home, buffer);
  if (!bytes) return {};
  json::Parser parser;
  return unreadState(document(parser, buffer, *bytes));
}

CodexReadState CodexReadState::decode(std::string_view bytes) {
  files::ReadBuffer buffer;
  json::Parser parser;
  return unreadState(document(parser, buffer, buffer.copy(bytes)));
}

bool CodexReadState::hasRead(const TaskStatus& task) const {
  auto thread = threadOf(task);
  return thread && unread && !unread->contains(std::string(*thread));
}

std::map<std::string, std::string> CodexProjects::load(const std::filesystem::path& home) {
  files::ReadBuffer buffer;
  auto bytes = readStateFile(home, buffer);
  if (!bytes) return {};
  json::Parser parser;
  return projectNames(document(parser, buffer, *bytes));
}

std::map<std::string, std::string> CodexProjects::decode(std::string_view bytes) {
  files::ReadBuffer buffer;
  json::Parser parser;
  return projectNames(document(parser, buffer, buffer.copy(bytes)));
}

namespace {

CodexGlobalState loadGlobalState(const std::filesystem::path& home,
                                 const std::set<std::string_view>* threads) {
  CodexGlobalState result;
  files::ReadBuffer buffer;
  json::Parser parser;
  std::optional<json::Record> parsed;
  try {
    if (auto bytes = readStateFile(home, buffer)) parsed = document(parser, buffer, *bytes);
  } catch (const std::exception&) {
  }
  if (!parsed) return result;
  // Each part falls back on its own, as the two loads would.
  try {
    result.readState = unreadState(*parsed);
  } catch (const std::exception&) {
  }
  try {
    result.projects = projectNames(*parsed, threads);
  } catch (const std::exception&) {
  }
  return result;
}

}  // namespace

CodexGlobalState CodexGlobalState::load(const std::filesystem::path& home) {
  return loadGlobalState(home, nullptr);
}

CodexGlobalState CodexGlobalState::load(const std::filesystem::path& home,
                                        std::vector<TaskStatus>& tasks) {
  std::set<std::string_view> threads;
  for (const TaskStatus& task : tasks)
    if (auto thread = threadOf(task)) threads.insert(*thread);
  CodexGlobalState result = loadGlobalState(home, &threads);
  for (TaskStatus& task : tasks)
    if (auto thread = threadOf(task))
      if (auto found = result.projects.find(std::string(*thread)); found != result.projects.end())
        task.projectName = found->second;
  return result;
}

}  // namespace lantrel
