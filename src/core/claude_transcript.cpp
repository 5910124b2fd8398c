#include "claude_transcript.hpp"

#include <algorithm>

#include "lantrel/claude_session_reader.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

using json::Object;

// The words a user typed: a string content, or the "text" of the content
// blocks of type "text" joined by spaces; one line, trimmed, 160 characters.
// Markup-only messages ("<command-name>...") and interruption notes are not
// prompts.
std::optional<std::string> promptText(Object message) {
  std::string joined;
  if (auto content = json::string(message, "content")) {
    joined = *content;
  } else if (auto blocks = json::array(message, "content")) {
    bool first = true;
    for (auto element : *blocks) {
      Object block;
      if (element.get(block) != simdjson::SUCCESS || json::string(block, "type") != "text")
        continue;
      auto text = json::string(block, "text");
      if (!text) continue;
      if (!first) joined.push_back(' ');
      joined.append(*text);
      first = false;
    }
  }
  std::string words = text::collapsedWhitespace(text::repairUTF8(joined));
  if (words.empty() || words.front() == '<' || words.starts_with("[Request interrupted"))
    return std::nullopt;
  return text::characterPrefix(words, maximumNameCharacters);
}

struct Transition {
  LightState state;
  bool pending;
};

// What an assistant message says about the turn.
std::optional<Transition> assistantTransition(Object line) {
  auto message = json::object(line, "message");
  if (!message) return std::nullopt;
  auto stopReason = json::string(*message, "stop_reason");
  if (stopReason == "end_turn") return Transition{LightState::done, false};
  if (stopReason != "tool_use") return std::nullopt;
  if (auto blocks = json::array(*message, "content")) {
    for (auto element : *blocks) {
      Object block;
      if (element.get(block) == simdjson::SUCCESS && json::string(block, "type") == "tool_use" &&
          json::string(block, "name") == "AskUserQuestion")
        return Transition{LightState::waiting, true};
    }
  }
  return Transition{LightState::working, false};
}

// A transcript's facts gathered line by line.
struct TranscriptFacts {
  std::string sessionID;
  std::optional<std::string> title;
  std::optional<std::string> firstPrompt;
  std::string workingDirectory;
  std::optional<Transition> last;  // set by the last line that set one
  Instant lastTime = Instant::distantPast();

  void read(Object line) {
    if (auto id = json::string(line, "sessionId"); id && isUUID(*id)) sessionID.assign(*id);
    std::string_view type = json::string(line, "type").value_or("");
    if (type == "custom-title") {
      auto customTitle = json::string(line, "customTitle");
      if (customTitle && !text::trimmed(*customTitle).empty())
        title = text::characterPrefix(text::repairUTF8(*customTitle), maximumNameCharacters);
    }
    if (auto cwd = json::string(line, "cwd"); cwd && !cwd->empty() && cwd->front() == '/')
      workingDirectory.assign(*cwd);

    // The rest needs the line's time; it is read only for lines that use it.
    std::optional<Transition> transition;
    std::optional<Object> promptMessage;
    if (type == "user") {
      transition = Transition{LightState::working, false};
      if (!firstPrompt && json::boolean(line, "isMeta") != true && json::boolean(line, "isSidechain") != true)
        promptMessage = json::object(line, "message");
    } else if (type == "assistant") {
      transition = assistantTransition(line);
    } else if (type == "queue-operation" && json::string(line, "operation") == "dequeue") {
      transition = Transition{LightState::working, false};
    }
    if (!transition && !promptMessage) return;
    auto timestamp = json::string(line, "timestamp");
    std::optional<Instant> time = timestamp ? Instant::parseISO8601(*timestamp) : std::nullopt;
    if (!time) return;
    if (promptMessage) firstPrompt = promptText(*promptMessage);
    if (transition) {
      last = transition;
      lastTime = std::max(lastTime, *time);
    }
  }
};

}  // namespace

std::optional<TaskStatus> claudeTranscriptTask(std::initializer_list<std::string_view> pieces,
                                               json::Parser& parser, std::string_view fallbackID,
                                               std::string_view fallbackName) {
  TranscriptFacts facts;
  facts.sessionID = fallbackID;
  for (std::string_view piece : pieces) {
    text::forEachLine(piece, [&](std::string_view line) {
      if (auto object = parser.object(line, true)) facts.read(*object);
      return true;
    });
  }
  if (!facts.last || !isUUID(facts.sessionID)) return std::nullopt;
  std::string name = facts.title         ? std::move(*facts.title)
                     : facts.firstPrompt ? std::move(*facts.firstPrompt)
                                         : std::string(fallbackName);
  TaskStatus task("claude-" + facts.sessionID, std::move(name), facts.last->state, facts.lastTime,
                  std::string(claudeSource));
  task.projectName = lastPathComponent(facts.workingDirectory);
  task.confirmedAttentionPending = facts.last->pending;
  return task;
}

files::FileEnds readClaudeTranscript(const std::string& path, files::ReadBuffer& buffer) {
  constexpr auto limit = ClaudeSessionReader::transcriptReadBytes;
  files::FileEnds ends = files::readEnds(path, limit, limit, buffer);
  if (ends.size > 2 * limit) {  // two pieces apart: the whole lines of each
    ends.head = files::headLines(ends.head);
    ends.tail = files::tailLines(ends.tail, true, true);
  } else {  // one piece, where head and tail overlap: its lines once
    std::size_t whole = std::size_t(ends.tail.data() + ends.tail.size() - ends.head.data());
    ends.tail = files::tailLines({ends.head.data(), whole}, false, true);
    ends.head = {};
  }
  return ends;
}

std::optional<std::string> lastPathComponent(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::string_view name = path.substr(path.rfind('/') + 1);
  if (name.empty()) return std::nullopt;
  return std::string(name);
}

}  // namespace lantrel
