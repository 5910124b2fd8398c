// The plumbing every area stands on: bounded reads, atomic replacement,
// instants, text rules, UUIDs and JSON.
#include <gtest/gtest.h>

#include <cmath>

#include "support/files.hpp"
#include "support/json.hpp"
#include "support/json_writer.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"
#include "test_support.hpp"

using namespace lantrel;
using namespace lantrel::testing;

TEST(Files, BoundedReadsAndAtomicReplacement) {
  TempDir dir;
  files::ReadBuffer buffer;
  writeFile(dir / "f", "0123456789");
  EXPECT_TRUE(files::readWholeIfAtMost(dir / "f", 10, buffer) &&
              !files::readWholeIfAtMost(dir / "f", 9, buffer));
  // Our own files: regular, not links, within the limit; a FIFO does not hang.
  EXPECT_EQ(files::readOwnFile(dir / "f", 10, buffer), "0123456789");
  fs::create_symlink(dir / "f", dir / "link");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (auto [name, limit] : {std::pair{"f", 9}, {"link", 10}, {"fifo", 10}}) {
    auto read = [&, path = dir / name, limit = limit] { files::readOwnFile(path, limit, buffer); };
    EXPECT_EQ(errorOf(read), "invalidRecord");
  }
  // New directories get 0700 whatever the umask takes away; no temporary file is left.
  ::umask(0277);
  fs::path target = dir / "a/b/task.json";
  files::createDirectories(target.parent_path());
  files::replaceAtomically(target, "one");
  files::replaceAtomically(target, "two", 0640);
  ::umask(022);
  EXPECT_EQ(std::tuple(modeOf(dir / "a"), modeOf(dir / "a/b"), modeOf(target)),
            std::tuple(0700u, 0700u, 0640u));
  EXPECT_EQ(readFile(target), "two");
  EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), {}), 1);
}

