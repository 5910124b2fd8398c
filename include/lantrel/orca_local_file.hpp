// Guarded access to the files around Orca: its status file, the transcripts
// its entries name, and our own Orca read state. Every such file is checked
// before it is read and is read only within a byte limit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace lantrel {

struct OrcaLocalFile {
  // Passes a regular file (not a symbolic link) of at most `limit` bytes;
  // anything else is refused with StatusError::invalidRecord. A file whose
  // attributes cannot be read throws the file system's error.
  static void validate(const std::filesystem::path& url, std::int64_t limit);

  // The last `limit` bytes of a file of at most 64 000 000 bytes, whole
  // lines only: a line cut by the start of the window and an unfinished last
  // line are dropped, but data without any line feed is returned as it is.
  // `limit` must not be negative (std::invalid_argument).
  static std::string tail(const std::filesystem::path& url, std::int64_t limit);
};

}  // namespace lantrel
