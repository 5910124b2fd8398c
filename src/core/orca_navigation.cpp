#include "lantrel/orca_navigation.hpp"

#include <optional>

#include <simdjson.h>

#include "status_json.hpp"
#include "support/background.hpp"
#include "support/json_lines.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

// Answers larger than this are not parsed.
constexpr std::size_t maximumAnswerBytes = 4000000;
constexpr std::string_view handlePrefix = "term_";

const std::vector<std::string> listArguments = {"terminal", "list", "--json", "--limit", "10000"};

[[noreturn]] void fail(OrcaNavigationError::Code code) { throw OrcaNavigationError(code); }

// Only JSON true and false are booleans; numbers and strings are not.
std::optional<bool> boolMember(object value, std::string_view key) {
  bool b;
  if (value.at_key(key).get(b) != simdjson::SUCCESS) return std::nullopt;
  return b;
}

// Unwraps one answer of the tool into its "result" object, which lives as
// long as `parser`.
object unwrap(simdjson::dom::parser& parser, std::string_view answer) {
  if (answer.size() > maximumAnswerBytes) fail(OrcaNavigationError::invalidResponse);
  object top;
  if (parseDocument(parser, answer).get_object().get(top) != simdjson::SUCCESS)
    fail(OrcaNavigationError::invalidResponse);
  if (boolMember(top, "ok") == true) {
    auto result = jsonl::object(top, "result");
    if (!result) fail(OrcaNavigationError::invalidResponse);
    return *result;
  }
  std::optional<std::string_view> code;
  if (auto error = jsonl::object(top, "error")) code = jsonl::string(*error, "code");
  throw OrcaNavigationError::failedWith(std::string(code.value_or("unknown")));
}

nlohmann::json tree(element value);

nlohmann::json tree(object value) {
  nlohmann::json o = nlohmann::json::object();
  for (auto member : value) o[std::string(member.key)] = tree(member.value);
  return o;
}

nlohmann::json tree(element value) {
  switch (value.type()) {
    case simdjson::dom::element_type::OBJECT:
      return tree(object(value));
    case simdjson::dom::element_type::ARRAY: {
      nlohmann::json a = nlohmann::json::array();
      for (element item : array(value)) a.push_back(tree(item));
      return a;
    }
    case simdjson::dom::element_type::STRING:
      return std::string(std::string_view(value));
    case simdjson::dom::element_type::INT64:
      return std::int64_t(value);
    case simdjson::dom::element_type::UINT64:
      return std::uint64_t(value);
    case simdjson::dom::element_type::DOUBLE:
      return double(value);
    case simdjson::dom::element_type::BOOL:
      return bool(value);
    case simdjson::dom::element_type::NULL_VALUE:
      break;
  }
  return nullptr;
}

bool matchesReference(object terminal, const OrcaSessionReference& reference) {
  return jsonl::string(terminal, "executionHostId") == "local" &&
         jsonl::string(terminal, "tabId") == reference.tabID &&
         jsonl::string(terminal, "leafId") == reference.leafID &&
         jsonl::string(terminal, "worktreeId") == reference.worktreeID &&
         boolMember(terminal, "orphaned") != true && boolMember(terminal, "connected") == true;
}

std::string resolveIn(simdjson::dom::parser& parser, std::string_view answer,
                      const OrcaSessionReference& reference) {
  object result = unwrap(parser, answer);
  if (boolMember(result, "truncated") != false) fail(OrcaNavigationError::invalidResponse);

  auto hostScope = jsonl::object(result, "hostScope");
  array hostIDs;
  if (!hostScope || hostScope->at_key("hostIds").get(hostIDs) != simdjson::SUCCESS)
    fail(OrcaNavigationError::invalidResponse);
  bool local = false;
  for (element host : hostIDs) {
    std::string_view id;
    if (host.get(id) != simdjson::SUCCESS) fail(OrcaNavigationError::invalidResponse);
    local = local || id == "local";
  }
  if (!local) fail(OrcaNavigationError::invalidResponse);

  array terminals;
  if (result.at_key("terminals").get(terminals) != simdjson::SUCCESS)
    fail(OrcaNavigationError::invalidResponse);
  std::optional<object> match;
  for (element item : terminals) {
    object terminal;
    if (item.get(terminal) != simdjson::SUCCESS) fail(OrcaNavigationError::invalidResponse);
    if (!matchesReference(terminal, reference)) continue;
    if (match) fail(OrcaNavigationError::ambiguous);
    match = terminal;
  }
  if (!match) fail(OrcaNavigationError::missingSession);

  auto handle = jsonl::string(*match, "handle");
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
  simdjson::dom::parser parser;  // reused for every answer of this call
  OrcaSessionReference reference = singleReference(index, taskID);
  bool retryAllowed = true;
  for (;;) {
    std::string list = runner.run(executable, listArguments).get();
    std::string handle = resolveIn(parser, list, reference);
    try {
      std::string answer =
          runner.run(executable, {"terminal", "switch", "--terminal", handle, "--json"}).get();
      auto focus = jsonl::object(unwrap(parser, answer), "focus");
      if (focus && jsonl::string(*focus, "handle") == handle &&
          jsonl::string(*focus, "tabId") == reference.tabID &&
          boolMember(*focus, "navigated") == true)
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
  switch (code_) {
    case failed:
      return "Orca could not select the conversation.";
    case unavailable:
      return "Orca could not be reached.";
    case invalidResponse:
      return "This Orca version returned an unsupported response.";
    case ambiguous:
      return "More than one Orca pane matches this conversation.";
    case missingSession:
      return "The original Orca tab is closed or its session information is unavailable.";
    case timedOut:
      return "Orca took too long to respond.";
    case outputLimit:
      return "Orca returned more session information than Lantrel can process.";
  }
  return "Orca could not be reached.";
}

bool OrcaNavigationError::operator==(const OrcaNavigationError& other) const {
  return code_ == other.code_ && failureCode_ == other.failureCode_;
}

nlohmann::json OrcaNavigator::result(std::string_view answer) {
  simdjson::dom::parser parser;
  return tree(unwrap(parser, answer));
}

std::string OrcaNavigator::resolve(std::string_view answer, const OrcaSessionReference& reference) {
  simdjson::dom::parser parser;
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
