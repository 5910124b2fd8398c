// The plumbing every area stands on: bounded reads, atomic replacement,
// instants, text rules, UUIDs and the JSON writer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "lantrel/errors.hpp"
#include "support/files.hpp"
#include "support/json.hpp"
#include "support/json_writer.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(Files, TailLinesDropsPartialLinesAtBothEnds) {
  TempDir dir;
  auto file = dir / "log";
  files::ReadBuffer buffer;
  auto tail = [&](std::uint64_t limit, bool keepUnbroken = false) {
    return std::string(files::readTailLines(file, limit, keepUnbroken, buffer));
  };
  writeFile(file, "first line\nsecond\nthird\npartial");
  EXPECT_EQ(tail(100), "first line\nsecond\nthird\n");
  EXPECT_EQ(tail(20), "third\n");  // reading starts inside "first line"
  EXPECT_EQ(tail(7), "");          // no line feed left after the cut
  writeFile(file, "no line feed at all");
  EXPECT_EQ(tail(100), "");
  EXPECT_EQ(tail(100, true), "no line feed at all");
  EXPECT_EQ(tail(4, true), " all");
  writeFile(file, "abc\ndef\n");
  EXPECT_EQ(tail(8), "abc\ndef\n");
  EXPECT_EQ(tail(5), "def\n");
  writeFile(file, "partial\nrest");
  EXPECT_EQ(tail(9, true), "rest");  // a remainder without line feed is kept
  EXPECT_EQ(tail(9), "");
  EXPECT_EQ(files::headLines("a\nb\nc"), "a\nb\n");
  EXPECT_EQ(files::headLines("abc"), "");
}

TEST(Files, BoundedReadsReadEachByteOnce) {
  TempDir dir;
  files::ReadBuffer buffer;
  writeFile(dir / "f", "0123456789");
  // Ends that meet come from one read of the whole file; apart, from two.
  for (auto [head, tail, expectHead, expectTail] :
       {std::tuple{4, 6, "0123", "456789"}, {2, 3, "01", "789"}, {20, 20, "0123456789", "0123456789"},
        {0, 3, "", "789"}, {3, 0, "012", ""}}) {
    files::FileEnds ends = files::readEnds(dir / "f", head, tail, buffer);
    EXPECT_EQ(ends.head, expectHead) << head << " " << tail;
    EXPECT_EQ(ends.tail, expectTail) << head << " " << tail;
    EXPECT_EQ(ends.size, 10u);
  }
  EXPECT_EQ(files::readWholeIfAtMost(dir / "f", 10, buffer), "0123456789");
  EXPECT_EQ(files::readWholeIfAtMost(dir / "f", 9, buffer), std::nullopt);
  EXPECT_EQ(files::readWholeIfAtMost(dir.path(), 9, buffer), std::nullopt);  // not a file
  EXPECT_EQ(buffer.copy("abc"), "abc");
  EXPECT_FALSE(files::resourceValuesIfExists(dir / "none").has_value());
  EXPECT_FALSE(files::resourceValuesIfExists(dir / "f/below").has_value());
  auto values = files::resourceValues(dir / "f");
  EXPECT_TRUE(values.isRegularFile);
  EXPECT_EQ(values.size, 10u);
}

TEST(Files, OwnFilesAreReadStrictly) {
  TempDir dir;
  files::ReadBuffer buffer;
  auto refusal = [&](const char* name, std::uint64_t limit) {
    return testing::errorOf([&] { files::readOwnFile(dir / name, limit, buffer); });
  };
  writeFile(dir / "ok.json", std::string(16, 'x'));
  EXPECT_EQ(files::readOwnFile(dir / "ok.json", 16, buffer).size(), 16u);
  EXPECT_EQ(refusal("ok.json", 15), "invalidRecord");
  std::filesystem::create_symlink(dir / "ok.json", dir / "link.json");
  EXPECT_EQ(refusal("link.json", 100), "invalidRecord");
  std::filesystem::create_directory(dir / "dir.json");
  EXPECT_EQ(refusal("dir.json", 100), "invalidRecord");
  ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  EXPECT_EQ(refusal("fifo.json", 100), "invalidRecord");  // and no hang
  EXPECT_NE(refusal("missing.json", 100).find("cannot open file"), std::string::npos);
}

