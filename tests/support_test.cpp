// The plumbing every area stands on: bounded reads, atomic replacement,
// instants, text rules, UUIDs and the JSON writer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "lantrel/errors.hpp"
#include "support/files.hpp"
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
  writeFile(file, "first line\nsecond\nthird\npartial");
  EXPECT_EQ(files::readTailLines(file, 100), "first line\nsecond\nthird\n");
  // Reading starts inside "first line": that part is dropped.
  EXPECT_EQ(files::readTailLines(file, 20), "third\n");
  // No line feed left after the cut: nothing.
  EXPECT_EQ(files::readTailLines(file, 7), "");
  writeFile(file, "no line feed at all");
  EXPECT_EQ(files::readTailLines(file, 100), "");
  EXPECT_EQ(files::readTailKeepingUnbroken(file, 100), "no line feed at all");
  EXPECT_EQ(files::readTailKeepingUnbroken(file, 4), " all");
  writeFile(file, "abc\ndef\n");
  EXPECT_EQ(files::readTailLines(file, 8), "abc\ndef\n");
  EXPECT_EQ(files::readTailLines(file, 5), "def\n");
  // The kept-unbroken form keeps a remainder without line feed after the cut.
  writeFile(file, "partial\nrest");
  EXPECT_EQ(files::readTailKeepingUnbroken(file, 9), "rest");
  EXPECT_EQ(files::readTailLines(file, 9), "");
}

TEST(Files, OwnFilesAreReadStrictly) {
  TempDir dir;
  writeFile(dir / "ok.json", std::string(16, 'x'));
  EXPECT_EQ(files::readOwnFile(dir / "ok.json", 16).size(), 16u);
  EXPECT_THROW(files::readOwnFile(dir / "ok.json", 15), StatusError);
  std::filesystem::create_symlink(dir / "ok.json", dir / "link.json");
  EXPECT_THROW(files::readOwnFile(dir / "link.json", 100), StatusError);
  std::filesystem::create_directory(dir / "dir.json");
  EXPECT_THROW(files::readOwnFile(dir / "dir.json", 100), StatusError);
  ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  EXPECT_THROW(files::readOwnFile(dir / "fifo.json", 100), StatusError);  // and no hang
  EXPECT_THROW(files::readOwnFile(dir / "missing.json", 100), std::filesystem::filesystem_error);
}

TEST(Files, BoundedWholeAndHeadReads) {
  TempDir dir;
  writeFile(dir / "f", "0123456789");
  EXPECT_EQ(files::readWholeIfAtMost(dir / "f", 10), "0123456789");
  EXPECT_EQ(files::readWholeIfAtMost(dir / "f", 9), std::nullopt);
  EXPECT_EQ(files::readHead(dir / "f", 4), "0123");
  EXPECT_FALSE(files::resourceValuesIfExists(dir / "none").has_value());
  auto values = files::resourceValues(dir / "f");
  EXPECT_TRUE(values.isRegularFile);
  EXPECT_EQ(values.size, 10u);
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
  EXPECT_EQ(text::characterCount("abc"), 3u);
  EXPECT_EQ(text::characterCount("a\r\nb"), 3u);
  std::string family = "👨‍👩‍👧‍👦";  // one character of many scalars
  EXPECT_EQ(text::characterCount(family + "x" + "e\u0301"), 3u);
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
    EXPECT_EQ(text::characterCount(c.text), c.count) << c.text;
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

TEST(JSONWriter, PrettyFormSortsKeysAndEscapes) {
  nlohmann::ordered_json value;
  value["zeta"] = "a/b\x01\"";
  value["alpha"] = nlohmann::ordered_json::array({1.5, 786432000.0, true});
  value["mid"]["z"] = nullptr;
  value["mid"]["a"] = nlohmann::ordered_json::object();
  EXPECT_EQ(json::write(value, json::Style::pretty), R"({
  "alpha" : [
    1.5,
    786432000,
    true
  ],
  "mid" : {
    "a" : {},
    "z" : null
  },
  "zeta" : "a\/b\u0001\""
})");
  EXPECT_EQ(json::write(value), R"({"zeta":"a/b\u0001\"","alpha":[1.5,786432000,true],"mid":{"z":null,"a":{}}})");
  // Text that is not UTF-8 is repaired rather than written as garbage.
  EXPECT_EQ(json::write(nlohmann::ordered_json("\xFF")), "\"\uFFFD\"");
  EXPECT_THROW(json::parse("{"), DecodingError);
}

}  // namespace
}  // namespace lantrel
