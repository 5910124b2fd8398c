// Every file and directory system call of the library goes through here.
//
// Two regimes. Our own files (task files, hook records, read states) are
// read strictly: a symbolic link, a file that is not regular or one over its
// limit is refused with StatusError::invalidRecord. Other programs' files are
// read only in bounded pieces. Reads land in a caller's ReadBuffer, reused
// across files, and are followed there by json::padding readable bytes, so
// the JSON parser reads them where they lie.
//
// Unless said otherwise a failure throws std::filesystem::filesystem_error
// naming the path. Nothing here locks: another process may replace or
// change a file while it is read, and each function says what holds then.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "lantrel/instant.hpp"

namespace lantrel::files {

namespace fs = std::filesystem;

// --- attributes -------------------------------------------------------------

// What lstat says of a path; links are never followed.
struct ResourceValues {
  bool isRegularFile = false;
  bool isDirectory = false;
  bool isSymbolicLink = false;
  std::uint64_t size = 0;
  Instant modified;
  uid_t owner = 0;
};

ResourceValues resourceValues(const fs::path& path);
// nullopt when nothing exists at the path (nor can: a file stands where a
// directory of the path belongs); other failures throw.
std::optional<ResourceValues> resourceValuesIfExists(const fs::path& path);

// Whether the current user may execute the file.
bool isExecutable(const fs::path& path);
// The path with every symbolic link, "." and ".." resolved; nullopt when it
// cannot be resolved (nothing there, no permission).
std::optional<std::string> resolvedPath(const std::string& path);

// --- reading ----------------------------------------------------------------

// Bytes padding the data of a ReadBuffer: simdjson's SIMDJSON_PADDING.
inline constexpr std::size_t padding = 64;

// Memory for reads, grown when a read needs more and never shrunk or
// cleared, so that one buffer serves many files without writing each byte
// twice. `padding` bytes after the data of the last read may be read.
class ReadBuffer {
 public:
  // Room for `size` bytes and the padding; earlier contents are lost.
  char* reserve(std::size_t size);
  // A padded copy of `bytes`, for data that did not come from a read.
  std::string_view copy(std::string_view bytes);
  // Gives the memory back; the next reserve() allocates anew.
  void release();

 private:
  struct Free {
    void operator()(char* data) const;
  };
  std::unique_ptr<char[], Free> data_;
  std::size_t capacity_ = 0;
};

// A file open for reads in bounded pieces. A FIFO planted where a file
// belongs reads as empty, never blocks. With `refuseLinks` (our own files)
// a symbolic link is refused with StatusError::invalidRecord.
class FileReader {
 public:
  explicit FileReader(const fs::path& path, bool refuseLinks = false);
  // `name` in the directory open as `directoryFD`; `path` names it in errors.
  FileReader(int directoryFD, const char* name, std::string path, bool refuseLinks);
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // What fstat said when the file was opened.
  std::uint64_t size() const { return size_; }
  bool isRegularFile() const { return regular_; }
  // Reads up to `count` bytes at `offset` into `out`, fewer at the end of
  // the file (which may have shrunk since it was opened); returns how many.
  std::size_t read(std::uint64_t offset, std::size_t count, char* out);

 private:
  std::string path_;  // made a filesystem path only for an error
  int fd_;
  std::uint64_t size_;
  bool regular_;
};

// Our own file, whole: refused with StatusError::invalidRecord when it is a
// symbolic link, not a regular file, or over `limit` bytes (also when it
// grew past the limit while being read).
std::string_view readOwnFile(const fs::path& path, std::uint64_t limit, ReadBuffer& buffer);
struct DirectoryEntry;
// The same for an entry met by walk(), opened in its listed directory;
// nullopt when it has gone since the listing.
std::optional<std::string_view> readOwnFile(const DirectoryEntry& entry, std::uint64_t limit,
                                            ReadBuffer& buffer);

// Another program's file (links followed), whole, or nullopt when it is not
// a regular file or is over `limit` bytes (checked before any byte is read,
// and again on what was read).
std::optional<std::string_view> readWholeIfAtMost(const fs::path& path, std::uint64_t limit,
                                                  ReadBuffer& buffer);

// The first min(size, headLimit) and the last min(size, tailLimit) bytes of
// another program's file, each byte read once: ranges that meet or overlap
// are read in one piece and share their bytes. `size` is the file's size
// when it was opened; a file that shrinks meanwhile gives shorter pieces.
struct FileEnds {
  std::string_view head, tail;
  std::uint64_t size = 0;
};
FileEnds readEnds(const fs::path& path, std::uint64_t headLimit, std::uint64_t tailLimit,
                  ReadBuffer& buffer);

// The whole lines of bytes read from a file's end: when `startsInside` (the
// read began after the file's start) the partial first line goes, and a last
// line without its line feed goes. Data left without any line feed is kept
// whole with `keepUnbroken`, else nothing is.
std::string_view tailLines(std::string_view data, bool startsInside, bool keepUnbroken);
// The data up to and including its last line feed; empty without one.
std::string_view headLines(std::string_view data);

// The whole lines in the last `limit` bytes of a file (tailLines).
std::string_view readTailLines(const fs::path& path, std::uint64_t limit, bool keepUnbroken,
                               ReadBuffer& buffer);
// The same lines (without keepUnbroken) handed to `visit` a block of whole
// lines at a time, read piece by piece into `buffer`, so that a long tail
// passes through a small buffer that stays in the processor's cache. A
// line of `longestLine` bytes or more is passed over.
void forEachTailPiece(const fs::path& path, std::uint64_t limit, std::size_t longestLine,
                      ReadBuffer& buffer, const std::function<void(std::string_view)>& visit);

// --- directories --------------------------------------------------------------

// One entry met by walk(), valid during its visit.
struct DirectoryEntry {
  enum Kind { regularFile, directory, symbolicLink, other };

