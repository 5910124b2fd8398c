// How a Claude Code transcript gives a session's task.
//
// Claude Code writes one JSON Lines transcript per session. Every line is an
// object with a "type"; most carry the "sessionId", the "cwd" and a
// "timestamp". User and assistant messages, queue operations and custom
// titles are what tell a session's name and state.
#pragma once

#include <optional>
#include <string_view>

#include "lantrel/task_status.hpp"
#include "support/files.hpp"
#include "support/json.hpp"

namespace lantrel {

// The task of the transcript lines of `pieces`, in order, each made of
// whole lines lying in a padded buffer (see ClaudeSessionReader::parse).
std::optional<TaskStatus> claudeTranscriptTask(std::initializer_list<std::string_view> pieces,
                                               json::Parser& parser, std::string_view fallbackID,
                                               std::string_view fallbackName);

// Both ends of a transcript: its first ClaudeSessionReader::
// transcriptReadBytes cut after their last line feed when the file is
// larger (else nothing), and the whole lines of its last ones (all of them
// when they hold no line feed). Throws filesystem_error.
files::FileEnds readClaudeTranscript(const std::string& path, files::ReadBuffer& buffer);

// The last component of a path ("/a/b/" gives "b"); nullopt for "/" or an
// empty path.
std::optional<std::string> lastPathComponent(std::string_view path);

}  // namespace lantrel
