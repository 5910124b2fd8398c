// The Codex automation and Claude read states: which tasks each knows and
// by what key, what a load refuses, and what a save round trip keeps.
#include <gtest/gtest.h>

#include "lantrel/claude_read_state.hpp"
#include "lantrel/codex_automation.hpp"
#include "test_support.hpp"

using namespace lantrel;
using lantrel::testing::errorOf;
namespace fs = std::filesystem;

template <typename State>
class ReadStateFile : public ::testing::Test {
 protected:
  static constexpr bool isClaude = std::is_same_v<State, ClaudeReadState>;
  // Claude keys keep the ID as written, automation keys are lower-cased.
  const std::string key = isClaude ? "6E2B1D7C-55A0-4F3B-9C8D-0123456789AB" : "6e2b1d7c-55a0-4f3b-9c8d-0123456789ab";
  lantrel::testing::TempDir home;
  // A finished task with its ID in capitals, of this state's kind or not.
  TaskStatus finished(Instant updatedAt, bool known = true) {
    TaskStatus task(std::string(isClaude ? "claude-" : "codex-") + "6E2B1D7C-55A0-4F3B-9C8D-0123456789AB", "t",
                    LightState::done, updatedAt, std::string(isClaude ? (known ? claudeSource : "Claude") : codexSource));
    if (!isClaude) task.isScheduled = known;
    return task;
  }
};
using ReadStates = ::testing::Types<CodexAutomationReadState, ClaudeReadState>;
TYPED_TEST_SUITE(ReadStateFile, ReadStates);

TYPED_TEST(ReadStateFile, MarksSaveAndLoadByKey) {
  TypeParam state;
  state.markRead(this->finished(Instant{500}, false), Instant{600});
  EXPECT_TRUE(state.readAt.empty());
  state.markRead(this->finished(Instant{100}), Instant{150});
  EXPECT_EQ(state.readAt, (std::map<std::string, Instant>{{this->key, Instant{150}}}));
  // A mark covers at least the task's own time, saved as the next whole second.
  Instant updatedAt = *Instant::parseISO8601("2025-10-01T12:00:00.500Z");
  state.markRead(this->finished(updatedAt), updatedAt - 5);
  fs::path url = this->home / "new/dir/read-state.json";
  state.save(url);
  EXPECT_EQ(lantrel::testing::readFile(url), R"({"readAt":{")" + this->key + R"(":"2025-10-01T12:00:01Z"}})");
  EXPECT_EQ(lantrel::testing::modeOf(url), 0600u);
  for (const TypeParam& s : {state, TypeParam::load(url)}) {
    EXPECT_TRUE(s.hasRead(this->finished(updatedAt)));
    EXPECT_FALSE(s.hasRead(this->finished(updatedAt + 0.6)) || s.hasRead(this->finished(updatedAt, false)));
  }
}

// No instant can make the saved file unreadable (which would lose every
// mark in it): times the text cannot carry are written as the nearest it can.
TYPED_TEST(ReadStateFile, FarInstantsNeverBreakTheFile) {
  fs::path url = this->home / "read-state.json";
  for (double far : {4e11, -4e11, 1e300, -1e300}) {
    TypeParam state;
    state.markRead(this->finished(Instant{far}), Instant{far});
    state.readAt["kept"] = Instant{0};
    state.save(url);
    TypeParam loaded = TypeParam::load(url);
    EXPECT_EQ(loaded.readAt.size(), 2u) << far;
    EXPECT_EQ(loaded.readAt["kept"], Instant{0});
    EXPECT_EQ(loaded.readAt[this->key].iso8601(), far > 0 ? "9999-12-31T23:59:59Z" : "0000-01-01T00:00:00Z");
  }
}

TYPED_TEST(ReadStateFile, LoadRefusesWhatIsNotOurFile) {
  fs::path url = this->home / "Lantrel/state.json";
  EXPECT_TRUE(TypeParam::load(url).readAt.empty());
  EXPECT_FALSE(fs::exists(this->home / "Lantrel"));  // a load writes nothing
  fs::create_directories(url);
  EXPECT_EQ(errorOf([&] { TypeParam::load(url); }), "invalidRecord");
  fs::remove(url);
  fs::create_symlink(this->home / "real.json", url);
  lantrel::testing::writeFile(this->home / "real.json", R"({"readAt":{}})");
  EXPECT_EQ(errorOf([&] { TypeParam::load(url); }), "invalidRecord");
  fs::remove(url);
  std::string padded = R"({"readAt":{}})" + std::string(1'000'000 - 13, ' ');
  lantrel::testing::writeFile(url, padded);
  EXPECT_TRUE(TypeParam::load(url).readAt.empty());
  lantrel::testing::writeFile(url, padded + " ");
  EXPECT_EQ(errorOf([&] { TypeParam::load(url); }), "invalidRecord");
  auto error = [](std::string_view bytes) { return errorOf([&] { TypeParam::decode(bytes); }); };
  EXPECT_NE(error("{}").find("\"readAt\" is missing"), std::string::npos);
  EXPECT_NE(error(R"({"readAt":{"a":5}})").find("\"a\" is not a string"), std::string::npos);
  EXPECT_NE(error(R"({"readAt":{"a":"2025-10-01T12:34:56.5Z"}})").find("ISO 8601"), std::string::npos);
}