  std::string_view name;
  std::string_view path;  // the directory's path, "/" and the name
  Kind kind;              // as listed (looked up where the file system does not say)
  int directoryFD;

  // What lstat says of the entry now; nullopt when it has gone since the
  // listing. Other failures throw.
  std::optional<ResourceValues> values() const;
};

struct WalkOptions {
  bool recursive = false;   // enter subdirectories (never through a link)
  bool skipHidden = false;  // pass over names starting with "." (and what they hold)
};

// Calls `visit` for each entry of `root` ("." and ".." excepted), in the
// order the file system lists them, until it returns false; recursively, a
// directory's own entries come first, then each subdirectory's, in listing
// order, with at most one directory open at a time. Returns false when
// `root` does not exist; failing to list `root` throws, while a
// subdirectory that cannot be listed is passed over. Entries added or
// removed during the walk may or may not be visited.
bool walk(const fs::path& root, WalkOptions options,
          const std::function<bool(const DirectoryEntry&)>& visit);

// The regular files named "*.<extension>" below `root`, hidden entries
// passed over, whose values pass `keep`: newest first, walk order breaking
// ties. A missing root, or one that cannot be listed, has none; a file whose
// values cannot be read throws.
struct FoundFile {
  std::string path;
  Instant modified;
  std::string_view name() const { return std::string_view(path).substr(path.rfind('/') + 1); }
};
std::vector<FoundFile> findFiles(const fs::path& root, std::string_view extension,
                                 const std::function<bool(const ResourceValues&)>& keep);

// Runs `read`, which reads a file listed a moment ago, and says whether the
// file had gone meanwhile (other programs remove and rotate theirs): then
// it is simply not there. Any other failure is thrown.
template <typename Read>
bool goneSinceListing(Read&& read) {
  try {
    read();
    return false;
  } catch (const fs::filesystem_error& error) {
    if (error.code() != std::errc::no_such_file_or_directory) throw;
    return true;
  }
}

// Whether a file name's extension (the text after its last dot) is exactly
// `extension`. A name whose only dot leads it (".json") has no extension.
bool hasExtension(std::string_view name, std::string_view extension);

// --- writing ------------------------------------------------------------------

// Creates `path` and every missing parent, each with mode 0700, whatever
// the umask. Existing directories are left as they are; one made by another
// process meanwhile is fine.
void createDirectories(const fs::path& path);

// A new file that replaces `path` in one step: it is written aside, in the
// same directory, under a hidden name that cannot end in ".json" (O_EXCL,
// mode 0600 from the start); commit() gives it `mode`, flushes it to disk
// and renames it over the target. A reader of `path` sees the old file or
// the new one, never a part; a crash leaves the old file and at most a
// hidden temporary one. Destroyed uncommitted (a failure), it removes what
// it wrote.
class AtomicFile {
 public:
  AtomicFile(const fs::path& path, mode_t mode);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void append(std::string_view data);
  void commit();

 private:
  fs::path path_, temporary_;
  mode_t mode_;
  int fd_;
};

// Replaces `path` with `data` as AtomicFile does.
void replaceAtomically(const fs::path& path, std::string_view data, mode_t mode = 0600);
// Replaces `target` with a copy of the regular file `source` (links
// followed) as AtomicFile does; a source that is not a regular file, or
// larger than `limit` bytes, is refused with StatusError::invalidRecord and
// nothing is left behind.
void copyAtomically(const fs::path& source, const fs::path& target, mode_t mode,
                    std::uint64_t limit);

// Deletes the file at `path`. Nothing there, or a file where a directory of
// the path belongs, is no error.
void removeFile(const fs::path& path);

// --- the user -------------------------------------------------------------------

// $HOME, else the password database's home of the current user.
fs::path homeDirectory();

// A filesystem_error for `path` from an errno value.
[[noreturn]] void throwErrno(const char* what, const fs::path& path, int error);

}  // namespace lantrel::files
