// The plumbing every area stands on: bounded reads, atomic replacement,
// instants, text rules, UUIDs and JSON.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>

#include "support/files.hpp"
#include "support/json.hpp"
#include "support/json_writer.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"
#include "test_support.hpp"

using namespace lantrel;
using lantrel::testing::errorOf;
using lantrel::testing::TempDir;
using lantrel::testing::writeFile;
namespace fs = std::filesystem;

TEST(Files, BoundedReads) {
  TempDir dir;
  files::ReadBuffer buffer;
  // Partial lines go at both ends, unless there is no line feed and `keep` asks for them.
  using Tail = std::tuple<const char*, int, bool, const char*>;  // text, limit, keep, lines
  for (auto [text, limit, keep, lines] : std::initializer_list<Tail>{
           {"1st\n2nd\n3rd\npartial", 100, false, "1st\n2nd\n3rd\n"}, {"1st\n2nd\n3rd\npartial", 14, false, "3rd\n"},
           {"a\npartial", 7, false, ""}, {"no feed", 100, false, ""}, {"no feed", 100, true, "no feed"},
           {"no feed", 4, true, "feed"}, {"abc\ndef\n", 8, false, "abc\ndef\n"}, {"abc\ndef\n", 5, false, "def\n"},
           {"partial\nrest", 9, true, "rest"}, {"partial\nrest", 9, false, ""}}) {
    writeFile(dir / "log", text);
    EXPECT_EQ(files::readTailLines(dir / "log", limit, keep, buffer), lines) << text << limit;
  }
  EXPECT_EQ(std::string(files::headLines("a\nb\nc")) + "|" + std::string(files::headLines("abc")), "a\nb\n|");
  writeFile(dir / "f", "0123456789");
  for (auto [head, tail, expectHead, expectTail] : {std::tuple{4, 6, "0123", "456789"}, {2, 3, "01", "789"},
       {20, 20, "0123456789", "0123456789"}, {0, 3, "", "789"}, {3, 0, "012", ""}}) {
    files::FileEnds ends = files::readEnds(dir / "f", head, tail, buffer);
    EXPECT_EQ(std::tuple(ends.head, ends.tail, ends.size), std::tuple(expectHead, expectTail, 10u)) << head << tail;
  }
  EXPECT_EQ(files::readWholeIfAtMost(dir / "f", 10, buffer), "0123456789");
  EXPECT_FALSE(files::readWholeIfAtMost(dir / "f", 9, buffer) || files::readWholeIfAtMost(dir.path(), 9, buffer));
  EXPECT_EQ(buffer.copy("abc"), "abc");
  EXPECT_FALSE(files::resourceValuesIfExists(dir / "none") || files::resourceValuesIfExists(dir / "f/below"));
  EXPECT_TRUE(files::resourceValues(dir / "f").isRegularFile && files::resourceValues(dir / "f").size == 10);
  // Our own files: regular, not links, within the limit; a FIFO does not hang.
  EXPECT_EQ(files::readOwnFile(dir / "f", 10, buffer), "0123456789");
  fs::create_symlink(dir / "f", dir / "link");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (auto [name, limit] : {std::pair{"f", 9}, {"link", 10}, {"fifo", 10}, {".", 10}})
    EXPECT_EQ(errorOf([&] { files::readOwnFile(dir / name, limit, buffer); }), "invalidRecord") << name;
  EXPECT_NE(errorOf([&] { files::readOwnFile(dir / "none", 9, buffer); }).find("cannot open file"), std::string::npos);
}

