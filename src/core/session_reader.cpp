// Finding a Codex session's identity and a readable name in its transcript.

#include "lantrel/session_reader.hpp"

#include <exception>

#include "support/files.hpp"
#include "support/json_lines.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

using simdjson::dom::object;

constexpr std::size_t maximumNameCharacters = 160;

// The user's words in a "response_item" user message: the "text" of every
// content item that the metadata marks as typed by the user, joined by
// spaces. nullopt when the message does not have that shape.
std::optional<std::string> userTextOfMessage(object payload) {
  auto metadata = jsonl::object(payload, "internal_chat_message_metadata_passthrough");
  if (!metadata) return std::nullopt;
  auto kinds = jsonl::array(*metadata, "content_item_kinds");
  auto content = jsonl::array(payload, "content");
  if (!kinds || !content || kinds->size() != content->size()) return std::nullopt;
  for (auto kind : *kinds)
    if (!kind.is_string()) return std::nullopt;
  for (auto item : *content)
    if (!item.is_object()) return std::nullopt;
  std::string joined;
  auto kind = kinds->begin();
  for (auto element : *content) {
    object item = element.get_object().value_unsafe();
    std::string_view kindText = (*kind).get_string().value_unsafe();
    ++kind;
    auto text = jsonl::string(item, "text");
    if (kindText != "user.text" || jsonl::string(item, "type") != "input_text" || !text)
      continue;
    if (!joined.empty()) joined.push_back(' ');
    joined.append(*text);
  }
  return joined;
}

// The text a user typed, when the line is a user message.
std::optional<std::string> userText(object line) {
  auto payload = jsonl::object(line, "payload");
  if (!payload) return std::nullopt;
  auto type = jsonl::string(line, "type");
  auto payloadType = jsonl::string(*payload, "type");
  if (type == "event_msg" && payloadType == "user_message")
    return std::string(jsonl::string(*payload, "message").value_or(""));
  if (type == "response_item" && payloadType == "message" &&
      jsonl::string(*payload, "role") == "user")
    return userTextOfMessage(*payload);
  return std::nullopt;
}

// The first user message of a transcript head, on one line and cut to
// maximumNameCharacters.
std::optional<std::string> firstUserText(const std::string& head) {
  jsonl::LineParser parser(head);
  std::optional<std::string> name;
  jsonl::forEachLine(head, [&](std::string_view line) {
    auto object = parser.object(line);
    if (!object) return true;
    auto text = userText(*object);
    if (!text) return true;
    std::string words = text::collapsedWhitespace(text::repairUTF8(*text));
    if (words.empty()) return true;
    name = text::characterPrefix(words, maximumNameCharacters);
    return false;
  });
  return name;
}

}  // namespace

std::optional<std::string> SessionReader::sessionID(const std::filesystem::path& url) {
  std::string head = files::readHead(url, sessionIDHeadBytes);
  std::string_view first;
  jsonl::forEachLine(head, [&](std::string_view line) {
    first = line;
    return false;
  });
  if (first.empty()) return std::nullopt;
  jsonl::LineParser parser(head);
  auto line = parser.object(first);
  if (!line || jsonl::string(*line, "type") != "session_meta") return std::nullopt;
  auto payload = jsonl::object(*line, "payload");
  if (!payload) return std::nullopt;
  auto id = jsonl::string(*payload, "id");
  if (!id || !isUUID(*id)) return std::nullopt;
  return std::string(*id);
}

std::optional<std::string> SessionReader::conversationName(const std::filesystem::path& url) {
  // Any failure means no name; the caller falls back to a generic one.
  try {
    return firstUserText(files::readHead(url, conversationNameHeadBytes));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string SessionReader::tail(const std::filesystem::path& url, std::uint64_t limit) {
  return files::readTailLines(url, limit);
}

}  // namespace lantrel
