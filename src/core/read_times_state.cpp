#include "lantrel/read_times_state.hpp"

#include "lantrel/claude_read_state.hpp"
#include "lantrel/codex_automation.hpp"
#include "support/files.hpp"
#include "support/json.hpp"
#include "support/json_writer.hpp"

namespace lantrel {

namespace {

using ReadTimes = std::map<std::string, Instant>;

ReadTimes decodeTimes(std::string_view bytes, bool padded) {
  json::Parser parser;
  json::Record document(parser.parse(bytes, padded, "read state"), "read state");
  json::Record readAt(document.get<json::Object>("readAt"), "read state");
  ReadTimes times;
  for (auto [key, value] : readAt.members()) {
    auto instant = Instant::parseISO8601(readAt.get<std::string_view>(key), false);
    if (!instant) readAt.fail(key, "is not an ISO 8601 date in whole seconds");
    times.insert_or_assign(std::string(key), *instant);
  }
  return times;
}

}  // namespace

template <typename Key>
std::filesystem::path ReadTimesState<Key>::defaultURL() {
  return files::homeDirectory() / "Library/Application Support/Lantrel" / Key::fileName;
}

template <typename Key>
ReadTimesState<Key> ReadTimesState<Key>::load(const std::filesystem::path& url) {
  if (!files::resourceValuesIfExists(url)) return {};
  // readOwnFile refuses links, non-regular and oversized files.
  files::ReadBuffer buffer;
  return ReadTimesState(decodeTimes(files::readOwnFile(url, maximumFileBytes, buffer), true));
}

template <typename Key>
ReadTimesState<Key> ReadTimesState<Key>::decode(std::string_view bytes) {
  return ReadTimesState(decodeTimes(bytes, false));
}

template <typename Key>
void ReadTimesState<Key>::save(const std::filesystem::path& url) const {
  json::Writer w;
  w.beginObject();
  w.key("readAt");
  w.beginObject();
  for (const auto& [key, instant] : readAt) w.member(key, instant.iso8601(true));
  w.endObject();
  w.endObject();
  files::createDirectories(url.parent_path());
  files::replaceAtomically(url, w.text(), 0600);
}

template struct ReadTimesState<ClaudeSessionKey>;
template struct ReadTimesState<AutomationThreadKey>;

}  // namespace lantrel
