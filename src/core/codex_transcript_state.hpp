// What a Codex transcript tells: the session it records (its first line),
// a name (its first user message) and the session's light state (its last
// lines).
//
// Each line is a JSON object with a "timestamp", a "type" and a "payload".
// Turn events ("event_msg" lines) start, complete, abort or fail a turn;
// tool calls and their outputs ("response_item" lines) show activity and
// raise or answer requests for the user's approval or input.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "lantrel/task_status.hpp"
#include "support/files.hpp"
#include "support/json.hpp"

namespace lantrel {

// Reads Codex transcripts one after another with one buffer and one JSON
// parser, reading each byte of a transcript at most once.
class CodexTranscriptReader {
 public:
  CodexTranscriptReader();
  ~CodexTranscriptReader();

  // Reads the first sessionIDHeadBytes and the last stateTailBytes of the
  // transcript at `path` (SessionReader's limits). Throws filesystem_error
  // when it cannot be opened or read.
  void open(const std::string& path);
  // The session ID of the open transcript's first line, exactly as written,
  // or nullopt when that is not a session meta line with a UUID.
  std::optional<std::string> sessionID();
  // A one-line name of at most maximumNameCharacters from the first user
  // message in the open transcript's first conversationNameHeadBytes.
  std::optional<std::string> conversationName();
  // The open transcript's task, from its last whole lines (files::tailLines;
  // `keepUnbroken` keeps a tail without any line feed).
  TaskStatus task(std::string_view id, std::string_view name, bool keepUnbroken = false);

  // The task of transcript lines (see SessionReader::parse).
  TaskStatus parse(std::string_view lines, std::string_view id, std::string_view name);
  json::Parser& parser() { return parser_; }
  // The buffer open() reads into, free for other reads until then.
  files::ReadBuffer& buffer() { return buffer_; }
  // sessionID() and conversationName() of the given first bytes.
  std::optional<std::string> sessionIDOf(std::string_view head);
  std::optional<std::string> conversationNameOf(std::string_view head);

  class Transcript;  // the bytes read of the open transcript

 private:
  files::ReadBuffer buffer_;
  json::Parser parser_;
  std::unique_ptr<Transcript> transcript_;
};

}  // namespace lantrel
