// The Codex desktop app's unread set and project names.
#include <gtest/gtest.h>

#include "lantrel/codex_read_state.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;

std::string withUnread(std::string identities, std::string version = "1") {
  return R"({"electron-thread-read-state-v1":{"version":)" + version + R"(,"unreadByIdentity":)" + identities + "}}";
}
// What each reader makes of the bytes: the unread set ("{x;y;", "-" when
// unusable) and the project names ("thread=name;"), or the DecodingError's text.
std::pair<std::string, std::string> readings(std::string_view bytes) {
  std::string unread = "-", projects;
  std::string error = testing::errorOf([&] {
    if (auto set = CodexReadState::decode(bytes).unread) for (unread = "{"; const auto& thread : *set) unread += thread + ";";
  });
  std::string projectsError = testing::errorOf([&] {
    for (const auto& [thread, name] : CodexProjects::decode(bytes)) projects += thread + "=" + name + ";";
  });
  auto either = [](std::string error, std::string value) { return error == "no error" ? value : error.substr(15); };
  return {either(error, unread), either(projectsError, projects)};
}

TEST(CodexGlobalState, Readings) {
  const std::pair<std::string, std::pair<std::string, std::string>> cases[] = {
      {withUnread(R"({"me":{"local:a":["x","x","y"],"remote:b":["z"]}})"), {"{x;y;", ""}},
      // Only one identity with one local key, at version 1, is understood.
      {withUnread(R"({"me":{"local:a":["x"]}})", "2"), {"-", ""}}, {withUnread(R"({"me":{"local:a":["x"]},"you":{}})"), {"-", ""}},
      {withUnread(R"({"me":{"local:a":["x"],"local:b":[]}})"), {"-", ""}},
      {R"({"electron-thread-read-state-v1":{"unreadByIdentity":{}}})", {"The read state's \"version\" is missing.", ""}},
      {withUnread(R"({"me":{"local:a":[1]}})"), {"The unread threads's \"local:a\" holds a thread that is not a string.", ""}},
      // Unusable anyway, but malformed.
      {withUnread(R"({"me":{"remote:a":[null]}})", "2"), {"The unread threads's \"remote:a\" holds a thread that is not a string.", ""}},
      {R"({"thread-project-assignments":7})", {"-", "The project assignments is not a JSON object."}},
      {R"({"electron-thread-read-state-v1":7})", {"The read state is not a JSON object.", ""}},
      {R"({"thread-project-assignments": {"a": {"projectKind": "local", "projectId": "p1", "extra": 1},
          "b": {"projectKind": "local", "projectId": "blank"}, "c": {"projectKind": "remote", "projectId": "p1"},
          "d": {"projectKind": "local", "projectId": "missing"}, "e": {"projectKind": "local", "projectId": "long"}},
          "local-projects": {"p1": {"name": "\n  Lantrel \t"}, "blank": {"name": "   "}, "long": {"name": ")" +
           std::string(200, 'n') + R"("}}})", {"-", "a=Lantrel;e=" + std::string(160, 'n') + ";"}},
      // One assignment without a project ID fails the whole decode.
      {R"({"thread-project-assignments":{"a":{"projectKind":"local","projectId":"p"},"b":{"projectKind":"local"}},)"
       R"("local-projects":{"p":{"name":"P"}}})", {"-", "The project assignment's \"projectId\" is missing."}},
      {R"({"local-projects":{"p":{"name":3}}})", {"-", "The local project's \"name\" is not a string."}}};
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(readings(cases[i].first), cases[i].second) << i;

  // Only a Codex task whose thread a known unread set leaves out is read; the
  // set is compared exactly as written.
  std::string thread = "3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6", upper = "3F1C9A2E-1B2C-4D5E-8F90-A1B2C3D4E5F6";
  CodexReadState none, empty = CodexReadState::decode(withUnread(R"({"me":{"local:a":[]}})"));
  CodexReadState some = CodexReadState::decode(withUnread(R"({"me":{"local:a":[")" + thread + "\"]}}"));
  for (auto [state, id, source, read] : {std::tuple{&none, thread, codexSource, false}, {&empty, thread, codexSource, true},
                                         {&empty, thread, "Codex", false}, {&some, thread, codexSource, false}, {&some, upper, codexSource, true}})
    EXPECT_EQ(state->hasRead(TaskStatus("codex-" + id, "t", LightState::done, {}, std::string(source))), read) << id << source;
}

TEST(CodexGlobalState, LoadChecksTheSizeFirstAndEachPartFallsBackOnItsOwn) {
  testing::TempDir home;
  fs::path file = CodexReadState::fileLocation(home.path());
  EXPECT_THROW(CodexReadState::load(home.path()), fs::filesystem_error);
  EXPECT_THROW(CodexProjects::load(home.path()), fs::filesystem_error);
  EXPECT_EQ(CodexGlobalState::load(home.path()).readState, CodexReadState());

  std::string state = R"(,"thread-project-assignments":{"t":{"projectKind":"local","projectId":"p"}},)"
                      R"("local-projects":{"p":{"name":"P"}},)" + withUnread(R"({"me":{"local:a":["t"]}})").substr(1);
  testing::writeFile(file, R"({"pad":")" + std::string(CodexReadState::maximumFileBytes - 9 - state.size(), 'x') + "\"" + state);
  EXPECT_EQ(CodexReadState::load(home.path()).unread, std::set<std::string>{"t"});
  EXPECT_EQ(CodexProjects::load(home.path()).size(), 1u);
  fs::resize_file(file, 16'000'001);  // one byte more: not read, and no error, although not JSON
  EXPECT_FALSE(CodexReadState::load(home.path()).unread);
  EXPECT_TRUE(CodexProjects::load(home.path()).empty());
  fs::remove(file);
  fs::create_directory(file);
  EXPECT_FALSE(CodexReadState::load(home.path()).unread);
  fs::remove(file);

  // One parse serves both readings, and each falls back on its own.
  testing::writeFile(file, R"({"thread-project-assignments":{"t":{"projectKind":"local"}},)" + withUnread(R"({"me":{"local:a":["x"]}})").substr(1));
  CodexGlobalState both = CodexGlobalState::load(home.path());
  EXPECT_EQ(both.readState.unread, std::set<std::string>{"x"});
  EXPECT_TRUE(both.projects.empty());  // the assignment lacks its projectId
  testing::writeFile(file, "{broken");
  EXPECT_FALSE(CodexGlobalState::load(home.path()).readState.unread);
}

}  // namespace
}  // namespace lantrel
