// Both readers of the Codex desktop app's global state. The file can be many
// megabytes of which only three members matter, so it is parsed with simdjson
// once per call and the members are checked by walking the DOM.
#include "lantrel/codex_read_state.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include <simdjson.h>

#include "lantrel/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

namespace dom = simdjson::dom;

constexpr std::string_view readStateKey = "electron-thread-read-state-v1";
constexpr std::string_view assignmentsKey = "thread-project-assignments";
constexpr std::string_view projectsKey = "local-projects";
constexpr std::size_t maximumProjectNameCharacters = 160;

[[noreturn]] void fail(std::string_view what, std::string_view problem) {
  throw DecodingError("The Codex global state's " + std::string(what) + " " +
                      std::string(problem) + ".");
}

std::string quoted(std::string_view key) { return "\"" + std::string(key) + "\""; }

// Reads the state file when it is a regular file of at most the limit; the
// size is checked before anything is read. nullopt when it is not read.
std::optional<std::string> readStateFile(const std::filesystem::path& home) {
  std::filesystem::path file = CodexReadState::fileLocation(home);
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) files::throwErrno("cannot read file attributes", file, errno);
  if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > CodexReadState::maximumFileBytes)
    return std::nullopt;
  // Checks the size of what it opened again, in case the file was replaced.
  // The padding lets simdjson parse the bytes where they lie.
  return files::readWholeIfAtMost(file, CodexReadState::maximumFileBytes,
                                  simdjson::SIMDJSON_PADDING);
}

// `padded`: the bytes are followed by simdjson's padding (readStateFile), so
// they need no padded copy.
dom::object parseDocument(dom::parser& parser, std::string_view bytes, bool padded) {
  dom::element root;
  if (auto error = parser.parse(bytes.data(), bytes.size(), !padded).get(root))
    throw DecodingError(std::string("The Codex global state isn't valid JSON: ") +
                        simdjson::error_message(error));
  dom::object object;
  if (root.get(object)) throw DecodingError("The Codex global state is not a JSON object.");
  return object;
}

// A member that may be missing or null (both mean absent), else must be an
// object.
std::optional<dom::object> optionalObject(dom::object parent, std::string_view key) {
  dom::element value;
  if (parent.at_key(key).get(value) || value.is_null()) return std::nullopt;
  dom::object object;
  if (value.get(object)) fail(quoted(key), "is not an object");
  return object;
}

dom::element requiredMember(dom::object parent, std::string_view key, std::string_view owner) {
  dom::element value;
  if (parent.at_key(key).get(value) || value.is_null())
    fail(std::string(owner) + " " + quoted(key), "is missing");
  return value;
}

std::string_view requiredString(dom::object parent, std::string_view key, std::string_view owner) {
  std::string_view text;
  if (requiredMember(parent, key, owner).get(text))
    fail(std::string(owner) + " " + quoted(key), "is not a string");
  return text;
}

dom::object asObject(dom::element value, const std::string& what) {
  dom::object object;
  if (value.get(object)) fail(what, "is not an object");
  return object;
}

}  // namespace

std::filesystem::path CodexReadState::fileLocation(const std::filesystem::path& home) {
  return home / ".codex-global-state.json";
}

CodexReadState CodexReadState::load(const std::filesystem::path& home) {
  std::optional<std::string> bytes = readStateFile(home);
  if (!bytes) return {};
  dom::parser parser;
  return decodeState(parseDocument(parser, *bytes, true));
}

CodexReadState CodexReadState::decode(std::string_view bytes) {
  dom::parser parser;
  return decodeState(parseDocument(parser, bytes, false));
}