// The walk visits a directory's own entries before its subdirectories',
// never through a link, and passes over hidden names when asked.
TEST(Files, WalkVisitsEntriesInOrder) {
  TempDir dir;
  writeFile(dir / "a/x", "");
  writeFile(dir / "a/b/y", "");
  writeFile(dir / "a/.hidden/z", "");
  writeFile(dir / "a/.w", "");
  std::filesystem::create_directory_symlink(dir / "a/b", dir / "a/link");
  auto walked = [&](files::WalkOptions options, std::size_t stopAfter = 100) {
    std::vector<std::string> names;
    bool exists = files::walk(dir / "a", options, [&](const files::DirectoryEntry& e) {
      names.push_back(std::string(e.path.substr(dir.path().string().size() + 3)) +
                      (e.kind == files::DirectoryEntry::directory ? "/" : ""));
      return names.size() < stopAfter;
    });
    std::sort(names.begin(), names.end());  // the file system's order is its own
    return exists ? names : std::vector<std::string>{"missing"};
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(walked({}), (Names{".hidden/", ".w", "b/", "link", "x"}));
  EXPECT_EQ(walked({.recursive = true, .skipHidden = true}), (Names{"b/", "b/y", "link", "x"}));
  EXPECT_EQ(walked({.recursive = true}).size(), 7u);
  EXPECT_EQ(walked({}, 2).size(), 2u);
  EXPECT_EQ(files::walk(dir / "none", {}, [](auto&) { return true; }), false);
  EXPECT_THROW(files::walk(dir / "a/x", {}, [](auto&) { return true; }),
               std::filesystem::filesystem_error);
  EXPECT_TRUE(files::hasExtension("t.jsonl", "jsonl"));
  EXPECT_FALSE(files::hasExtension(".json", "json"));
  EXPECT_FALSE(files::hasExtension("t.JSON", "json"));
}

TEST(Files, AtomicReplacementAndDirectoryModes) {
  TempDir dir;
  ::umask(0);
  auto target = dir / "a/b/c/task.json";
  files::createDirectories(target.parent_path());
  EXPECT_EQ(testing::modeOf(dir / "a"), 0700u);
  EXPECT_EQ(testing::modeOf(dir / "a/b/c"), 0700u);
  files::replaceAtomically(target, "one");
  files::replaceAtomically(target, "two", 0640);
  ::umask(022);
  EXPECT_EQ(testing::readFile(target), "two");
  EXPECT_EQ(testing::modeOf(target), 0640u);
  // Only the target is left: no temporary file survives.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(target.parent_path()), {}), 1);
  // An existing directory keeps its mode.
  std::filesystem::create_directory(dir / "open");
  std::filesystem::permissions(dir / "open", std::filesystem::perms(0755));
  files::createDirectories(dir / "open/inner");
  EXPECT_EQ(testing::modeOf(dir / "open"), 0755u);
  // A file in the way is a file-system error.
  writeFile(dir / "plain", "x");
  EXPECT_THROW(files::createDirectories(dir / "plain/sub"), std::filesystem::filesystem_error);
}

TEST(Instant, ParsesAndFormatsISO8601) {
  auto whole = Instant::parseISO8601("2001-01-01T00:00:00Z");
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->seconds, 0);
  auto fraction = Instant::parseISO8601("2025-10-01T12:34:56.789Z");
  ASSERT_TRUE(fraction);
  EXPECT_NEAR(fraction->unixSeconds(), 1759322096.789, 1e-6);
  EXPECT_EQ(fraction->iso8601(), "2025-10-01T12:34:56Z");
  EXPECT_EQ(fraction->iso8601(true), "2025-10-01T12:34:57Z");
  EXPECT_EQ(Instant::parseISO8601("2025-10-01T12:34:56Z")->iso8601(true), "2025-10-01T12:34:56Z");
  auto offset = Instant::parseISO8601("2025-10-01T14:34:56+02:00");
  ASSERT_TRUE(offset);
  EXPECT_EQ(offset->iso8601(), "2025-10-01T12:34:56Z");
  EXPECT_EQ(Instant::parseISO8601("2024-02-29T23:59:59Z")->iso8601(), "2024-02-29T23:59:59Z");

  // The two forms are strict about the fraction.
  EXPECT_FALSE(Instant::parseISO8601("2025-10-01T12:34:56Z", true));
  EXPECT_FALSE(Instant::parseISO8601("2025-10-01T12:34:56.5Z", false));
  for (const char* bad : {"2025-10-01 12:34:56Z", "2025-10-01T12:34:56", "2023-02-29T00:00:00Z",
                          "2025-13-01T00:00:00Z", "2025-10-01T24:00:00Z", "2025-10-01T12:34:56.Z",
                          "2025-10-01T12:34:56Zjunk", "", "2025-1-01T00:00:00Z"})
    EXPECT_FALSE(Instant::parseISO8601(bad)) << bad;
}

