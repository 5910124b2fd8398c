// Builders for Codex files in tests: transcript lines, whole transcripts in a
// generated Codex home, and Codex desktop log lines.
#pragma once

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lantrel/instant.hpp"
#include "test_support.hpp"

namespace lantrel::testing::codex {

using nlohmann::json;

// The instant every fixture's clock starts from: 2025-10-01T12:00:00Z.
inline const Instant base = Instant::fromUnix(1759320000);

// ISO 8601 text of base + `seconds`, with a millisecond fraction or without.
inline std::string iso(double seconds, bool fraction = true) {
  Instant at = base + seconds;
  std::string text = at.iso8601();
  if (fraction) {
    char millis[8];
    double whole = std::floor(at.unixSeconds());
    std::snprintf(millis, sizeof millis, ".%03d",
                  static_cast<int>(std::lround((at.unixSeconds() - whole) * 1000)) % 1000);
    text.insert(text.size() - 1, millis);
  }
  return text;
}

// One transcript line, line feed included.
inline std::string line(const std::string& timestamp, std::string_view type, json payload) {
  json object = {{"timestamp", timestamp}, {"type", type}, {"payload", std::move(payload)}};
  return object.dump() + "\n";
}

// An "event_msg" line of the given payload type with extra payload members.
inline std::string event(double seconds, std::string_view payloadType, json extra = json::object()) {
  extra["type"] = payloadType;
  return line(iso(seconds), "event_msg", std::move(extra));
}

// A "response_item" line of the given payload type with extra payload members.
inline std::string response(double seconds, std::string_view payloadType,
                            json extra = json::object()) {
  extra["type"] = payloadType;
  return line(iso(seconds), "response_item", std::move(extra));
}

inline std::string toolCall(double seconds, std::string_view name, std::string_view callID,
                            std::string_view input = "", std::string_view kind = "custom_tool_call") {
  return response(seconds, kind, {{"name", name}, {"call_id", callID}, {"input", input}});
}

inline std::string toolOutput(double seconds, std::string_view callID,
                              std::string_view kind = "custom_tool_call_output") {
  return response(seconds, kind, {{"call_id", callID}, {"output", "ok"}});
}

inline std::string itemCompleted(double seconds, json item) {
  return event(seconds, "item_completed", {{"item", std::move(item)}});
}

// The first line of every transcript.
inline std::string sessionMeta(std::string_view id) {
  return line(iso(0), "session_meta", {{"id", id}, {"cwd", "/tmp/project"}});
}

inline std::string userMessage(double seconds, std::string_view text) {
  return event(seconds, "user_message", {{"message", text}});
}

// A generated Codex home in a temporary directory.
class CodexHome {
 public:
  const fs::path& path() const { return dir_.path(); }
  fs::path sessions() const { return dir_ / "sessions"; }

  // Writes sessions/`relative` (a meta line for `id`, then `lines`) and
  // dates it `unixSeconds`.
  fs::path addTranscript(const fs::path& relative, std::string_view id, std::string_view lines,
                         double unixSeconds) {
    fs::path file = sessions() / relative;
    writeFile(file, sessionMeta(id) + std::string(lines));
    touch(file, unixSeconds);
    return file;
  }

  // Appends one line to the session index.
  void addThreadName(std::string_view id, std::string_view name) {
    index_ += json{{"id", id}, {"thread_name", name}}.dump() + "\n";
    writeFile(dir_ / "session_index.jsonl", index_);
  }

  // Writes the desktop app's global state: the unread set (when given) and a
  // project assignment per thread.
  void writeGlobalState(const std::vector<std::pair<std::string, std::string>>& projects,
                        const std::vector<std::string>* unread = nullptr) {
    json state = {{"thread-project-assignments", json::object()},
                  {"local-projects", json::object()}};
    for (const auto& [thread, project] : projects) {
      state["thread-project-assignments"][thread] = {{"projectKind", "local"},
                                                     {"projectId", "p-" + project}};
      state["local-projects"]["p-" + project] = {{"name", project}};
    }
    if (unread)
      state["electron-thread-read-state-v1"] = {
          {"version", 1}, {"unreadByIdentity", {{"me", {{"local:me", *unread}}}}}};
    writeFile(dir_ / ".codex-global-state.json", state.dump());
  }

  // An automation whose runs go to `thread`.
  void addAutomation(std::string_view name, std::string_view thread) {
    writeFile(dir_ / "automations" / name / "automation.toml",
              "target_thread_id = \"" + std::string(thread) + "\"\n");
  }

 private:
  TempDir dir_;
  std::string index_;
};

// --- the Codex desktop log ----------------------------------------------------

inline constexpr std::string_view logSeparator = " info [electron-message-handler] ";

// One log line, line feed included.
inline std::string logLine(std::string_view timestamp, std::string_view message) {
  return std::string(timestamp) + std::string(logSeparator) + std::string(message) + "\n";
}

inline std::string showApproval(double seconds, std::string_view thread,
                                std::string_view requestID, std::string_view kind) {
  return logLine(iso(seconds), "[desktop-notifications] show approval conversationId=" +
                                   std::string(thread) + " requestId=" + std::string(requestID) +
                                   " kind=" + std::string(kind));
}

inline std::string showQuestion(double seconds, std::string_view thread,
                                std::string_view requestID) {
  return logLine(iso(seconds), "[desktop-notifications] show question conversationId=" +
                                   std::string(thread) + " requestId=" + std::string(requestID));
}

inline std::string sendResponse(double seconds, std::string_view requestID,
                                std::string_view method) {
  return logLine(iso(seconds), "Sending server response id=" + std::string(requestID) +
                                   " method=" + std::string(method) + " response={\"ok\":true}");
}

}  // namespace lantrel::testing::codex