CodexReadState CodexReadState::decodeState(dom::object document) {
  std::optional<dom::object> state = optionalObject(document, readStateKey);
  if (!state) return {};

  dom::element versionValue = requiredMember(*state, "version", "read state's");
  std::int64_t version = 0;
  if (versionValue.is_int64()) {
    version = versionValue.get_int64().value_unsafe();
  } else if (!versionValue.is_uint64()) {
    fail("read state's \"version\"", "is not an integer");
  }
  dom::object identities =
      asObject(requiredMember(*state, "unreadByIdentity", "read state's"),
               "read state's \"unreadByIdentity\"");

  // Every identity is checked, so one malformed entry fails the whole decode
  // even when the state is unusable anyway.
  std::size_t identityCount = 0;
  std::size_t localKeyCount = 0;
  dom::array localThreads;
  for (auto [identity, value] : identities) {
    ++identityCount;
    dom::object keys = asObject(value, "unread threads of " + quoted(identity));
    for (auto [key, threadsValue] : keys) {
      dom::array threads;
      if (threadsValue.get(threads))
        fail("unread threads under " + quoted(key), "are not an array");
      for (dom::element thread : threads)
        if (!thread.is_string()) fail("unread threads under " + quoted(key), "are not all strings");
      if (key.substr(0, 6) == "local:") {
        ++localKeyCount;
        localThreads = threads;
      }
    }
  }
  if (version != 1 || identityCount != 1 || localKeyCount != 1) return {};
  CodexReadState result;
  result.unread.emplace();
  for (dom::element thread : localThreads) result.unread->emplace(thread.get_string().value_unsafe());
  return result;
}

bool CodexReadState::hasRead(const TaskStatus& task) const {
  if (task.source != codexSource || task.id.compare(0, 6, "codex-") != 0 || !unread) return false;
  return unread->count(task.id.substr(6)) == 0;
}

std::map<std::string, std::string> CodexProjects::load(const std::filesystem::path& home) {
  std::optional<std::string> bytes = readStateFile(home);
  if (!bytes) return {};
  dom::parser parser;
  return decodeProjects(parseDocument(parser, *bytes, true));
}

std::map<std::string, std::string> CodexProjects::decode(std::string_view bytes) {
  dom::parser parser;
  return decodeProjects(parseDocument(parser, bytes, false));
}

std::map<std::string, std::string> CodexProjects::decodeProjects(dom::object document) {

  // Check the whole of both members first: one bad entry empties the result.
  std::map<std::string_view, std::string_view> projectNames;
  if (auto projects = optionalObject(document, projectsKey)) {
    for (auto [projectID, value] : *projects) {
      std::string owner = "project " + quoted(projectID) + "'s";
      projectNames[projectID] = requiredString(asObject(value, "project " + quoted(projectID)), "name", owner);
    }
  }
  struct Assignment {
    std::string_view threadID, kind, projectID;
  };
  std::vector<Assignment> assignments;
  if (auto members = optionalObject(document, assignmentsKey)) {
    for (auto [threadID, value] : *members) {
      std::string owner = "assignment of " + quoted(threadID) + "'s";
      dom::object assignment = asObject(value, "assignment of " + quoted(threadID));
      assignments.push_back({threadID, requiredString(assignment, "projectKind", owner),
                             requiredString(assignment, "projectId", owner)});
    }
  }

  std::map<std::string, std::string> names;
  for (const Assignment& assignment : assignments) {
    if (assignment.kind != "local") continue;
    auto project = projectNames.find(assignment.projectID);
    if (project == projectNames.end()) continue;
    std::string_view name = text::trimmed(project->second);
    if (name.empty()) continue;
    names.insert_or_assign(std::string(assignment.threadID),
                           text::characterPrefix(name, maximumProjectNameCharacters));
  }
  return names;
}

CodexGlobalState CodexGlobalState::load(const std::filesystem::path& home) {
  CodexGlobalState result;
  std::optional<std::string> bytes;
  dom::parser parser;
  dom::object document;
  try {
    bytes = readStateFile(home);
    if (!bytes) return result;
    document = parseDocument(parser, *bytes, true);
  } catch (const std::exception&) {
    return result;
  }
  try {
    result.readState = CodexReadState::decodeState(document);
  } catch (const std::exception&) {
  }
  try {
    result.projects = CodexProjects::decodeProjects(document);
  } catch (const std::exception&) {
  }
  return result;
}

}  // namespace lantrel