TEST(Files, WalkListsEntriesBeforeSubdirectoriesAndNeverFollowsLinks) {
  TempDir dir;
  for (const char* file : {"a/x", "a/b/y", "a/.hidden/z", "a/.w"}) writeFile(dir / file, "");
  fs::create_directory_symlink(dir / "a/b", dir / "a/link");
  using Names = std::vector<std::string>;
  auto walked = [&](files::WalkOptions options, std::size_t stopAfter = 100) {
    Names names;
    files::walk(dir / "a", options, [&](const files::DirectoryEntry& e) {
      names.push_back(std::string(e.name) + (e.kind == files::DirectoryEntry::directory ? "/" : ""));
      return names.size() < stopAfter;
    });
    std::sort(names.begin(), names.end());  // the file system's order is its own
    return names;
  };
  EXPECT_EQ(walked({}), (Names{".hidden/", ".w", "b/", "link", "x"}));
  EXPECT_EQ(walked({.recursive = true}, 5), walked({}));
  EXPECT_EQ(walked({.recursive = true, .skipHidden = true}), (Names{"b/", "link", "x", "y"}));
  EXPECT_EQ(walked({.recursive = true}).size(), 7u);
  EXPECT_EQ(walked({.recursive = true}, 6).size(), 6u);  // a stop inside a subdirectory ends the walk
  EXPECT_FALSE(files::walk(dir / "none", {}, [](auto&) { return true; }));
  EXPECT_THROW(files::walk(dir / "a/x", {}, [](auto&) { return true; }), fs::filesystem_error);
  EXPECT_TRUE(files::hasExtension("t.jsonl", "jsonl"));
  EXPECT_FALSE(files::hasExtension(".json", "json") || files::hasExtension("t.JSON", "json"));
}

TEST(Files, AtomicReplacementAndDirectoryModes) {
  TempDir dir;
  ::umask(0277);  // directories get 0700 whatever the umask takes away
  auto target = dir / "a/b/task.json";
  files::createDirectories(target.parent_path());
  files::replaceAtomically(target, "one");
  files::replaceAtomically(target, "two", 0640);
  ::umask(022);
  EXPECT_EQ(lantrel::testing::modeOf(dir / "a") + lantrel::testing::modeOf(dir / "a/b"), 0700u * 2);
  EXPECT_EQ(lantrel::testing::readFile(target), "two");
  EXPECT_EQ(lantrel::testing::modeOf(target), 0640u);
  EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), {}), 1);  // no temporary is left
  fs::create_directory(dir / "open");  // 0755: an existing directory keeps its mode
  files::createDirectories(dir / "open/inner");
  EXPECT_EQ(lantrel::testing::modeOf(dir / "open"), 0755u);
  EXPECT_THROW(files::createDirectories(target / "sub"), fs::filesystem_error);
}

TEST(Instant, CalendarEdges) {
  for (auto [text, unix] : std::initializer_list<std::pair<const char*, double>>{
           {"2025-01-01T00:00:00Z", 1735689600}, {"2025-12-31T23:59:59Z", 1767225599},
           {"2024-02-29T12:00:00Z", 1709208000}, {"2023-02-28T23:59:59Z", 1677628799},
           {"2000-02-29T00:00:00Z", 951782400}, {"1900-02-28T00:00:00Z", -2203977600},
           {"2025-04-30T00:00:00Z", 1745971200}, {"2019-09-09T09:09:09Z", 1568020149},
           {"0000-01-01T00:00:00Z", -62167219200}, {"9999-12-31T23:59:59Z", 253402300799},
           {"2025-10-01T12:34:56.789Z", 1759322096.789}, {"2025-10-01T12:34:56.5-00:00", 1759322096.5},
           {"2025-01-01T01:00:00+01:00", 1735689600}, {"2024-12-31T23:00:00-01:00", 1735689600},
           {"2025-01-01T00:00:00+00:00", 1735689600}, {"2025-01-01T05:45:00+05:45", 1735689600},
           {"2025-01-01T23:59:00+23:59", 1735689600}}) {
    std::optional<Instant> parsed = Instant::parseISO8601(text);
    EXPECT_EQ(parsed, Instant::fromUnix(unix)) << text;
    // Its text form gives back its whole second.
    EXPECT_EQ(Instant::parseISO8601(parsed.value_or(Instant{}).iso8601()), Instant::fromUnix(std::floor(unix))) << text;
  }
  for (const char* refused : {"2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2100-02-29T00:00:00Z",
           "2025-04-31T00:00:00Z", "2025-02-30T00:00:00Z", "2025-13-01T00:00:00Z", "2025-00-10T00:00:00Z",
           "2025-01-00T00:00:00Z", "2025-01-32T00:00:00Z", "2025-01-01T24:00:00Z", "2025-01-01T00:60:00Z",
           "2025-01-01T00:00:60Z", "2025-01-01T00:00:00+24:00", "2025-01-01T00:00:00+00:60",
           "2025-01-01T00:00:00+0100", "2025-01-01T00:00:00+01:00x", "2025-01-01T00:00:00", "2025-01-01T00:00:00.Z",
           "2025-01-01T00:00:00Zjunk", "2025-01-01 00:00:00Z", "2025-1-01T00:00:00Z", "2025-01-01T00:00:0Z", "",
           "2025--01T00:00:00Z", "2025-01-01T::Z"})
    EXPECT_EQ(Instant::parseISO8601(refused), std::nullopt) << refused;
  // Each form is strict about the fraction; the text rounds down or, asked to, up.
  EXPECT_FALSE(Instant::parseISO8601("2025-10-01T12:34:56Z", true) || Instant::parseISO8601("2025-10-01T12:34:56.5Z", false));
  Instant fraction = Instant::fromUnix(1759322096.789);
  EXPECT_EQ(fraction.iso8601() + fraction.iso8601(true), "2025-10-01T12:34:56Z2025-10-01T12:34:57Z");
  EXPECT_EQ(Instant::fromUnix(1759322096).iso8601(true), "2025-10-01T12:34:56Z");
  EXPECT_EQ(Instant{NAN}.iso8601(), "0000-01-01T00:00:00Z");
}

