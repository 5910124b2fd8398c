// Builders for Codex files in tests: transcript lines, a generated Codex
// home, and Codex desktop log lines. Times are whole seconds after `base`.
#pragma once

#include <nlohmann/json.hpp>

#include "lantrel/instant.hpp"
#include "test_support.hpp"

namespace lantrel::testing::codex {

using nlohmann::json;

inline const Instant base = Instant::fromUnix(1759320000);  // 2025-10-01T12:00:00Z

// ISO 8601 text of base + `seconds`, with milliseconds.
inline std::string iso(double seconds) { return (base + seconds).iso8601().insert(19, ".000"); }

// One transcript line, line feed included.
inline std::string line(const std::string& timestamp, std::string_view type, json payload) {
  return json{{"timestamp", timestamp}, {"type", type}, {"payload", std::move(payload)}}.dump() + "\n";
}
// An "event_msg" or a "response_item" line of a payload type, with extra payload members.
inline std::string event(double at, std::string_view type, json extra = json::object()) {
  return extra["type"] = type, line(iso(at), "event_msg", std::move(extra));
}
inline std::string response(double at, std::string_view type, json extra = json::object()) {
  return extra["type"] = type, line(iso(at), "response_item", std::move(extra));
}
inline std::string toolCall(double at, std::string_view name, std::string_view callID, std::string_view input = "",
                            std::string_view kind = "custom_tool_call") {
  return response(at, kind, {{"name", name}, {"call_id", callID}, {"input", input}});
}
inline std::string toolOutput(double at, std::string_view callID, std::string_view kind = "custom_tool_call_output") {
  return response(at, kind, {{"call_id", callID}, {"output", "ok"}});
}
// The first line of every transcript.
inline std::string sessionMeta(std::string_view id) { return line(iso(0), "session_meta", {{"id", id}, {"cwd", "/"}}); }
inline std::string userMessage(double at, std::string_view text) { return event(at, "user_message", {{"message", text}}); }

// A generated Codex home in a temporary directory.
struct CodexHome : TempDir {
  std::string index;
  // sessions/`relative`: a meta line for `id`, then `lines`, dated `unixSeconds`.
  fs::path addTranscript(const fs::path& relative, std::string_view id, std::string_view lines, double unixSeconds) {
    writeFile(*this / "sessions" / relative, sessionMeta(id) + std::string(lines));
    return touch(*this / "sessions" / relative, unixSeconds), *this / "sessions" / relative;
  }
  void addThreadName(std::string_view id, std::string_view name) {
    writeFile(*this / "session_index.jsonl", index += json{{"id", id}, {"thread_name", name}}.dump() + "\n");
  }
  // The desktop app's global state: a local project per thread, and the unread set when given.
  void writeGlobalState(const std::map<std::string, std::string>& projects, std::optional<json> unread = {}) {
    json state = {{"thread-project-assignments", json::object()}, {"local-projects", json::object()}};
    for (const auto& [thread, project] : projects) {
      state["thread-project-assignments"][thread] = {{"projectKind", "local"}, {"projectId", "p-" + project}};
      state["local-projects"]["p-" + project] = {{"name", project}};
    }
    if (unread) state["electron-thread-read-state-v1"] = {{"version", 1}, {"unreadByIdentity", {{"me", {{"local:me", *unread}}}}}};
    writeFile(*this / ".codex-global-state.json", state.dump());
  }
};

// Lines of the Codex desktop log: a request shown (`kind` empty for a question) and a response sent.
inline std::string logLine(std::string_view timestamp, std::string_view message) {
  return std::string(timestamp) + " info [electron-message-handler] " + std::string(message) + "\n";
}
inline std::string shown(double at, std::string_view thread, std::string_view id, std::string_view kind = "") {
  return logLine(iso(at), "[desktop-notifications] show " + std::string(kind.empty() ? "question" : "approval") +
                              " conversationId=" + std::string(thread) + " requestId=" + std::string(id) +
                              (kind.empty() ? "" : " kind=" + std::string(kind)));
}
inline std::string sent(double at, std::string_view id, std::string_view method) {
  return logLine(iso(at), "Sending server response id=" + std::string(id) + " method=" + std::string(method) + " response={}");
}

// While an OpenHook lives, open(2) in lantrel_tests (session_reader_test.cpp
// defines it) removes the `vanishing` file just before opening it, and logs every path it opens.
struct OpenHook;
inline OpenHook* openHook = nullptr;
struct OpenHook {
  std::string vanishing;
  std::vector<std::string> opened;
  OpenHook() { openHook = this; }
  ~OpenHook() { openHook = nullptr; }
};

}  // namespace lantrel::testing::codex
