// Guarded access to Orca-related files: every such file is checked before a
// byte of it is read.
#pragma once

#include <cstdint>
#include <filesystem>

namespace lantrel {

struct OrcaLocalFile {
  // Passes a regular file, not a symbolic link, of at most `limit` bytes;
  // throws StatusError::invalidRecord otherwise, and filesystem_error when the
  // file's attributes cannot be read (for instance when it does not exist).
  static void validate(const std::filesystem::path& url, std::int64_t limit);
};

}  // namespace lantrel
