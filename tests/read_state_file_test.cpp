// The Codex automation and Claude read states: by what key each knows a
// task, what a load refuses, and what a save round trip keeps.
#include <gtest/gtest.h>

#include "lantrel/claude_read_state.hpp"
#include "lantrel/codex_automation.hpp"
#include "test_support.hpp"

using namespace lantrel;
using namespace lantrel::testing;

template <typename State>
class ReadStateFile : public ::testing::Test {
 protected:
  static constexpr bool isClaude = std::is_same_v<State, ClaudeReadState>;
  // Claude keys keep the ID as written, automation keys are lower-cased.
  const std::string id = "6E2B1D7C-55A0-4F3B-9C8D-0123456789AB";
  const std::string key = isClaude ? id : "6e2b1d7c-55a0-4f3b-9c8d-0123456789ab";
  TempDir home;
  fs::path url = home / "Lantrel/state.json";
  TaskStatus finished(Instant updatedAt) {
    TaskStatus task((isClaude ? "claude-" : "codex-") + id, "t", LightState::done, updatedAt,
                    std::string(isClaude ? claudeSource : codexSource));
    task.isScheduled = !isClaude;
    return task;
  }
};
using ReadStates = ::testing::Types<CodexAutomationReadState, ClaudeReadState>;
TYPED_TEST_SUITE(ReadStateFile, ReadStates);

// A mark covers at least the task's own time, saved as the next whole second.
// No instant can make the saved file unreadable (which would lose every mark
// in it): times the text cannot carry are saved as the nearest it can.
TYPED_TEST(ReadStateFile, MarksSurviveASaveWhateverTheirTime) {
  Instant half = *Instant::parseISO8601("2025-10-01T12:00:00.500Z");
  for (auto [at, saved] : {std::pair{Instant{4e11}, "9999-12-31T23:59:59Z"},
           {Instant{-4e11}, "0000-01-01T00:00:00Z"}, {Instant{1e300}, "9999-12-31T23:59:59Z"},
           {half, "2025-10-01T12:00:01Z"}}) {
    TypeParam state;
    state.markRead(this->finished(at), at - 5);
    state.readAt["kept"] = Instant{0};
    state.save(this->url);
    TypeParam loaded = TypeParam::load(this->url);
    EXPECT_EQ(loaded.readAt[this->key].iso8601() + (loaded.readAt["kept"] == Instant{0} ? "" : "!"),
              saved);
  }
  TypeParam loaded = TypeParam::load(this->url);
  EXPECT_TRUE(loaded.hasRead(this->finished(half)) && !loaded.hasRead(this->finished(half + 0.6)));
}

TYPED_TEST(ReadStateFile, LoadRefusesWhatIsNotOurFile) {
  EXPECT_TRUE(TypeParam::load(this->url).readAt.empty());
  std::string padded = R"({"readAt":{}})" + std::string(1'000'000 - 13, ' ');
  writeFile(this->url, padded);
  EXPECT_TRUE(TypeParam::load(this->url).readAt.empty());
  writeFile(this->url, padded + " ");
  EXPECT_EQ(errorOf([&] { TypeParam::load(this->url); }), "invalidRecord");
}
