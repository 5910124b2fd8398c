// File access shared by every area. Two regimes: our own files are read
// strictly (no links, regular files only, size-limited, else invalidRecord);
// other programs' files are read only in bounded pieces.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "lantrel/instant.hpp"

namespace lantrel::files {

namespace fs = std::filesystem;

// An open file descriptor, closed on every path out (close errors ignored).
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int f) : fd(f) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor();
};

// What lstat says of a path; links are never followed.
struct ResourceValues {
  bool isRegularFile = false;
  bool isDirectory = false;
  bool isSymbolicLink = false;
  std::uint64_t size = 0;
  Instant modified;
  uid_t owner = 0;
  mode_t mode = 0;
};

// Throws filesystem_error (with the path) when lstat fails.
ResourceValues resourceValues(const fs::path& path);
// nullopt when nothing exists at the path; other failures throw.
std::optional<ResourceValues> resourceValuesIfExists(const fs::path& path);

// Our own files: the whole file, refused with StatusError::invalidRecord when
// it is a symbolic link, not a regular file, or larger than `limit` bytes.
std::string readOwnFile(const fs::path& path, std::uint64_t limit);

// The whole file if it is at most `limit` bytes; nullopt when it is larger.
// Follows links; failures to open or read throw. The string has room for
// `padding` zero bytes past its end, for a parser that reads beyond the
// document (simdjson), so it need not copy the bytes first.
std::optional<std::string> readWholeIfAtMost(const fs::path& path, std::uint64_t limit,
                                             std::size_t padding = 0);

// At most the first `limit` bytes.
std::string readHead(const fs::path& path, std::uint64_t limit);

// The last whole lines within `limit` bytes: when reading starts inside the
// file the partial first line is dropped, and a last line without its line
// feed is dropped; with no line feed left the result is empty.
std::string readTailLines(const fs::path& path, std::uint64_t limit);

// The same, but data without any line feed is kept whole (the last `limit`
// bytes as they are).
std::string readTailKeepingUnbroken(const fs::path& path, std::uint64_t limit);

// Both ends of a large file through one descriptor, read into `buffer`
// (grown when too small, never shrunk, so one buffer serves many files).
// `head`: when the file is larger than `limit`, its first `limit` bytes cut
// after their last line feed, else empty. `tail`: what
// readTailKeepingUnbroken returns for the same file. Both view `buffer`;
// `head` comes first in it, so reading head then tail reads whole lines.
struct HeadAndTail {
  std::string_view head;
  std::string_view tail;
};
HeadAndTail readHeadLinesAndTail(const fs::path& path, std::uint64_t limit,
                                 std::string& buffer);

// Creates `path` and every missing parent, each with mode 0700. Existing
// directories are left as they are.
void createDirectories(const fs::path& path);

// Replaces `path` in one step: the data goes to a new file in the same
// directory (O_EXCL, mode 0600 from the start, a name that never ends in
// ".json"), is flushed to disk and renamed over the target; then the file
// gets `mode`. A crash leaves the old file or the new one, never a part.
void replaceAtomically(const fs::path& path, std::string_view data, mode_t mode = 0600);

// Calls `visit(name, type)` for every entry of `directory`, hidden ones
// included ("." and ".." are not), in the order the file system lists them;
// `type` is the dirent d_type (DT_UNKNOWN where the file system does not
// say). Returns false when the directory does not exist; other failures throw.
bool forEachEntry(const fs::path& directory,
                  const std::function<void(std::string_view name, unsigned char type)>& visit);

// forEachEntry that also passes the open directory's descriptor, for
// resourceValuesAt.
bool forEachEntryAt(
    const fs::path& directory,
    const std::function<void(std::string_view name, unsigned char type, int directoryFD)>& visit);
// What lstat says of `name` in a directory being listed by forEachEntryAt,
// without looking up the whole path again; nullopt when nothing exists there
// (any more), other failures throw filesystem_error naming `directory/name`.
std::optional<ResourceValues> resourceValuesAt(int directoryFD, std::string_view name,
                                               const fs::path& directory);

// Whether a file name's extension is exactly "json" (the text after the last
// dot; a name that is only a leading dot and "json" is hidden, not a record).
bool hasJSONExtension(std::string_view name);

// $HOME, else the password database's home of the current user.
fs::path homeDirectory();

// A filesystem_error for `path` from errno.
[[noreturn]] void throwErrno(const char* what, const fs::path& path, int error);

}  // namespace lantrel::files
