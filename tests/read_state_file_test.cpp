// The Codex automation and Claude read states: which tasks each knows and
// by what key, what a load refuses, what it never writes, and what a save
// round trip keeps.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "lantrel/claude_read_state.hpp"
#include "lantrel/codex_automation.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

constexpr char id[] = "6e2b1d7c-55a0-4f3b-9c8d-0123456789ab";
constexpr char upperID[] = "6E2B1D7C-55A0-4F3B-9C8D-0123456789AB";

// A finished task the state knows, its ID in capitals: Claude keeps the ID as
// written, the automation state lower-cased.
template <typename State>
TaskStatus finishedTask(Instant updatedAt, bool known = true) {
  if constexpr (std::is_same_v<State, ClaudeReadState>) {
    return TaskStatus(std::string("claude-") + upperID, "t", LightState::done, updatedAt,
                      known ? std::string(claudeSource) : "Claude");
  } else {
    TaskStatus task(std::string("codex-") + upperID, "t", LightState::done, updatedAt,
                    std::string(codexSource));
    task.isScheduled = known;
    return task;
  }
}
template <typename State>
std::string keyOf() {
  return std::is_same_v<State, ClaudeReadState> ? upperID : id;
}

template <typename State>
class ReadStateFile : public ::testing::Test {};
using ReadStates = ::testing::Types<CodexAutomationReadState, ClaudeReadState>;
TYPED_TEST_SUITE(ReadStateFile, ReadStates);

using testing::errorOf;

TYPED_TEST(ReadStateFile, KnowsItsOwnTasksByKey) {
  TypeParam state;
  state.markRead(finishedTask<TypeParam>(Instant{500}, false), Instant{600});
  EXPECT_TRUE(state.readAt.empty());
  // A mark covers at least the task's own time; a later mark replaces it,
  // even an earlier one.
  state.markRead(finishedTask<TypeParam>(Instant{500}), Instant{490});
  EXPECT_EQ(state.readAt, (std::map<std::string, Instant>{{keyOf<TypeParam>(), Instant{500}}}));
  EXPECT_TRUE(state.hasRead(finishedTask<TypeParam>(Instant{500})));
  EXPECT_FALSE(state.hasRead(finishedTask<TypeParam>(Instant{501})));
  EXPECT_FALSE(state.hasRead(finishedTask<TypeParam>(Instant{500}, false)));
  state.markRead(finishedTask<TypeParam>(Instant{100}), Instant{150});
  EXPECT_EQ(state.readAt.at(keyOf<TypeParam>()), Instant{150});
}

TYPED_TEST(ReadStateFile, MarkSaveLoadStaysRead) {
  TempDir home;
  mode_t previous = ::umask(0);
  // A transcript time with milliseconds: written as the next whole second.
  Instant updatedAt = *Instant::parseISO8601("2025-10-01T12:00:00.500Z");
  TypeParam state;
  state.markRead(finishedTask<TypeParam>(updatedAt), updatedAt - 5);
  fs::path url = home / "new/dir/read-state.json";
  state.save(url);
  ::umask(previous);
  EXPECT_EQ(testing::readFile(url), R"({"readAt":{")" + keyOf<TypeParam>() +
                                        R"(":"2025-10-01T12:00:01Z"}})");
  EXPECT_EQ(testing::modeOf(home / "new"), 0700u);
  EXPECT_EQ(testing::modeOf(home / "new/dir"), 0700u);
  EXPECT_EQ(testing::modeOf(url), 0600u);
  TypeParam loaded = TypeParam::load(url);
  EXPECT_TRUE(loaded.hasRead(finishedTask<TypeParam>(updatedAt)));
  EXPECT_FALSE(loaded.hasRead(finishedTask<TypeParam>(updatedAt + 0.6)));
}

// No instant can make the saved file unreadable (which would lose every
// mark in it): times the text cannot carry are written as the nearest it can.
TYPED_TEST(ReadStateFile, FarInstantsNeverBreakTheFile) {
  TempDir home;
  fs::path url = home / "read-state.json";
  for (double far : {4e11, -4e11, 1e300, -1e300}) {
    TypeParam state;
    state.markRead(finishedTask<TypeParam>(Instant{far}), Instant{far});
    state.readAt["kept"] = Instant{0};
    state.save(url);
    TypeParam loaded = TypeParam::load(url);
    EXPECT_EQ(loaded.readAt.size(), 2u) << far;
    EXPECT_EQ(loaded.readAt["kept"], Instant{0});
    EXPECT_EQ(loaded.readAt[keyOf<TypeParam>()].iso8601(), far > 0 ? "9999-12-31T23:59:59Z" : "0000-01-01T00:00:00Z");
  }
}

TYPED_TEST(ReadStateFile, LoadRefusesWhatIsNotOurFile) {
  TempDir home;
  fs::path url = home / "Lantrel/state.json";
  EXPECT_TRUE(TypeParam::load(url).readAt.empty());
  EXPECT_FALSE(fs::exists(home / "Lantrel"));  // a load writes nothing

  fs::create_directories(url);
  EXPECT_EQ(errorOf([&] { TypeParam::load(url); }), "invalidRecord");
  fs::remove(url);
  testing::writeFile(home / "real.json", R"({"readAt":{}})");
  fs::create_symlink(home / "real.json", url);
  EXPECT_EQ(errorOf([&] { TypeParam::load(url); }), "invalidRecord");
  fs::remove(url);

  std::string padded = R"({"readAt":{}})";
  padded.append(1'000'000 - padded.size(), ' ');
  testing::writeFile(url, padded);
  EXPECT_TRUE(TypeParam::load(url).readAt.empty());
  testing::writeFile(url, padded + " ");
  EXPECT_EQ(errorOf([&] { TypeParam::load(url); }), "invalidRecord");
}

TYPED_TEST(ReadStateFile, DecodingErrorsAreReadable) {
  auto error = [](std::string_view bytes) { return errorOf([&] { TypeParam::decode(bytes); }); };
  EXPECT_NE(error("{}").find("\"readAt\" is missing"), std::string::npos);
  EXPECT_NE(error(R"({"readAt":{"a":5}})").find("\"a\" is not a string"), std::string::npos);
  EXPECT_NE(error(R"({"readAt":{"a":"2025-10-01T12:34:56.5Z"}})").find("ISO 8601"),
            std::string::npos);
  EXPECT_NE(error("{\"readAt\":").find("valid JSON"), std::string::npos);
}

}  // namespace
}  // namespace lantrel
