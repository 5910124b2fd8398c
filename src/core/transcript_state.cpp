// The light state of one Codex session from the lines of its transcript.
//
// Each line is a JSON object with a "timestamp", a "type" and a "payload".
// Turn events ("event_msg" lines) start, complete, abort or fail a turn;
// tool calls and their outputs ("response_item" lines) show activity and
// raise or answer requests for the user's approval or input.

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <array>
#include <memory>
#include <set>
#include <string>

#include "lantrel/session_reader.hpp"
#include "support/json_lines.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

using simdjson::dom::object;

constexpr std::array<std::string_view, 5> activityPayloadTypes = {
    "reasoning", "function_call", "custom_tool_call", "function_call_output",
    "custom_tool_call_output"};

constexpr std::array<std::string_view, 4> approvalToolNames = {
    "request_user_input", "request_user_input_async", "request_plugin_install",
    "request_permissions"};

// Tools that ask the user through an MCP server of their own. Their call
// output comes back before the user answers; the answer shows as a
// completed item naming the server and tool.
struct NestedApprovalTool {
  std::string_view marker;  // searched in an exec call's input
  std::string_view server;
  std::string_view tool;
};

constexpr std::array<NestedApprovalTool, 2> nestedApprovalTools = {{
    {"tools.mcp__openai_artifact_template_picker__choose_artifact_template",
     "openai_artifact_template_picker", "choose_artifact_template"},
    {"tools.mcp__codex_apps__google_calendar_create_event", "codex_apps",
     "google_calendar.create_event"},
}};

constexpr std::string_view escalationKey = "sandbox_permissions";
constexpr char escalationPattern[] =
    R"(["']?sandbox_permissions["']?\s*:\s*["']require_escalated["'])";

template <std::size_t N>
bool isOneOf(std::string_view value, const std::array<std::string_view, N>& table) {
  for (std::string_view entry : table)
    if (value == entry) return true;
  return false;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The escalation pattern, compiled on first use and then reused for every
// input of one parse.
class EscalationMatcher {
 public:
  bool matches(std::string_view input) {
    // Every match begins at the key or at the quote just before it, so the
    // pattern is only tried, anchored, at those places: long inputs are
    // never scanned by the regex engine as a whole.
    std::size_t key = input.find(escalationKey);
    if (key == std::string_view::npos) return false;
    if (!matcher_ && !compile()) return false;
    UErrorCode status = U_ZERO_ERROR;
    UText* text = utext_openUTF8(nullptr, input.data(), static_cast<int64_t>(input.size()), &status);
    if (U_FAILURE(status)) return false;
    matcher_->reset(text);
    bool found = false;
    for (; key != std::string_view::npos && !found; key = input.find(escalationKey, key + 1)) {
      bool quoted = key > 0 && (input[key - 1] == '"' || input[key - 1] == '\'');
      for (std::size_t start : {quoted ? key - 1 : key, key}) {
        matcher_->region(static_cast<int64_t>(start), static_cast<int64_t>(input.size()), status);
        if ((found = U_SUCCESS(status) && matcher_->lookingAt(status))) break;
      }
    }
    utext_close(text);
    return found && U_SUCCESS(status);
  }

 private:
  bool compile() {
    UErrorCode status = U_ZERO_ERROR;
    pattern_.reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(escalationPattern), 0,
                                              status));
    if (U_FAILURE(status)) return false;
    matcher_.reset(pattern_->matcher(status));
    if (U_FAILURE(status)) matcher_.reset();
    return matcher_ != nullptr;
  }

  std::unique_ptr<icu::RegexPattern> pattern_;
  std::unique_ptr<icu::RegexMatcher> matcher_;
};

bool requestsEscalatedPermission(std::optional<std::string_view> input,
                                 EscalationMatcher& escalation) {
  return input && escalation.matches(*input);
}

bool requestsKnownNestedApproval(std::optional<std::string_view> input) {
  if (!input) return false;
  for (const auto& tool : nestedApprovalTools)
    if (contains(*input, tool.marker)) return true;
  return false;
}

bool requestsFileChangeApproval(std::string_view name, std::optional<std::string_view> input) {
  if (!input || !contains(*input, "*** Delete File:")) return false;
  if (name == "apply_patch") return true;
  if (name == "exec") return contains(*input, "tools.apply_patch");
  return false;
}

bool isKnownNestedApprovalCompletion(std::optional<object> item) {
  if (!item || jsonl::string(*item, "type") != "McpToolCall") return false;
  auto server = jsonl::string(*item, "server");
  auto tool = jsonl::string(*item, "tool");
  if (!server || !tool) return false;
  for (const auto& known : nestedApprovalTools)
    if (*server == known.server && *tool == known.tool) return true;
  return false;
}

// The tool of a possibly dotted name ("functions.exec" is "exec"): the part
// after its last dot, so a name ending in a dot names no tool.
std::string_view toolName(std::optional<std::string_view> name) {
  if (!name) return {};
  std::size_t dot = name->rfind('.');
  return dot == std::string_view::npos ? *name : name->substr(dot + 1);
}

