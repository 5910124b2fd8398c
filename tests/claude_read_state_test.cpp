// Claude read state and the Claude session ID of a task.
#include <gtest/gtest.h>

#include "lantrel/claude_read_state.hpp"

namespace lantrel {
namespace {

constexpr char session[] = "6E2B1D7C-55A0-4F3B-9C8D-0123456789AB";

TaskStatus claudeTask(std::string suffix, Instant updatedAt,
                      std::string source = std::string(claudeSource)) {
  return TaskStatus("claude-" + suffix, "t", LightState::done, updatedAt, std::move(source));
}

TEST(ClaudeReadState, ReadAndMarkBySession) {
  EXPECT_EQ(claudeTask(session, Instant{0}).claudeSessionID(), session);  // as written
  EXPECT_EQ(claudeTask(session, Instant{0}, "Local status").claudeSessionID(), std::nullopt);

  ClaudeReadState state;
  state.markRead(claudeTask("not-a-uuid", Instant{1}), Instant{2});
  EXPECT_TRUE(state.readAt.empty());
  // A mark covers at least the task's own time; a new mark replaces the old
  // one even when it is earlier.
  state.markRead(claudeTask(session, Instant{2000}), Instant{1990});
  EXPECT_EQ(state.readAt.at(session), Instant{2000});
  EXPECT_TRUE(state.hasRead(claudeTask(session, Instant{2000})));
  EXPECT_FALSE(state.hasRead(claudeTask(session, Instant{2001})));
  EXPECT_FALSE(state.hasRead(claudeTask(session, Instant{2000}, "Claude")));
  state.markRead(claudeTask(session, Instant{100}), Instant{150});
  EXPECT_EQ(state.readAt.at(session), Instant{150});
}

}  // namespace
}  // namespace lantrel
