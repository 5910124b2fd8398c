#include "lantrel/orca_local_file.hpp"

#include <stdexcept>

#include "lantrel/errors.hpp"
#include "support/files.hpp"

namespace lantrel {

namespace {

// Transcripts larger than this are not read at all, not even their tail.
constexpr std::int64_t tailFileLimit = 64000000;

}  // namespace

void OrcaLocalFile::validate(const std::filesystem::path& url, std::int64_t limit) {
  files::ResourceValues values = files::resourceValues(url);
  bool fits = limit >= 0 && values.size <= static_cast<std::uint64_t>(limit);
  if (!values.isRegularFile || values.isSymbolicLink || !fits)
    throw StatusError(StatusError::invalidRecord);
}

std::string OrcaLocalFile::tail(const std::filesystem::path& url, std::int64_t limit) {
  if (limit < 0) throw std::invalid_argument("a tail limit cannot be negative");
  validate(url, tailFileLimit);
  files::ReadBuffer buffer;
  return std::string(files::readTailLines(url, static_cast<std::uint64_t>(limit), true, buffer));
}

}  // namespace lantrel
