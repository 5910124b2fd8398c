#include "lantrel/orca_local_file.hpp"

#include "lantrel/errors.hpp"
#include "support/files.hpp"

namespace lantrel {

void OrcaLocalFile::validate(const std::filesystem::path& url, std::int64_t limit) {
  files::ResourceValues values = files::resourceValues(url);  // lstat: links are seen as links
  if (!values.isRegularFile || values.isSymbolicLink || limit < 0 ||
      values.size > static_cast<std::uint64_t>(limit))
    throw StatusError(StatusError::invalidRecord);
}

}  // namespace lantrel