bool isProposedPlan(std::optional<std::string_view> message) {
  if (!message) return false;
  std::string_view plan = text::trimmed(*message);
  return plan.starts_with("<proposed_plan>") && plan.ends_with("</proposed_plan>");
}

// Keys looked up by the views that simdjson hands out, without copies.
using KeySet = std::set<std::string, std::less<>>;

class TranscriptState {
 public:
  explicit TranscriptState(TaskStatus& record) : record_(record) {}

  void apply(object line) {
    auto payload = jsonl::object(line, "payload");
    if (!payload) return;
    std::string_view payloadType = jsonl::string(*payload, "type").value_or("");
    std::string_view type = jsonl::string(line, "type").value_or("");
    auto timestamp = jsonl::string(line, "timestamp");
    if (!timestamp) return;
    std::optional<Instant> at = Instant::parseISO8601(*timestamp, true);
    if (!at) at = Instant::parseISO8601(*timestamp, false);
    if (!at) return;

    if (record_.state == LightState::unknown && type == "response_item" &&
        isOneOf(payloadType, activityPayloadTypes))
      record_.state = LightState::working;

    if (type == "event_msg") {
      if (payloadType == "task_started") {
        endTurn(*at, LightState::working);
      } else if (payloadType == "task_complete") {
        completeTask(*at, *payload);
      } else if (payloadType == "turn_aborted") {
        endTurn(*at, LightState::done);
      } else if (payloadType == "task_failed") {
        endTurn(*at, LightState::failed);
      } else if (payloadType == "item_completed") {
        completeItem(*payload);
      }
    } else if (type == "response_item") {
      if (payloadType == "function_call" || payloadType == "custom_tool_call")
        callTool(*payload);
      else if (payloadType == "function_call_output" || payloadType == "custom_tool_call_output")
        receiveOutput(*payload);
    }

    if (*at >= record_.updatedAt) record_.updatedAt = *at;
  }

 private:
  // A turn starts, is aborted or fails: whatever it asked for is moot.
  void endTurn(Instant at, LightState state) {
    record_.lastTurnBoundaryAt = at;
    record_.confirmedAttentionPending = false;
    pending_.clear();
    nested_.clear();
    planSeen_ = false;
    record_.state = state;
  }

  void completeTask(Instant at, object payload) {
    record_.lastTurnBoundaryAt = at;
    bool waits = planSeen_ || !pending_.empty() ||
                 isProposedPlan(jsonl::string(payload, "last_agent_message"));
    record_.state = waits ? LightState::waiting : LightState::done;
    record_.confirmedAttentionPending = waits;
  }

  void callTool(object payload) {
    std::string_view name = toolName(jsonl::string(payload, "name"));
    auto input = jsonl::string(payload, "input");
    bool approvalTool = isOneOf(name, approvalToolNames);
    bool escalated = name == "exec" && requestsEscalatedPermission(input, escalation_);
    bool nested = name == "exec" && requestsKnownNestedApproval(input);
    bool fileChange = requestsFileChangeApproval(name, input);
    if (!approvalTool && !escalated && !nested && !fileChange) return;
    // An async question is answered outside this transcript, so all of
    // them share one key that no call output clears.
    std::string_view key = "uncorrelated";
    if (name == "request_user_input_async")
      key = "async-unresolved";
    else if (auto callID = jsonl::string(payload, "call_id"))
      key = *callID;
    pending_.emplace(key);
    if (nested) nested_.emplace(key);
    waitForUser();
  }

  void receiveOutput(object payload) {
    auto callID = jsonl::string(payload, "call_id");
    if (!callID || nested_.contains(*callID)) return;
    auto it = pending_.find(*callID);
    if (it == pending_.end()) return;
    pending_.erase(it);
    if (pending_.empty()) resumeWork();
  }

  void completeItem(object payload) {
    auto item = jsonl::object(payload, "item");
    if (item && item->size() > 0 && jsonl::string(*item, "type") == "Plan") {
      planSeen_ = true;
      waitForUser();
    }
    if (isKnownNestedApprovalCompletion(item) && !nested_.empty()) {
      for (const auto& key : nested_) pending_.erase(key);
      nested_.clear();
      if (pending_.empty()) resumeWork();
    }
  }

  void waitForUser() {
    record_.state = LightState::waiting;
    record_.confirmedAttentionPending = true;
  }

  void resumeWork() {
    record_.state = LightState::working;
    record_.confirmedAttentionPending = false;
  }

  TaskStatus& record_;
  KeySet pending_;  // requests not answered yet
  KeySet nested_;   // the pending ones raised through a nested approval tool
  bool planSeen_ = false;
  EscalationMatcher escalation_;
};

}  // namespace

TaskStatus SessionReader::parse(std::string_view bytes, std::string_view id,
                                std::string_view name) {
  TaskStatus record(std::string(id), std::string(name), LightState::unknown,
                    Instant::distantPast(), std::string(codexSource));
  if (bytes.empty()) return record;
  TranscriptState state(record);
  jsonl::LineParser parser(bytes);
  jsonl::forEachLine(bytes, [&](std::string_view line) {
    if (auto object = parser.object(line)) state.apply(*object);
    return true;
  });
  return record;
}

}  // namespace lantrel
