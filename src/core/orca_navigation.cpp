#include "lantrel/orca_navigation.hpp"

#include <optional>

#include "support/background.hpp"
#include "support/json.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

using json::Array;
using json::Element;
using json::Object;

// Answers larger than this are not parsed.
constexpr std::size_t maximumAnswerBytes = 4000000;
constexpr std::string_view handlePrefix = "term_";

const std::vector<std::string> listArguments = {"terminal", "list", "--json", "--limit", "10000"};

[[noreturn]] void fail(OrcaNavigationError::Code code) { throw OrcaNavigationError(code); }

// Unwraps one answer of the tool into its "result" object, which lives as
// long as `parser`.
Object unwrap(json::Parser& parser, std::string_view answer) {
  if (answer.size() > maximumAnswerBytes) fail(OrcaNavigationError::invalidResponse);
  Object top;
  if (parser.parse(answer, false, "Orca answer").get(top) != simdjson::SUCCESS)
    fail(OrcaNavigationError::invalidResponse);
  if (json::boolean(top, "ok") == true) {
    auto result = json::object(top, "result");
    if (!result) fail(OrcaNavigationError::invalidResponse);
    return *result;
  }
  std::optional<std::string_view> code;
  if (auto error = json::object(top, "error")) code = json::string(*error, "code");
  throw OrcaNavigationError::failedWith(std::string(code.value_or("unknown")));
}

bool matchesReference(Object terminal, const OrcaSessionReference& reference) {
  return json::string(terminal, "executionHostId") == "local" &&
         json::string(terminal, "tabId") == reference.tabID &&
         json::string(terminal, "leafId") == reference.leafID &&
         json::string(terminal, "worktreeId") == reference.worktreeID &&
         json::boolean(terminal, "orphaned") != true && json::boolean(terminal, "connected") == true;
}

std::string resolveIn(json::Parser& parser, std::string_view answer,
                      const OrcaSessionReference& reference) {
  Object result = unwrap(parser, answer);
  if (json::boolean(result, "truncated") != false) fail(OrcaNavigationError::invalidResponse);

  auto hostScope = json::object(result, "hostScope");
  Array hostIDs;
  if (!hostScope || hostScope->at_key("hostIds").get(hostIDs) != simdjson::SUCCESS)
    fail(OrcaNavigationError::invalidResponse);
  bool local = false;
  for (Element host : hostIDs) {
    std::string_view id;
    if (host.get(id) != simdjson::SUCCESS) fail(OrcaNavigationError::invalidResponse);
    local = local || id == "local";
  }
  if (!local) fail(OrcaNavigationError::invalidResponse);

  Array terminals;
  if (result.at_key("terminals").get(terminals) != simdjson::SUCCESS)
    fail(OrcaNavigationError::invalidResponse);
  std::optional<Object> match;
  for (Element item : terminals) {
    Object terminal;
    if (item.get(terminal) != simdjson::SUCCESS) fail(OrcaNavigationError::invalidResponse);
    if (!matchesReference(terminal, reference)) continue;
    if (match) fail(OrcaNavigationError::ambiguous);
    match = terminal;
  }
  if (!match) fail(OrcaNavigationError::missingSession);

  auto handle = json::string(*match, "handle");
  if (!handle || handle->substr(0, handlePrefix.size()) != handlePrefix ||
      !isUUID(handle->substr(handlePrefix.size())))
    fail(OrcaNavigationError::missingSession);
  return std::string(*handle);
}

// The one reference of the task in a freshly loaded index.
OrcaSessionReference singleReference(const std::function<OrcaSessionIndex()>& index,
                                     std::string_view taskID) {
  auto references = index().matches(taskID);
  if (references.empty()) fail(OrcaNavigationError::missingSession);
  if (references.size() > 1) fail(OrcaNavigationError::ambiguous);
  return std::move(references.front());
}

bool isStaleHandle(const OrcaNavigationError& error) {
  const std::string& code = error.failureCode();
  return error.code() == OrcaNavigationError::failed &&
         (code == "stale_terminal_handle" || code == "terminal_not_found" ||
          code == "invalid_terminal_handle");
}

void openTask(const OrcaCommandRunning& runner, const std::string& taskID,
              const std::filesystem::path& executable,
              const std::function<OrcaSessionIndex()>& index) {
  json::Parser parser;  // reused for every answer of this call
  OrcaSessionReference reference = singleReference(index, taskID);
  bool retryAllowed = true;
  for (;;) {
    std::string list = runner.run(executable, listArguments).get();
    std::string handle = resolveIn(parser, list, reference);
    try {
      std::string answer =
          runner.run(executable, {"terminal", "switch", "--terminal", handle, "--json"}).get();
      auto focus = json::object(unwrap(parser, answer), "focus");
      if (focus && json::string(*focus, "handle") == handle &&
          json::string(*focus, "tabId") == reference.tabID &&
          json::boolean(*focus, "navigated") == true)
        return;
      fail(OrcaNavigationError::unavailable);
    } catch (const OrcaNavigationError& error) {
      if (!retryAllowed || !isStaleHandle(error)) throw;
    }
    // The pane moved or Orca restarted since the list: look it up afresh.
    retryAllowed = false;
    reference = singleReference(index, taskID);
  }
}

}  // namespace

OrcaNavigationError::OrcaNavigationError(Code code, std::string failureCode)
    : code_(code), failureCode_(code == failed ? std::move(failureCode) : std::string()) {}

const char* OrcaNavigationError::what() const noexcept {
  static constexpr const char* descriptions[] = {
      "Orca could not select the conversation.",
      "Orca could not be reached.",
      "This Orca version returned an unsupported response.",
      "More than one Orca pane matches this conversation.",
      "The original Orca tab is closed or its session information is unavailable.",
      "Orca took too long to respond.",
      "Orca returned more session information than Lantrel can process.",
  };
  return descriptions[code_];
}

bool OrcaNavigationError::operator==(const OrcaNavigationError& other) const {
  return code_ == other.code_ && failureCode_ == other.failureCode_;
}

std::string OrcaNavigator::result(std::string_view answer) {
  json::Parser parser;
  return simdjson::minify(unwrap(parser, answer));
}

std::string OrcaNavigator::resolve(std::string_view answer, const OrcaSessionReference& reference) {
  json::Parser parser;
  return resolveIn(parser, answer, reference);
}

std::future<void> OrcaNavigator::open(std::string taskID, std::filesystem::path executable,
                                      std::function<OrcaSessionIndex()> index) const {
  // The task owns what it needs, so it may outlive this navigator.
  return runInBackground([runner = runner_, taskID = std::move(taskID),
                          executable = std::move(executable), index = std::move(index)] {
    openTask(*runner, taskID, executable, index);
  });
}

}  // namespace lantrel
