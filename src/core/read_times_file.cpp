#include "read_times_file.hpp"

#include <nlohmann/json.hpp>

#include "lantrel/errors.hpp"
#include "support/files.hpp"
#include "support/json_writer.hpp"

namespace lantrel::readtimes {

ReadTimes decode(std::string_view bytes) {
  nlohmann::json document = json::parse(bytes);
  if (!document.is_object()) throw DecodingError("The read state is not a JSON object.");
  auto found = document.find("readAt");
  if (found == document.end() || found->is_null())
    throw DecodingError("The read state's \"readAt\" is missing.");
  if (!found->is_object()) throw DecodingError("The read state's \"readAt\" is not an object.");
  ReadTimes readAt;
  for (const auto& [key, value] : found->items()) {
    if (!value.is_string())
      throw DecodingError("The read time of \"" + key + "\" is not a string.");
    const auto& text = value.get_ref<const std::string&>();
    auto instant = Instant::parseISO8601(text, false);
    if (!instant)
      throw DecodingError("The read time of \"" + key + "\" is not an ISO 8601 date: \"" +
                          text + "\".");
    readAt[key] = *instant;
  }
  return readAt;
}

std::string encode(const ReadTimes& readAt) {
  nlohmann::ordered_json times = nlohmann::ordered_json::object();
  for (const auto& [key, instant] : readAt) times[key] = instant.iso8601(true);
  nlohmann::ordered_json document;
  document["readAt"] = std::move(times);
  return json::write(document);
}

ReadTimes load(const std::filesystem::path& url, std::uint64_t limit) {
  if (!files::resourceValuesIfExists(url)) return {};
  // readOwnFile refuses links, non-regular and oversized files before reading.
  return decode(files::readOwnFile(url, limit));
}

void save(const std::filesystem::path& url, const ReadTimes& readAt) {
  std::string data = encode(readAt);
  files::createDirectories(url.parent_path());
  files::replaceAtomically(url, data, 0600);
}

}  // namespace lantrel::readtimes