// A long tail read piece by piece holds the lines one read gives, but for those too long:
// lines of every length cross the pieces' edges, one line is longer than two pieces.
TEST(Files, TailPiecesHoldTheTailLines) {
  TempDir dir;
  std::string text = "first\n", lines, pieces;
  for (int i = 0; text.size() < 900'000; ++i) text += std::string(i * 7 % 2000, 'a' + i % 26) + "\n";
  text.insert(text.find('\n', 500'000) + 1, std::string(700'000, '#') + "\n");
  writeFile(dir / "log", text + "unfinished");
  files::ReadBuffer one, small;
  lines = files::readTailLines(dir / "log", text.size() + 5, false, one);
  lines.erase(lines.find('#'), 700'001);
  files::forEachTailPiece(dir / "log", text.size() + 5, 65'536, small,
                          [&](std::string_view piece) { pieces += piece; });
  EXPECT_EQ(pieces, lines);
}

TEST(Instant, CalendarEdges) {
  for (auto [text, unix] : std::initializer_list<std::pair<const char*, double>>{
           {"2025-01-01T00:00:00Z", 1735689600}, {"2025-12-31T23:59:59Z", 1767225599},
           {"2024-02-29T12:00:00Z", 1709208000}, {"2000-02-29T00:00:00Z", 951782400},
           {"0000-01-01T00:00:00Z", -62167219200}, {"9999-12-31T23:59:59Z", 253402300799},
           {"2025-10-01T12:34:56.789Z", 1759322096.789}, {"2025-01-01T01:00:00+01:00", 1735689600},
           {"2024-12-31T23:00:00-01:00", 1735689600}})
    EXPECT_EQ(Instant::parseISO8601(text), Instant::fromUnix(unix)) << text;
  for (const char* refused : {"2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z",
           "2025-04-31T00:00:00Z", "2025-13-01T00:00:00Z", "2025-01-00T00:00:00Z",
           "2025--01T00:00:00Z", "", "2025-01-01T24:00:00Z", "2025-01-01T00:00:00",
           "2025-01-01T00:00:00+00:60"})
    EXPECT_EQ(Instant::parseISO8601(refused), std::nullopt) << refused;
}

// These rules run on the reduced ICU data the tools link, as this binary does.
TEST(Text, UTF8WhitespaceCaseAndUUIDs) {
  EXPECT_EQ(text::repairUTF8("a\xFF" "b\xE2\x9C"), "a\uFFFD" "b\uFFFD");  // one per maximal subpart
  EXPECT_EQ(text::trimmed(" \t\n name \u00A0\u2028"), "name");
  EXPECT_EQ(std::string(text::trimmed(" \u3000 ")) + std::string(text::trimmed({})), "");
  EXPECT_EQ(text::collapsedWhitespace("  fix   the\nbuild\u2003now\u0085  "), "fix the build now");
  // Greek capital sigma lower-cases to the final form at the end of a word.
  EXPECT_EQ(text::lowercased("AZ@[ ÄÖÜ İ ΟΔΟΣ ΣΑ"), "az@[ äöü i̇ οδος σα");
  // Text of three characters, and the prefix of its first two.
  for (auto [text, firstTwo] : std::initializer_list<std::pair<std::string, std::string>>{
           {"a\r\nb", "a\r\n"}, {"👩‍💻👩‍💻z", "👩‍💻👩‍💻"},  // a character of three scalars
           {"e\u0301e\u0301x", "e\u0301e\u0301"}, {"🇫🇷🇩🇪🇮", "🇫🇷🇩🇪"}}) {
    EXPECT_TRUE(text::atMostCharacters(text, 3) && !text::atMostCharacters(text, 2)) << text;
    EXPECT_EQ(text::characterPrefix(text, 2), firstTwo) << text;
  }
  std::string id = "0199a3f2-1234-4abc-8def-0123456789ab", random = randomUUID();
  EXPECT_TRUE(isUUID(id) && isUUID("0199A3F2-1234-4ABC-8DEF-0123456789AB"));
  EXPECT_FALSE(isUUID(id.substr(0, 8) + id.substr(9) + "0") || isUUID(id.substr(0, 35) + "g"));
  // Version 4, RFC 4122 variant.
  EXPECT_TRUE(isUUID(random) && random[14] == '4' && std::strchr("89AB", random[19])) << random;
}

TEST(JSON, WriterAndMemberReader) {
  json::Writer w;
  w.beginArray();
  w.beginArray();
  w.endArray();
  w.value("a\x01\"\\\xFF");  // not UTF-8: repaired, never written as garbage
  for (double number : {1.5, 1e14, 1e15}) w.value(number);
  w.endArray();
  EXPECT_EQ(w.take(), R"([[],"a\u0001\"\\�",1.5,100000000000000,1e+15])");
  EXPECT_THROW(w.value(NAN), StatusError);
  // Reading a few members of a large document checks the whole of it: it
  // refuses exactly what a full parse refuses, and builds the same members.
  auto nested = [](int n) { return "{\"d\":" + std::string(n, '[') + std::string(n, ']') + "}"; };
  const std::string documents[] = {
      R"({"a":{"x":[1,2.5e3,-0]},"skip":{"s\n":"\"\\\/\b\f\n\r\t\u00e9\u00A9\ud83d\ude00"}})",
      R"({"skip":1,"a":2,"a":3})", R"({"\u0061":{"y":null},"b":[true,false]})",  // the first counts
      R"(["not an object"])", R"({} {})", "", R"({"s":"\udc00"})", R"({"s":"\ud800\u0041"})",
      R"({"o":{"\u12G4":1}})", R"({"s":"tab	here"})", "{\"s\":\"\xC3\x28\"}", R"({"n":01})",
      R"({"o":{"k":1,}})", R"({"a":"[,zr":2]})", R"({"s":[1}],"b":2})", nested(1023),
      nested(1024)};  // the deepest allowed, and one too deep
  // A member as text ("absent" when missing), or the whole when it is no object.
  auto member = [](json::Element e, const char* key) {
    json::Element m;
    if (!e.is_object()) return simdjson::to_string(e);
    return e.at_key(key).get(m) ? std::string("absent") : simdjson::to_string(m);
  };
  for (const std::string& bytes : documents) {
    json::Parser whole, members;
    files::ReadBuffer buffer;  // released by each call: the members outlive it
    std::optional<json::Element> full = whole.parse(bytes, false);
    std::string error = errorOf([&] { members.members(buffer, buffer.copy(bytes), {"a", "b"}, "thing"); });
    if (!full) {
      EXPECT_EQ(error.rfind("DecodingError: The thing isn't valid JSON: ", 0), 0u) << bytes;
      continue;
    }
    json::Element built = members.members(buffer, buffer.copy(bytes), {"a", "b"}, "thing");
    for (const char* key : {"a", "b"}) EXPECT_EQ(member(built, key), member(*full, key)) << bytes;
  }
}