TEST(Text, RepairsInvalidUTF8) {
  EXPECT_EQ(text::repairUTF8("ok ✓"), "ok ✓");
  EXPECT_EQ(text::repairUTF8("a\xFF" "b"), "a\uFFFD" "b");
  // A truncated sequence is one maximal subpart: one replacement.
  EXPECT_EQ(text::repairUTF8("\xE2\x9C"), "\uFFFD");
  // Surrogates and overlong forms are refused byte by byte.
  EXPECT_EQ(text::repairUTF8("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(text::repairUTF8("\xC0\xAF"), "\uFFFD\uFFFD");
  EXPECT_TRUE(text::isValidUTF8(text::repairUTF8("\xF4\x90\x80\x80 \xF0\x9F")));
}

TEST(Text, CountsAndCutsUserPerceivedCharacters) {
  std::string family = "👨‍👩‍👧‍👦";  // one character of many scalars
  // Text of n characters is at most n characters long, not n - 1.
  for (auto [text, count] : {std::pair<std::string, std::size_t>{"abc", 3}, {"a\r\nb", 3},
                             {family + "x" + "e\u0301", 3}}) {
    EXPECT_TRUE(text::atMostCharacters(text, count)) << text;
    EXPECT_FALSE(text::atMostCharacters(text, count - 1)) << text;
  }
  EXPECT_EQ(text::characterPrefix(family + family + "z", 2), family + family);
  EXPECT_EQ(text::characterPrefix("e\u0301e\u0301", 1), "e\u0301");
  EXPECT_EQ(text::characterPrefix("a\r\nb", 2), "a\r\n");
  EXPECT_EQ(text::characterPrefix("short", 160), "short");
  EXPECT_EQ(text::characterPrefix("x", 0), "");

  // Clusters that take the grapheme rules beyond combining marks.
  struct Case {
    const char* text;
    std::size_t count;
    const char* firstTwo;
  };
  for (Case c : {Case{"🇫🇷🇩🇪🇮", 3, "🇫🇷🇩🇪"},  // regional indicators pair up
                 Case{"\u1100\u1161\u11A8한국", 3, "\u1100\u1161\u11A8한"},  // jamo, syllables
                 Case{"👍🏽e\u0301\r\n", 3, "👍🏽e\u0301"}}) {  // emoji modifier, CR LF
    EXPECT_TRUE(text::atMostCharacters(c.text, c.count) && !text::atMostCharacters(c.text, c.count - 1))
        << c.text;
    EXPECT_EQ(text::characterPrefix(c.text, 2), c.firstTwo) << c.text;
  }
}

TEST(Text, WhitespaceAndCase) {
  EXPECT_EQ(text::trimmed(" \t\n name \u00A0\u2028"), "name");
  EXPECT_EQ(text::trimmed(" \u3000 "), "");
  EXPECT_EQ(text::collapsedWhitespace("  fix   the\nbuild  "), "fix the build");
  EXPECT_EQ(text::collapsedWhitespace("a\u2003b\u0085c"), "a b c");
  EXPECT_EQ(text::lowercased("ABC-Def"), "abc-def");
  EXPECT_EQ(text::lowercased("ÄÖÜ İ"), "äöü i̇");
  // Greek capital sigma lower-cases to the final form at the end of a word.
  EXPECT_EQ(text::lowercased("ÀÉÎ ΟΔΟΣ ΣΑ"), "àéî οδος σα");
}

TEST(UUID, AcceptsTheHyphenatedFormInEitherCase) {
  EXPECT_TRUE(isUUID("0199a3f2-1234-4abc-8def-0123456789ab"));
  EXPECT_TRUE(isUUID("0199A3F2-1234-4ABC-8DEF-0123456789AB"));
  for (const char* bad : {"0199a3f21234-4abc-8def-0123456789ab0",
                          "0199a3f2-1234-4abc-8def-0123456789ag",
                          "{0199a3f2-1234-4abc-8def-0123456789ab}", ""})
    EXPECT_FALSE(isUUID(bad)) << bad;
}

TEST(JSON, WriterFormsAndRecordErrors) {
  auto write = [](json::Style style) {  // keys given unsorted
    json::Writer w(style);
    w.beginObject();
    w.member("zeta", "a/b\x01\"\xFF");  // not UTF-8: repaired, never written as garbage
    w.key("mid");
    w.beginObject();
    w.endObject();
    w.key("alpha");
    w.beginArray();
    w.value(1.5);
    w.value(786432000.0);
    w.value(true);
    w.endArray();
    w.endObject();
    return w.take();
  };
  EXPECT_EQ(write(json::Style::pretty), R"({
  "alpha" : [
    1.5,
    786432000,
    true
  ],
  "mid" : {},
  "zeta" : "a\/b\u0001\"�"
})");
  EXPECT_EQ(write(json::Style::compact), R"({"zeta":"a/b\u0001\"�","mid":{},"alpha":[1.5,786432000,true]})");
  json::Writer w;
  EXPECT_THROW(w.value(std::nan("")), StatusError);

  json::Parser parser;
  EXPECT_EQ(testing::errorOf([&] { parser.parse("{", false, "thing"); }).rfind(
                "DecodingError: The thing isn't valid JSON", 0),
            0u);
  json::Record record(parser.parse(R"({"a":"x","n":null,"i":1.5})", false, "thing"), "thing");
  EXPECT_EQ(record.get<std::string_view>("a"), "x");
  EXPECT_EQ(record.find<std::string_view>("n"), std::nullopt);
  EXPECT_EQ(testing::errorOf([&] { record.get<std::string_view>("n"); }),
            "DecodingError: The thing's \"n\" is missing.");
  EXPECT_EQ(testing::errorOf([&] { record.get<std::int64_t>("i"); }),
            "DecodingError: The thing's \"i\" is not an integer.");
}

