#include "support/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "lantrel/errors.hpp"

namespace lantrel::files {

namespace {

ResourceValues fromStat(const struct stat& st) {
  ResourceValues v;
  v.isRegularFile = S_ISREG(st.st_mode);
  v.isDirectory = S_ISDIR(st.st_mode);
  v.isSymbolicLink = S_ISLNK(st.st_mode);
  v.size = static_cast<std::uint64_t>(st.st_size);
  v.modified = Instant::fromUnix(static_cast<double>(st.st_mtim.tv_sec) +
                                 static_cast<double>(st.st_mtim.tv_nsec) / 1e9);
  v.owner = st.st_uid;
  v.mode = st.st_mode & 07777;
  return v;
}

int openForReading(const fs::path& path, int extraFlags = 0) {
  // O_NONBLOCK keeps a FIFO planted where a file belongs from hanging us.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | extraFlags);
  if (fd < 0) throwErrno("cannot open file", path, errno);
  return fd;
}

std::uint64_t sizeOf(int fd, const fs::path& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) throwErrno("cannot get file size", path, errno);
  return static_cast<std::uint64_t>(st.st_size);
}

// Reads up to `limit` bytes at `offset` into `out`; stops early at end of
// file, or once `expected` bytes are in and a read comes back short (a
// regular file's end). Returns the number of bytes read.
std::size_t readInto(int fd, std::uint64_t offset, std::size_t limit, char* out,
                     const fs::path& path, std::uint64_t expected = UINT64_MAX) {
  std::size_t filled = 0;
  while (filled < limit) {
    ssize_t n = ::pread(fd, out + filled, limit - filled, static_cast<off_t>(offset + filled));
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("cannot read file", path, errno);
    }
    if (n == 0) break;
    std::size_t asked = limit - filled;
    filled += static_cast<std::size_t>(n);
    if (static_cast<std::size_t>(n) < asked && filled >= expected) break;
  }
  return filled;
}

// With `padding`, that many zero bytes follow the data within its capacity
// (for parsers that read ahead).
std::string readAt(int fd, std::uint64_t offset, std::uint64_t limit, const fs::path& path,
                   std::uint64_t expected = UINT64_MAX, std::size_t padding = 0) {
  std::string data;
  if (padding) data.reserve(static_cast<std::size_t>(limit) + padding);
  data.resize(static_cast<std::size_t>(limit));
  std::size_t filled = readInto(fd, offset, data.size(), data.data(), path, expected);
  if (padding) {
    data.resize(filled);
    data.append(padding, '\0');  // within the reserved capacity
  }
  data.resize(filled);
  return data;
}

// The position of the last line feed in `data`, or npos. Megabytes are
// searched backwards here, so glibc's vectorised memrchr is used where there
// is one.
std::size_t lastLineFeed(std::string_view data) {
#if defined(__GLIBC__)
  const void* found = ::memrchr(data.data(), '\n', data.size());
  return found ? static_cast<std::size_t>(static_cast<const char*>(found) - data.data())
               : std::string_view::npos;
#else
  return data.rfind('\n');
#endif
}

// The whole lines of bytes read from a file's end: when reading started
// inside the file the partial first line goes, and a last line without its
// line feed goes. Data with no line feed left is kept only with
// `keepUnbroken`.
std::string_view tailLines(std::string_view data, bool startsInside, bool keepUnbroken) {
  std::size_t first = data.find('\n');
  if (first == std::string_view::npos) return keepUnbroken ? data : std::string_view();
  if (startsInside) data.remove_prefix(first + 1);
  if (!data.empty() && data.back() != '\n') {
    std::size_t last = lastLineFeed(data);
    if (last == std::string_view::npos) return keepUnbroken ? data : std::string_view();
    data = data.substr(0, last + 1);
  }
  return data;
}

// Shared by both tail reads; `keepUnbroken` keeps data with no line feed.
std::string readTail(const fs::path& path, std::uint64_t limit, bool keepUnbroken) {
  Descriptor file(openForReading(path));
  std::uint64_t size = sizeOf(file.fd, path);
  bool startsInside = size > limit;
  std::string data =
      readAt(file.fd, startsInside ? size - limit : 0, std::min(size, limit), path);
  std::string_view lines = tailLines(data, startsInside, keepUnbroken);
  if (lines.empty()) return std::string();
  data.resize(static_cast<std::size_t>(lines.data() - data.data()) + lines.size());
  data.erase(0, static_cast<std::size_t>(lines.data() - data.data()));
  return data;
}

}  // namespace

Descriptor::~Descriptor() {
  if (fd >= 0) ::close(fd);
}

[[noreturn]] void throwErrno(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

ResourceValues resourceValues(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) throwErrno("cannot read file attributes", path, errno);
  return fromStat(st);
}

std::optional<ResourceValues> resourceValuesIfExists(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throwErrno("cannot read file attributes", path, errno);
  }
  return fromStat(st);
}

std::string readOwnFile(const fs::path& path, std::uint64_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ELOOP) throw StatusError(StatusError::invalidRecord);
    throwErrno("cannot open file", path, errno);
  }
  Descriptor file(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) throwErrno("cannot read file attributes", path, errno);
  if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > limit)
    throw StatusError(StatusError::invalidRecord);
  // One byte more than fstat promised tells a file that grew meanwhile.
  auto size = static_cast<std::uint64_t>(st.st_size);
  std::string data = readAt(fd, 0, size + 1, path, size);
  if (data.size() > limit) throw StatusError(StatusError::invalidRecord);
  return data;
}

