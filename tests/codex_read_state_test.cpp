// The Codex desktop app's unread set and project names.
#include <gtest/gtest.h>

#include <numeric>

#include "lantrel/codex_read_state.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using std::string;

string withUnread(string keys, string version = "1") {
  return R"({"electron-thread-read-state-v1":{"version":)" + version +
         R"(,"unreadByIdentity":{"me":)" + keys + "}}}";
}
string assign(string kind, string project, string name = "\\n Lantrel \\t") {
  return R"({"thread-project-assignments":{"a":{"projectKind":")" + kind + R"(","projectId":")" +
         project + R"("}},"local-projects":{"p":{"name":")" + name + R"("}}})";
}
// The unread set ("-" when unusable), then " <thread><name>" per project, or " error".
string readings(const string& bytes) {
  string out = "-";
  try {
    auto set = CodexReadState::decode(bytes).unread;
    if (set) out = std::accumulate(set->begin(), set->end(), string());
    for (const auto& [thread, name] : CodexProjects::decode(bytes)) out += " " + thread + name;
  } catch (const DecodingError&) { out += " error"; }
  return out;
}

TEST(CodexGlobalState, ReadingsAndTheSizeLimit) {
  const std::pair<string, string> cases[] = {
      {withUnread(R"({"local:a":["x","x","y"],"remote:b":["z"]})"), "xy"},
      // Only one local key at version 1 is understood.
      {withUnread(R"({"local:a":["x"]})", "2"), "-"}, {withUnread(R"({"local:a":[1]})"), "- error"},
      {withUnread(R"({"local:a":[],"local:b":[]})"), "-"}, {assign("local", "p"), "- aLantrel"},
      {assign("remote", "p"), "-"}, {assign("local", "q"), "-"},
      {assign("local", "p", string(200, 'n')), "- a" + string(160, 'n')},
      {R"({"thread-project-assignments":{"a":{}}})", "- error"}};
  for (const auto& [bytes, want] : cases) EXPECT_EQ(readings(bytes), want) << bytes;
  // A Codex task is read when a known unread set leaves its thread out, compared exactly.
  CodexReadState none, some = CodexReadState::decode(withUnread(R"({"local:a":["x"]})"));
  auto read = [](string id) { return TaskStatus("codex-" + id, "t", {}, {}, string(codexSource)); };
  EXPECT_TRUE(some.hasRead(read("X")) && !some.hasRead(read("x")) && !none.hasRead(read("X")));

  testing::TempDir home;
  std::filesystem::path file = CodexReadState::fileLocation(home.path());
  string state = withUnread(R"({"local:a":["t"]})") + assign("local", "p");
  state.replace(state.find("}{"), 2, ",\"pad\":\"\",");
  state.insert(state.find("\"\",") + 1, CodexReadState::maximumFileBytes - state.size(), 'x');
  testing::writeFile(file, state);
  EXPECT_EQ(CodexReadState::load(home.path()).unread, std::set<string>{"t"});
  // Names for the Codex tasks given only, and given to them.
  std::vector<TaskStatus> tasks = {read("b"), TaskStatus("codex-a", "t", {}, {}, "Mine")};
  EXPECT_TRUE(CodexGlobalState::load(home.path(), tasks).projects.empty());
  tasks.push_back(read("a"));
  EXPECT_EQ(CodexGlobalState::load(home.path(), tasks).projects.size(), 1u);
  EXPECT_EQ(tasks[0].projectName.value_or("-") + tasks[1].projectName.value_or("-") +
                tasks[2].projectName.value_or(""), "--Lantrel");
  std::filesystem::resize_file(file, CodexReadState::maximumFileBytes + 1);  // not read, no error
  EXPECT_FALSE(CodexGlobalState::load(home.path()).readState.unread);
  EXPECT_TRUE(CodexProjects::load(home.path()).empty());
}

}  // namespace
}  // namespace lantrel