// These rules run on the reduced ICU data the tools link, as this binary does.
TEST(Text, UTF8WhitespaceCaseAndUUIDs) {
  EXPECT_EQ(text::repairUTF8("ok ✓"), "ok ✓");
  EXPECT_EQ(text::repairUTF8("a\xFF" "b\xE2\x9C"), "a\uFFFD" "b\uFFFD");  // one per maximal subpart
  EXPECT_EQ(text::repairUTF8("\xED\xA0\x80\xC0\xAF"), "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");  // surrogate, overlong
  EXPECT_EQ(text::trimmed(" \t\n name \u00A0\u2028"), "name");
  EXPECT_EQ(std::string(text::trimmed(" \u3000 ")) + std::string(text::trimmed("")), "");
  EXPECT_EQ(text::collapsedWhitespace("  fix   the\nbuild\u2003now\u0085  "), "fix the build now");
  EXPECT_EQ(text::lowercased("AZ@[-Def"), "az@[-def");
  // Greek capital sigma lower-cases to the final form at the end of a word.
  EXPECT_EQ(text::lowercased("ÄÖÜ İ ΟΔΟΣ ΣΑ"), "äöü i̇ οδος σα");
  EXPECT_TRUE(isUUID("0199a3f2-1234-4abc-8def-0123456789ab") && isUUID("0199A3F2-1234-4ABC-8DEF-0123456789AB"));
  for (const char* bad : {"0199a3f21234-4abc-8def-0123456789ab0", "0199a3f2-1234-4abc-8def-0123456789ag",
                          "0199a3f2-1234-4abc-8def-0123456789aG", "{0199a3f2-1234-4abc-8def-0123456789ab}", ""})
    EXPECT_FALSE(isUUID(bad)) << bad;
  std::string random = randomUUID();  // version 4, RFC 4122 variant
  EXPECT_TRUE(isUUID(random) && random[14] == '4' && std::string("89AB").find(random[19]) != std::string::npos) << random;
  EXPECT_NE(random, randomUUID());
}

TEST(Text, CountsAndCutsUserPerceivedCharacters) {
  std::string family = "👨‍👩‍👧‍👦";  // one character of many scalars
  // Text of `count` characters, and the prefix of its first two.
  for (auto [text, count, firstTwo] : std::initializer_list<std::tuple<std::string, std::size_t, std::string>>{
           {"abc", 3, "ab"}, {"a\r\nb", 3, "a\r\n"}, {family + family + "z", 3, family + family},
           {"e\u0301e\u0301x", 3, "e\u0301e\u0301"}, {"🇫🇷🇩🇪🇮", 3, "🇫🇷🇩🇪"},  // regional indicators pair up
           {"\u1100\u1161\u11A8한국", 3, "\u1100\u1161\u11A8한"}, {"👍🏽e\u0301\r\n", 3, "👍🏽e\u0301"}}) {
    EXPECT_TRUE(text::atMostCharacters(text, count) && !text::atMostCharacters(text, count - 1)) << text;
    EXPECT_EQ(text::characterPrefix(text, 2), firstTwo) << text;
  }
  EXPECT_EQ(text::characterPrefix("short", 160) + text::characterPrefix("x", 0), "short");
}

