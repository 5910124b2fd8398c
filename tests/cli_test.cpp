// Black-box tests of lantrel-status: a temporary HOME, exact output bytes,
// exit codes, files and modes.
#include <gtest/gtest.h>

#include "lantrel/task_status.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

namespace fs = std::filesystem;
using testing::RunResult;
using testing::TempDir;

const std::string usage =
    "lantrel-status set ID working|waiting|done|failed|unknown NAME [--directory PATH]\n"
    "lantrel-status remove ID [--directory PATH]\n"
    "lantrel-status list [--directory PATH]\n"
    "lantrel-status codex\n"
    "lantrel-status claude-hook\n"
    "\n"
    "IDs use letters, digits, hyphens and underscores. Quote multi-word names.\n"
    "Working/waiting signals expire to unknown after 5 minutes; repeat set as a heartbeat.\n"
    "Files stay local. No Codex settings or shell profiles are changed. Claude hooks write "
    "status metadata only.";

class CLI : public ::testing::Test {
 protected:
  TempDir home;
  fs::path tasks() const { return home / "Library/Application Support/Lantrel/tasks"; }
  RunResult tool(const std::vector<std::string>& args) {
    return testing::run(LANTREL_STATUS_BINARY, args, {{"HOME", home.path().string()}}, {},
                        home.path());
  }
  void expectError(const std::vector<std::string>& args, const std::string& text) {
    RunResult r = tool(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Lantrel status: " + text + "\n" + usage + "\n");
  }
};

TEST_F(CLI, HelpAndRefusedCommandLines) {
  RunResult help = tool({"--help", "extra", "words"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, usage + "\n");
  EXPECT_EQ(tool({"-h"}).out, usage + "\n");
  expectError({}, "invalidRecord");
  expectError({"help"}, "invalidRecord");
  expectError({"set", "a", "working"}, "invalidRecord");
  expectError({"set", "a", "Working", "n"}, "invalidRecord");
  expectError({"set", "a", "done", " \t\n"}, "invalidRecord");
  expectError({"list", "--directory"}, "invalidRecord");
  expectError({"list", "--directory", "x", "--directory", "y"}, "invalidRecord");
  expectError({"remove"}, "invalidRecord");
  expectError({"set", "a b", "done", "n"}, "invalidID");
  expectError({"remove", "../x"}, "invalidID");
  expectError({"set", "\xFF", "done", "n"}, "invalidID");
  EXPECT_FALSE(fs::exists(home / "Library"));  // no refusal wrote anything
}

TEST_F(CLI, SetWritesTheTaskAndConfirms) {
  RunResult r = tool({"set", "build-1", "working", "  Nightly build "});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "Working:   Nightly build \n");
  fs::path file = tasks() / "build-1.json";
  EXPECT_EQ(testing::modeOf(file), 0600u);
  EXPECT_EQ(testing::modeOf(home / "Library"), 0700u);
  TaskStatus stored = TaskStatus::decode(testing::readFile(file));
  EXPECT_EQ(stored.name, "  Nightly build ");
  EXPECT_EQ(stored.source, "Local status");
  EXPECT_NEAR(stored.updatedAt.seconds, Instant::now().seconds, 30);

  EXPECT_EQ(tool({"set", "build-1", "unread", "n"}).out, "Finished · unread: n\n");
  EXPECT_EQ(tool({"set", "build-1", "done", "n"}).out, "Finished · read: n\n");
  // Invalid UTF-8 in the name is repaired, in the file and on the screen.
  EXPECT_EQ(tool({"set", "build-1", "failed", "bad\xFFname"}).out, "Failed: bad\uFFFDname\n");
  EXPECT_EQ(TaskStatus::decode(testing::readFile(file)).name, "bad\uFFFDname");
}

TEST_F(CLI, DirectoryOptionAnywhere) {
  EXPECT_EQ(tool({"--directory", "one", "set", "a", "done", "n"}).status, 0);
  EXPECT_EQ(tool({"set", "b", "done", "n", "--directory", "two"}).status, 0);
  EXPECT_TRUE(fs::exists(home / "one/a.json"));
  EXPECT_TRUE(fs::exists(home / "two/b.json"));
  EXPECT_FALSE(fs::exists(tasks()));
}

TEST_F(CLI, ListPrintsSortedPrettyJSON) {
  RunResult empty = tool({"list"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "[]\n");
  testing::writeFile(tasks() / "a.json",
                     R"({"id":"a","name":"x/\u0007","state":"done","updatedAt":12.5,)"
                     R"("source":"Local status","projectName":"p"})");
  RunResult r = tool({"list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "[\n  {\n"
            "    \"id\" : \"a\",\n"
            "    \"name\" : \"x\\/\\u0007\",\n"
            "    \"projectName\" : \"p\",\n"
            "    \"source\" : \"Local status\",\n"
            "    \"state\" : \"done\",\n"
            "    \"updatedAt\" : 12.5\n"
            "  }\n]\n");
  testing::writeFile(tasks() / "b.json", R"({"id":"c","name":"x","state":"done","updatedAt":1,"source":"s"})");
  expectError({"list"}, "invalidRecord");
}

TEST_F(CLI, RemoveIsSilent) {
  RunResult never = tool({"remove", "never-set"});
  EXPECT_EQ(never.status, 0);
  EXPECT_EQ(never.out + never.err, "");
  tool({"set", "a", "done", "n"});
  EXPECT_EQ(tool({"remove", "a"}).out, "");
  EXPECT_FALSE(fs::exists(tasks() / "a.json"));
}

TEST_F(CLI, FileSystemErrorsEndWithTheirDescription) {
  testing::writeFile(home / "blocked", "a file where the directory belongs");
  RunResult r = tool({"set", "a", "done", "n", "--directory", "blocked"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Lantrel status: ", 0), 0u);
  EXPECT_NE(r.err.find("blocked"), std::string::npos);
  EXPECT_NE(r.err.find("\n" + usage + "\n"), std::string::npos);
}

}  // namespace
}  // namespace lantrel
