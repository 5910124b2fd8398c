#include "codex_transcript_state.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>

#include "lantrel/session_reader.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

using json::Object;

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
constexpr std::string_view escalatedValue = "require_escalated";

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool startsWithQuote(std::string_view s) { return s.starts_with('"') || s.starts_with('\''); }

// The key sandbox_permissions, quoted or not, then a colon and the value
// require_escalated in quotes, with any white space around the colon: what
// the pattern ["']?sandbox_permissions["']?\s*:\s*["']require_escalated["']
// finds anywhere in the input.
bool requestsEscalatedPermission(std::optional<std::string_view> input) {
  if (!input) return false;
  for (std::size_t at = input->find(escalationKey); at != std::string_view::npos;
       at = input->find(escalationKey, at + 1)) {
    std::string_view rest = input->substr(at + escalationKey.size());
    if (startsWithQuote(rest)) rest.remove_prefix(1);
    rest = text::withoutLeadingPatternSpace(rest);
    if (!rest.starts_with(':')) continue;
    rest = text::withoutLeadingPatternSpace(rest.substr(1));
    if (startsWithQuote(rest) && rest.substr(1).starts_with(escalatedValue) &&
        startsWithQuote(rest.substr(1 + escalatedValue.size())))
      return true;
  }
  return false;
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

bool isKnownNestedApprovalCompletion(std::optional<Object> item) {
  if (!item || json::string(*item, "type") != "McpToolCall") return false;
  auto server = json::string(*item, "server");
  auto tool = json::string(*item, "tool");
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

  void apply(Object line) {
    auto payload = json::object(line, "payload");
    if (!payload) return;
    std::string_view payloadType = json::string(*payload, "type").value_or("");
    std::string_view type = json::string(line, "type").value_or("");
    auto timestamp = json::string(line, "timestamp");
    if (!timestamp) return;
    std::optional<Instant> at = Instant::parseISO8601(*timestamp);
    if (!at) return;

    if (record_.state == LightState::unknown && type == "response_item" &&
        std::ranges::count(activityPayloadTypes, payloadType) > 0)
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

  void completeTask(Instant at, Object payload) {
    record_.lastTurnBoundaryAt = at;
    bool waits = planSeen_ || !pending_.empty() ||
                 isProposedPlan(json::string(payload, "last_agent_message"));
    record_.state = waits ? LightState::waiting : LightState::done;
    record_.confirmedAttentionPending = waits;
  }

  void callTool(Object payload) {
    std::string_view name = toolName(json::string(payload, "name"));
    auto input = json::string(payload, "input");
    bool approvalTool = std::ranges::count(approvalToolNames, name) > 0;
    bool escalated = name == "exec" && requestsEscalatedPermission(input);
    bool nested = name == "exec" && requestsKnownNestedApproval(input);
    bool fileChange = requestsFileChangeApproval(name, input);
    if (!approvalTool && !escalated && !nested && !fileChange) return;
    // An async question is answered outside this transcript, so all of
    // them share one key that no call output clears.
    std::string_view key = "uncorrelated";
    if (name == "request_user_input_async")
      key = "async-unresolved";
    else if (auto callID = json::string(payload, "call_id"))
      key = *callID;
    pending_.emplace(key);
    if (nested) nested_.emplace(key);
    waitForUser();
  }

  void receiveOutput(Object payload) {
    auto callID = json::string(payload, "call_id");
    if (!callID || nested_.contains(*callID)) return;
    auto it = pending_.find(*callID);
    if (it == pending_.end()) return;
    pending_.erase(it);
    if (pending_.empty()) resumeWork();
  }

  void completeItem(Object payload) {
    auto item = json::object(payload, "item");
    if (item && item->size() > 0 && json::string(*item, "type") == "Plan") {
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
};

// The user's words in a "response_item" user message: the "text" of every
// content item that the metadata marks as typed by the user, joined by
// spaces. nullopt when the message does not have that shape.
std::optional<std::string> userTextOfMessage(Object payload) {
  auto metadata = json::object(payload, "internal_chat_message_metadata_passthrough");
  if (!metadata) return std::nullopt;
  auto kinds = json::array(*metadata, "content_item_kinds");
  auto content = json::array(payload, "content");
  if (!kinds || !content || kinds->size() != content->size()) return std::nullopt;
  for (auto kind : *kinds)
    if (!kind.is_string()) return std::nullopt;
  for (auto item : *content)
    if (!item.is_object()) return std::nullopt;
  std::string joined;
  auto kind = kinds->begin();
  for (auto element : *content) {
    Object item = element.get_object().value_unsafe();
    std::string_view kindText = (*kind).get_string().value_unsafe();
    ++kind;
    auto text = json::string(item, "text");
    if (kindText != "user.text" || json::string(item, "type") != "input_text" || !text) continue;
    if (!joined.empty()) joined.push_back(' ');
    joined.append(*text);
  }
  return joined;
}

// The text a user typed, when the line is a user message.
std::optional<std::string> userText(Object line) {
  auto payload = json::object(line, "payload");
  if (!payload) return std::nullopt;
  auto type = json::string(line, "type");
  auto payloadType = json::string(*payload, "type");
  if (type == "event_msg" && payloadType == "user_message")
    return std::string(json::string(*payload, "message").value_or(""));
  if (type == "response_item" && payloadType == "message" &&
      json::string(*payload, "role") == "user")
    return userTextOfMessage(*payload);
  return std::nullopt;
}

// The first user message of a transcript's head (padded lines), on one line
// and cut to maximumNameCharacters.
std::optional<std::string> firstUserText(std::string_view head, json::Parser& parser) {
  std::optional<std::string> name;
  text::forEachLine(head, [&](std::string_view line) {
    auto object = parser.object(line, true);
    auto text = object ? userText(*object) : std::nullopt;
    if (!text) return true;
    std::string words = text::collapsedWhitespace(text::repairUTF8(*text));
    if (words.empty()) return true;
    name = text::characterPrefix(words, maximumNameCharacters);
    return false;
  });
  return name;
}

// The session ID of a transcript's head (padded): the UUID "id" of its first
// line when that is a "session_meta" line within the first
// sessionIDHeadBytes, exactly as written.
std::optional<std::string> sessionIDOfHead(std::string_view head, json::Parser& parser) {
  std::string_view first;
  text::forEachLine(head.substr(0, SessionReader::sessionIDHeadBytes), [&](std::string_view line) {
    first = line;
    return false;
  });
  auto line = first.empty() ? std::nullopt : parser.object(first, true);
  if (!line || json::string(*line, "type") != "session_meta") return std::nullopt;
  auto payload = json::object(*line, "payload");
  auto id = payload ? json::string(*payload, "id") : std::nullopt;
  if (!id || !isUUID(*id)) return std::nullopt;
  return std::string(*id);
}


}  // namespace

// The bytes of one transcript that a task needs, each read once: its first
// sessionIDHeadBytes, its last stateTailBytes, and the first
// conversationNameHeadBytes only when asked for.
class CodexTranscriptReader::Transcript {
 public:
  Transcript(const std::string& path, files::ReadBuffer& buffer) : file_(path) {
    std::uint64_t size = file_.size();
    head_ = std::min(size, SessionReader::conversationNameHeadBytes);
    tail_ = std::min(size, SessionReader::stateTailBytes);
    tailStart_ = size - tail_;
    data_ = buffer.reserve(static_cast<std::size_t>(head_ + tail_));
    if (size <= SessionReader::sessionIDHeadBytes + tail_) {
      // Small enough to read whole: the head and the tail lie in it.
      whole_ = {data_, file_.read(0, static_cast<std::size_t>(size), data_)};
      headRead_ = std::min<std::uint64_t>(whole_.size(), head_);
    } else {
      headRead_ = file_.read(0, SessionReader::sessionIDHeadBytes, data_);
      tailData_ = {data_ + head_, file_.read(tailStart_, static_cast<std::size_t>(tail_), data_ + head_)};
    }
  }

  std::string_view head() const { return {data_, static_cast<std::size_t>(headRead_)}; }
  // Whole lines only: a line cut by the start of the window, and a last line
  // still being written, are left out.
  std::string_view tail(bool keepUnbroken) const {
    std::string_view data = whole_.data() ? whole_.substr(std::min(whole_.size(), static_cast<std::size_t>(tailStart_)))
                                          : tailData_;
    return files::tailLines(data, tailStart_ > 0, keepUnbroken);
  }
  // The head up to conversationNameHeadBytes, reading what is still missing
  // of it (taken from the tail where the two meet).
  std::string_view longHead() {
    if (!whole_.data() && headRead_ < head_) {
      std::uint64_t end = std::min(head_, tailStart_);
      headRead_ += file_.read(headRead_, static_cast<std::size_t>(end - headRead_), data_ + headRead_);
      if (headRead_ == end && end < head_) {
        std::uint64_t shared = std::min<std::uint64_t>(head_ - end, tailData_.size());
        std::memcpy(data_ + end, tailData_.data(), static_cast<std::size_t>(shared));
        headRead_ = end + shared;
      }
    }
    return head();
  }

 private:
  files::FileReader file_;
  char* data_;
  std::uint64_t head_, tail_, tailStart_, headRead_;
  std::string_view whole_, tailData_;
};


CodexTranscriptReader::CodexTranscriptReader() = default;
CodexTranscriptReader::~CodexTranscriptReader() = default;

void CodexTranscriptReader::open(const std::string& path) {
  transcript_.reset();
  transcript_ = std::make_unique<Transcript>(path, buffer_);
}

std::optional<std::string> CodexTranscriptReader::sessionID() {
  return sessionIDOf(transcript_->head());
}

std::optional<std::string> CodexTranscriptReader::conversationName() {
  return conversationNameOf(transcript_->longHead());
}

TaskStatus CodexTranscriptReader::task(std::string_view id, std::string_view name,
                                       bool keepUnbroken) {
  return parse(transcript_->tail(keepUnbroken), id, name);
}

std::optional<std::string> CodexTranscriptReader::sessionIDOf(std::string_view head) {
  return sessionIDOfHead(head, parser_);
}

std::optional<std::string> CodexTranscriptReader::conversationNameOf(std::string_view head) {
  return firstUserText(head, parser_);
}

TaskStatus CodexTranscriptReader::parse(std::string_view lines, std::string_view id,
                                        std::string_view name) {
  TaskStatus record(std::string(id), std::string(name), LightState::unknown,
                    Instant::distantPast(), std::string(codexSource));
  TranscriptState state(record);
  text::forEachLine(lines, [&](std::string_view line) {
    if (auto object = parser_.object(line, true)) state.apply(*object);
    return true;
  });
  return record;
}

}  // namespace lantrel