TEST(JSON, WriterAndRecords) {
  json::Writer w;
  w.beginArray();
  w.value("a\x01\"\\\xFF");  // not UTF-8: repaired, never written as garbage
  for (double number : {1.5, 1e14, 1e15}) w.value(number);
  w.value(false);
  w.endArray();
  EXPECT_EQ(w.take(), R"(["a\u0001\"\\�",1.5,100000000000000,1e+15,false])");
  EXPECT_THROW(w.value(NAN), StatusError);
  json::Parser parser;
  EXPECT_EQ(errorOf([&] { parser.parse("{", false, "thing"); }).rfind("DecodingError: The thing isn't valid JSON", 0), 0u);
  json::Record record(parser.parse(R"({"a":"x","n":null,"i":1.5})", false, "thing"), "thing");
  EXPECT_EQ(record.get<std::string_view>("a"), "x");
  EXPECT_EQ(record.find<std::string_view>("n"), std::nullopt);
  EXPECT_EQ(errorOf([&] { record.get<std::string_view>("n"); }), "DecodingError: The thing's \"n\" is missing.");
  EXPECT_EQ(errorOf([&] { record.get<std::int64_t>("i"); }), "DecodingError: The thing's \"i\" is not an integer.");
}

// Reading a few members of a large document checks the whole of it: it
// refuses exactly what a full parse refuses, and builds the same members.
TEST(JSON, MembersOfALargeDocumentAreCheckedLikeAFullParse) {
  const std::string documents[] = {
      R"({"a":{"x":[1,2.5e3,-0]},"skip":{"s":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"},"b":"v"} )",
      R"({"skip":1,"a":2,"a":3})",                   // the first of a name counts
      R"({"\u0061":{"y":null},"b":[true,false]})",  // an escaped name matches
      R"(["not an object"])", R"({} {})", R"({"a":1}})", R"({"a":1} x)", "", "  ",
      R"({"s":"\x"})", R"({"s":"\udc00"})", R"({"s":"\ud800x"})", R"({"s":"\ud800\u0041"})",
      R"({"s":"\u12G4"})", R"({"s":"tab	here"})", "{\"s\":\"\xC3\x28\"}", R"({"n":01})", R"({"n":1.})",
      R"({"n":-})", R"({"n":1e999})", R"({"t":tru})", R"({"t":nul})", R"({"t":truex})", R"({"o":{"k" 1}})",
      R"({"o":{"k":1,}})", R"({"l":[1 2]})", R"({"l":[1,]})", R"({"o":[}]})", R"({"k\q":1})",
      R"({"a":"[,zr":2]})", R"({"a":[1}],"b":2})", R"({"a":1 "b":2})", std::string(2000, '[') + std::string(2000, ']'),
      "{\"d\":" + std::string(1023, '[') + std::string(1023, ']') + "}",  // the deepest allowed
      "{\"d\":" + std::string(1024, '[') + std::string(1024, ']') + "}",
      "{\"d\":" + std::string(3000, '[') + std::string(3000, ']') + "}",
  };
  // A member as text ("absent" when missing), or the whole when it is no object.
  auto member = [](json::Element e, const char* key) {
    json::Element m;
    if (!e.is_object()) return simdjson::to_string(e);
    return e.at_key(key).get(m) == simdjson::SUCCESS ? simdjson::to_string(m) : std::string("absent");
  };
  for (const std::string& bytes : documents) {
    json::Parser whole, members;
    std::optional<json::Element> full = whole.parse(bytes, false);
    std::string error = errorOf([&] { members.members(bytes, false, {"a", "b"}, "thing"); });
    if (!full) {
      EXPECT_EQ(error.rfind("DecodingError: The thing isn't valid JSON: ", 0), 0u) << bytes;
      continue;
    }
    json::Element built = members.members(bytes, false, {"a", "b"}, "thing");
    for (const char* key : {"a", "b"}) EXPECT_EQ(member(built, key), member(*full, key)) << bytes << key;
  }
}
