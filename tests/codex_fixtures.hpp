// Builders for Codex files in tests. Times are seconds after `base`.
#pragma once

#include <nlohmann/json.hpp>

#include "lantrel/instant.hpp"
#include "test_support.hpp"

namespace lantrel::testing::codex {

using nlohmann::json;
using std::string, std::string_view;

inline const Instant base = Instant::fromUnix(1759320000);  // 2025-10-01T12:00:00Z
inline string iso(double at) { return (base + at).iso8601().insert(19, ".000"); }

// One transcript line; an "event_msg" or "response_item" line of a payload type.
inline string line(const string& timestamp, string_view type, json payload) {
  return json{{"timestamp", timestamp}, {"type", type}, {"payload", payload}}.dump() + "\n";
}
inline string event(double at, string_view type, json x = {}) {
  return x["type"] = type, line(iso(at), "event_msg", x);
}
inline string response(double at, string_view type, json x = {}) {
  return x["type"] = type, line(iso(at), "response_item", x);
}
inline string toolCall(double at, string name, string id, string in = "",
                       string kind = "custom_tool_call") {
  return response(at, kind, {{"name", name}, {"call_id", id}, {"input", in}});
}
inline string toolOutput(double at, string id, string kind = "custom_tool_call_output") {
  return response(at, kind, {{"call_id", id}, {"output", "ok"}});
}
inline string sessionMeta(string_view id) {
  return line(iso(0), "session_meta", {{"id", id}, {"cwd", "/"}});
}
inline string userMessage(double at, string_view text) {
  return event(at, "user_message", {{"message", text}});
}

struct CodexHome : TempDir {
  string index;
  fs::path addTranscript(const fs::path& relative, string_view id, string lines, double unix) {
    writeFile(*this / "sessions" / relative, sessionMeta(id) + lines);
    return touch(*this / "sessions" / relative, unix), *this / "sessions" / relative;
  }
  void addThreadName(string_view id, string_view name) {
    index += json{{"id", id}, {"thread_name", name}}.dump() + "\n";
    writeFile(*this / "session_index.jsonl", index);
  }
};

// Codex desktop log lines: a question (`kind` empty) or approval shown, and a response sent.
inline string shown(double at, string thread, string id, string kind = "") {
  return iso(at) + " info [electron-message-handler] [desktop-notifications] show " +
         (kind.empty() ? "question" : "approval kind=" + kind) + " conversationId=" + thread +
         " requestId=" + id + "\n";
}
inline string sent(double at, string id, string method) {
  return iso(at) + " info [electron-message-handler] Sending server response id=" + id +
         " method=" + method + " response={} id=0 method=none\n";  // the body's fields do not count
}

}  // namespace lantrel::testing::codex