// Reading a few members of a large document checks the whole of it: it
// refuses exactly what a full parse refuses, and builds the same members.
TEST(JSON, MembersOfALargeDocumentAreCheckedLikeAFullParse) {
  const std::string documents[] = {
      R"({"a":{"x":[1,2.5e3,-0]},"skip":{"s":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"},"b":"v"} )",
      R"({"skip":1,"a":2,"a":3})",              // the first of a name counts
      R"({"\u0061":{"y":null},"b":[true,false]})",  // an escaped name matches
      R"(["not an object"])",
      R"({} {})", R"({"a":1}})", R"({"a":1} x)", "", "  ",
      R"({"s":"\x"})", R"({"s":"\udc00"})", R"({"s":"\ud800x"})", R"({"s":"\ud800\u0041"})",
      R"({"s":"\u12G4"})", R"({"s":"tab	here"})", "{\"s\":\"\xC3\x28\"}",
      R"({"n":01})", R"({"n":1.})", R"({"n":-})", R"({"n":1e999})", R"({"t":tru})",
      R"({"t":nul})", R"({"t":truex})", R"({"o":{"k" 1}})", R"({"o":{"k":1,}})",
      R"({"l":[1 2]})", R"({"l":[1,]})", R"({"o":[}]})", R"({"k\q":1})",
      R"({"a":"[,zr":2]})", R"({"a":[1}],"b":2})", R"({"a":1 "b":2})",
      std::string(2000, '[') + std::string(2000, ']'),
      "{\"d\":" + std::string(1023, '[') + std::string(1023, ']') + "}",  // the deepest allowed
      "{\"d\":" + std::string(1024, '[') + std::string(1024, ']') + "}",
      "{\"d\":" + std::string(3000, '[') + std::string(3000, ']') + "}",
  };
  for (const std::string& bytes : documents) {
    SCOPED_TRACE(bytes);
    json::Parser whole, members;
    std::optional<json::Element> full = whole.parse(bytes, false);
    std::string error = testing::errorOf([&] { members.members(bytes, false, {"a", "b"}, "thing"); });
    if (!full) {
      EXPECT_EQ(error.rfind("DecodingError: The thing isn't valid JSON: ", 0), 0u);
      continue;
    }
    json::Element built = members.members(bytes, false, {"a", "b"}, "thing");
    if (!full->is_object()) {
      EXPECT_EQ(simdjson::to_string(built), simdjson::to_string(*full));
      continue;
    }
    for (std::string_view key : {"a", "b"}) {
      json::Element expected, got;
      bool present = full->at_key(key).get(expected) == simdjson::SUCCESS;
      EXPECT_EQ(built.at_key(key).get(got) == simdjson::SUCCESS, present) << key;
      if (present) {
        EXPECT_EQ(simdjson::to_string(got), simdjson::to_string(expected)) << key;
      }
    }
  }
}

}  // namespace
}  // namespace lantrel