std::optional<std::string> readWholeIfAtMost(const fs::path& path, std::uint64_t limit,
                                             std::size_t padding) {
  Descriptor file(openForReading(path));
  std::uint64_t size = sizeOf(file.fd, path);
  if (size > limit) return std::nullopt;
  std::string data = readAt(file.fd, 0, size + 1, path, UINT64_MAX, padding);
  if (data.size() > limit) return std::nullopt;
  return data;
}

std::string readHead(const fs::path& path, std::uint64_t limit) {
  Descriptor file(openForReading(path));
  return readAt(file.fd, 0, std::min(limit, sizeOf(file.fd, path)), path);
}

std::string readTailLines(const fs::path& path, std::uint64_t limit) {
  return readTail(path, limit, false);
}

std::string readTailKeepingUnbroken(const fs::path& path, std::uint64_t limit) {
  return readTail(path, limit, true);
}

HeadAndTail readHeadLinesAndTail(const fs::path& path, std::uint64_t limit,
                                 std::string& buffer) {
  Descriptor file(openForReading(path));
  std::uint64_t size = sizeOf(file.fd, path);
  bool startsInside = size > limit;
  auto headBytes = static_cast<std::size_t>(startsInside ? limit : 0);
  auto tailBytes = static_cast<std::size_t>(std::min(size, limit));
  if (buffer.size() < headBytes + tailBytes) buffer.resize(headBytes + tailBytes);
  HeadAndTail result;
  result.head = std::string_view(buffer.data(),
                                 readInto(file.fd, 0, headBytes, buffer.data(), path));
  std::size_t last = lastLineFeed(result.head);
  result.head = result.head.substr(0, last == std::string_view::npos ? 0 : last + 1);
  std::size_t tailRead = readInto(file.fd, size - tailBytes, tailBytes,
                                  buffer.data() + headBytes, path);
  result.tail = tailLines(std::string_view(buffer.data() + headBytes, tailRead), startsInside,
                          true);
  return result;
}

void createDirectories(const fs::path& path) {
  // Walk up to the first existing ancestor, then create downwards.
  std::vector<fs::path> missing;
  fs::path current = path.lexically_normal();
  if (current.has_filename() == false && current.has_parent_path())
    current = current.parent_path();
  while (!current.empty()) {
    struct stat st;
    if (::stat(current.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode))
        throwErrno("cannot create directory", current, ENOTDIR);
      break;
    }
    if (errno != ENOENT) throwErrno("cannot create directory", current, errno);
    missing.push_back(current);
    fs::path parent = current.parent_path();
    if (parent == current) break;
    current = parent;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;  // another process was quicker
      throwErrno("cannot create directory", *it, errno);
    }
    // The umask may have taken bits away; the directory is the owner's alone.
    if (::chmod(it->c_str(), 0700) != 0) throwErrno("cannot set permissions", *it, errno);
  }
}

void replaceAtomically(const fs::path& path, std::string_view data, mode_t mode) {
  fs::path directory = path.parent_path();
  if (directory.empty()) directory = ".";
  // The template ends in random characters, so the file never looks like
  // a task file to a concurrent listing.
  std::string name = (directory / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  int fd = ::mkostemp(name.data(), O_CLOEXEC);  // O_CREAT|O_EXCL, mode 0600
  if (fd < 0) throwErrno("cannot create temporary file", directory, errno);
  auto fail = [&](const char* what, const fs::path& where) {
    int error = errno;
    ::close(fd);
    ::unlink(name.c_str());
    throwErrno(what, where, error);
  };
  std::size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write file", name);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) fail("cannot write file", name);
  if (::rename(name.c_str(), path.c_str()) != 0) fail("cannot replace file", path);
  // The descriptor still names the new file: set its mode without a path race.
  if (::fchmod(fd, mode) != 0) {
    int error = errno;
    ::close(fd);
    throwErrno("cannot set permissions", path, error);
  }
  ::close(fd);
}

bool forEachEntry(const fs::path& directory,
                  const std::function<void(std::string_view, unsigned char)>& visit) {
  return forEachEntryAt(directory,
                        [&](std::string_view name, unsigned char type, int) { visit(name, type); });
}

bool forEachEntryAt(const fs::path& directory,
                    const std::function<void(std::string_view, unsigned char, int)>& visit) {
  DIR* listing = ::opendir(directory.c_str());
  if (!listing) {
    if (errno == ENOENT) return false;
    throwErrno("cannot list directory", directory, errno);
  }
  std::unique_ptr<DIR, int (*)(DIR*)> closer(listing, ::closedir);
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") visit(name, entry->d_type, ::dirfd(listing));
    errno = 0;
  }
  if (errno != 0) throwErrno("cannot list directory", directory, errno);
  return true;
}

std::optional<ResourceValues> resourceValuesAt(int directoryFD, std::string_view name,
                                               const fs::path& directory) {
  // A file name fits in NAME_MAX bytes; copying it is cheaper than a
  // string per entry.
  char terminated[NAME_MAX + 1];
  if (name.size() > NAME_MAX)
    throwErrno("cannot read file attributes", directory / name, ENAMETOOLONG);
  std::memcpy(terminated, name.data(), name.size());
  terminated[name.size()] = '\0';
  struct stat st;
  if (::fstatat(directoryFD, terminated, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throwErrno("cannot read file attributes", directory / name, errno);
  }
  return fromStat(st);
}

bool hasJSONExtension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot > 0 && name.substr(dot + 1) == "json";
}

fs::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home);
  struct passwd pw;
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir)
    return fs::path(result->pw_dir);
  return fs::path("/");
}

}  // namespace lantrel::files
