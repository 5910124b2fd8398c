// The Codex desktop app's unread set and project names.
#include <gtest/gtest.h>

#include "lantrel/codex_read_state.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

constexpr char thread[] = "3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6";

TaskStatus codexTask(std::string suffix, std::string source = std::string(codexSource)) {
  return TaskStatus("codex-" + suffix, "t", LightState::done, Instant{0}, std::move(source));
}

std::string withUnread(std::string identities, std::string version = "1") {
  return R"({"electron-thread-read-state-v1":{"version":)" + version +
         R"(,"unreadByIdentity":)" + identities + "}}";
}

std::string decodeError(std::string_view bytes, bool projects = false) {
  return testing::errorOf([&] {
    if (projects) CodexProjects::decode(bytes);
    else CodexReadState::decode(bytes);
  });
}

TEST(CodexReadState, UnreadSetAndReadCheck) {
  auto unread = [](std::string json) { return CodexReadState::decode(json).unread; };
  EXPECT_EQ(unread(withUnread(R"({"me":{"local:a":["x","x","y"],"remote:b":["z"]}})")),
            (std::set<std::string>{"x", "y"}));
  EXPECT_FALSE(unread(withUnread(R"({"me":{"local:a":["x"]}})", "2")));
  EXPECT_FALSE(unread(withUnread(R"({"me":{"local:a":["x"]},"you":{}})")));
  EXPECT_FALSE(unread(withUnread(R"({"me":{"local:a":["x"],"local:b":[]}})")));

  EXPECT_FALSE(CodexReadState().hasRead(codexTask(thread)));
  CodexReadState empty = CodexReadState::decode(withUnread(R"({"me":{"local:a":[]}})"));
  EXPECT_TRUE(empty.hasRead(codexTask(thread)));
  EXPECT_FALSE(empty.hasRead(codexTask(thread, "Codex")));
  // The set is compared exactly as written: a capitalised ID is not in it.
  CodexReadState some =
      CodexReadState::decode(withUnread(std::string(R"({"me":{"local:a":[")") + thread + "\"]}}"));
  EXPECT_FALSE(some.hasRead(codexTask(thread)));
  EXPECT_TRUE(some.hasRead(codexTask("3F1C9A2E-1B2C-4D5E-8F90-A1B2C3D4E5F6")));
}

TEST(CodexReadState, DecodingIsStrict) {
  EXPECT_NE(decodeError(R"({"electron-thread-read-state-v1":{"unreadByIdentity":{}}})")
                .find("\"version\" is missing"),
            std::string::npos);
  EXPECT_TRUE(decodeError(withUnread(R"({"me":{"local:a":[1]}})")).starts_with("DecodingError"));
  // The state is unusable anyway, but a malformed entry still fails it.
  EXPECT_TRUE(decodeError(withUnread(R"({"me":{"remote:a":[null]}})", "2"))
                  .starts_with("DecodingError"));
  // Members of the other reader do not matter.
  EXPECT_EQ(decodeError(R"({"thread-project-assignments":7})"), "no error");
  EXPECT_EQ(decodeError(R"({"electron-thread-read-state-v1":7})", true), "no error");
}

TEST(CodexProjects, NamesOfLocalProjects) {
  std::string long200(200, 'n');
  auto names = CodexProjects::decode(R"({
    "thread-project-assignments": {
      "a": {"projectKind": "local", "projectId": "p1", "extra": 1},
      "b": {"projectKind": "local", "projectId": "blank"},
      "c": {"projectKind": "remote", "projectId": "p1"},
      "d": {"projectKind": "local", "projectId": "missing"},
      "e": {"projectKind": "local", "projectId": "long"}},
    "local-projects": {
      "p1": {"name": "\n  Lantrel \t"}, "blank": {"name": "   "},
      "long": {"name": ")" + long200 + R"("}}})");
  EXPECT_EQ(names, (std::map<std::string, std::string>{{"a", "Lantrel"},
                                                       {"e", std::string(160, 'n')}}));

  // One assignment without a project ID fails the whole decode.
  EXPECT_NE(decodeError(R"({"thread-project-assignments":{"a":{"projectKind":"local",
      "projectId":"p"},"b":{"projectKind":"local"}},"local-projects":{"p":{"name":"P"}}})", true)
                .find("projectId"),
            std::string::npos);
  EXPECT_TRUE(decodeError(R"({"local-projects":{"p":{"name":3}}})", true)
                  .starts_with("DecodingError"));
}

TEST(CodexGlobalState, LoadChecksTheSizeFirst) {
  TempDir home;
  EXPECT_THROW(CodexReadState::load(home.path()), fs::filesystem_error);
  EXPECT_THROW(CodexProjects::load(home.path()), fs::filesystem_error);

  std::string content = withUnread(R"({"me":{"local:a":["t"]}})");
  content.pop_back();
  content += R"(,"thread-project-assignments":{"t":{"projectKind":"local","projectId":"p"}},)"
             R"("local-projects":{"p":{"name":"P"}},"pad":")";
  content.append(CodexReadState::maximumFileBytes - content.size() - 2, 'x');
  content += "\"}";
  ASSERT_EQ(content.size(), 16'000'000u);
  fs::path file = CodexReadState::fileLocation(home.path());
  testing::writeFile(file, content);
  EXPECT_EQ(CodexReadState::load(home.path()).unread, std::set<std::string>{"t"});
  EXPECT_EQ(CodexProjects::load(home.path()).size(), 1u);

  // One byte more: not read, and no error, although zeros are not JSON.
  fs::remove(file);
  testing::writeFile(file, "");
  fs::resize_file(file, 16'000'001);
  EXPECT_FALSE(CodexReadState::load(home.path()).unread);
  EXPECT_TRUE(CodexProjects::load(home.path()).empty());

  fs::remove(file);
  fs::create_directory(file);
  EXPECT_FALSE(CodexReadState::load(home.path()).unread);
}

// One parse serves both readings, and each falls back on its own as its
// own load would.
TEST(CodexGlobalState, EachPartFallsBackOnItsOwn) {
  TempDir home;
  EXPECT_EQ(CodexGlobalState::load(home.path()).readState, CodexReadState());
  std::string state = withUnread(R"({"me":{"local:a":["x"]}})");
  state.pop_back();
  testing::writeFile(CodexReadState::fileLocation(home.path()),
                     state + R"(,"thread-project-assignments":{"t":{"projectKind":"local"}}})");
  CodexGlobalState both = CodexGlobalState::load(home.path());
  EXPECT_EQ(both.readState, CodexReadState::load(home.path()));
  EXPECT_EQ(both.readState.unread, (std::set<std::string>{"x"}));
  EXPECT_TRUE(both.projects.empty());  // the assignment lacks its projectId
  testing::writeFile(CodexReadState::fileLocation(home.path()), "{broken");
  EXPECT_FALSE(CodexGlobalState::load(home.path()).readState.unread);
}

}  // namespace
}  // namespace lantrel
