#include "lantrel/claude_read_state.hpp"

#include <algorithm>

#include "read_times_file.hpp"
#include "support/files.hpp"
#include "support/uuid.hpp"

namespace lantrel {

std::optional<std::string> TaskStatus::claudeSessionID() const {
  if (provider() != TaskProvider::claude) return std::nullopt;
  std::string_view rest = std::string_view(id).substr(7);  // after "claude-"
  if (!isUUID(rest)) return std::nullopt;
  return std::string(rest);
}

std::filesystem::path ClaudeReadState::defaultURL() {
  return files::homeDirectory() / "Library/Application Support/Lantrel/claude-read-state.json";
}

ClaudeReadState ClaudeReadState::load(const std::filesystem::path& url) {
  return ClaudeReadState(readtimes::load(url, maximumFileBytes));
}

ClaudeReadState ClaudeReadState::decode(std::string_view bytes) {
  return ClaudeReadState(readtimes::decode(bytes));
}

void ClaudeReadState::save(const std::filesystem::path& url) const {
  readtimes::save(url, readAt);
}

bool ClaudeReadState::hasRead(const TaskStatus& task) const {
  auto session = task.claudeSessionID();
  if (!session) return false;
  auto entry = readAt.find(*session);
  return entry != readAt.end() && entry->second >= task.updatedAt;
}

void ClaudeReadState::markRead(const TaskStatus& task, Instant at) {
  if (auto session = task.claudeSessionID()) readAt[*session] = std::max(at, task.updatedAt);
}

}  // namespace lantrel
