#include "support/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

#include "lantrel/errors.hpp"
#include "support/uuid.hpp"

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
  return v;
}

// Reads up to `count` bytes at `offset` into `out`, stopping early at the
// end of the file: where a read returns nothing, or where a short read ends
// at `end`, the size the file had when it was opened (a whole small file is
// then one read, not a second one that only finds nothing after it).
// Returns the number of bytes read.
std::size_t readAt(int fd, std::uint64_t offset, std::size_t count, char* out,
                   const std::string& path, std::uint64_t end) {
  std::size_t filled = 0;
  while (filled < count) {
    ssize_t n = ::pread(fd, out + filled, count - filled, static_cast<off_t>(offset + filled));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throwErrno("cannot read file", path, errno);
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
    if (offset + filled == end) break;
  }
  return filled;
}

}  // namespace

// --- attributes -------------------------------------------------------------

ResourceValues resourceValues(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) throwErrno("cannot read file attributes", path, errno);
  return fromStat(st);
}

std::optional<ResourceValues> resourceValuesIfExists(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) return fromStat(st);
  if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
  throwErrno("cannot read file attributes", path, errno);
}

bool isExecutable(const fs::path& path) { return ::access(path.c_str(), X_OK) == 0; }

std::optional<std::string> resolvedPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

// --- reading ----------------------------------------------------------------

FileReader::FileReader(const fs::path& path, bool refuseLinks)
    : FileReader(AT_FDCWD, path.c_str(), path.native(), refuseLinks) {}

FileReader::FileReader(int directoryFD, const char* name, std::string path, bool refuseLinks)
    : path_(std::move(path)) {
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (refuseLinks ? O_NOFOLLOW : 0);
  fd_ = ::openat(directoryFD, name, flags);
  if (fd_ < 0 && errno == ELOOP && refuseLinks) throw StatusError(StatusError::invalidRecord);
  if (fd_ < 0) throwErrno("cannot open file", path_, errno);
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    int error = errno;
    ::close(fd_);
    throwErrno("cannot read file attributes", path_, error);
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
  regular_ = S_ISREG(st.st_mode);
}

FileReader::~FileReader() { ::close(fd_); }

std::size_t FileReader::read(std::uint64_t offset, std::size_t count, char* out) {
  return readAt(fd_, offset, count, out, path_, size_);
}

namespace {

// Memory for `size` bytes, released with std::free. The huge pages that a
// block of a megabyte or more spans whole are advised as such: faulting
// them in 4 KiB at a time would cost more than filling them. The block is
// not aligned to them: an aligned allocation makes malloc write past its
// end, into a huge page that nothing else may need.
void* allocate(std::size_t size) {
  void* data = std::malloc(size);
  if (!data) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t hugePage = std::uintptr_t(2) << 20;
  auto from = (reinterpret_cast<std::uintptr_t>(data) + hugePage - 1) & ~(hugePage - 1);
  auto to = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(hugePage - 1);
  if (size >= hugePage / 2 && from < to)
    ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#endif
  return data;
}

}  // namespace

void ReadBuffer::Free::operator()(char* data) const { std::free(data); }

char* ReadBuffer::reserve(std::size_t size) {
  if (size + padding > capacity_) {
    std::size_t capacity = std::max(size + padding, capacity_ * 2);
    data_.reset();  // the old block goes before the new one comes
    capacity_ = 0;
    data_.reset(static_cast<char*>(allocate(capacity)));
    capacity_ = capacity;
  }
  // The padding is read, never interpreted; zeroing it keeps tools that
  // track uninitialised memory quiet.
  std::memset(data_.get() + size, 0, padding);
  return data_.get();
}

void ReadBuffer::release() {
  data_.reset();
  capacity_ = 0;
}

std::string_view ReadBuffer::copy(std::string_view bytes) {
  char* data = reserve(bytes.size());
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return {data, bytes.size()};
}

namespace {

// The whole of a regular file of at most `limit` bytes; nullopt when it is
// larger or not regular. One byte more than its size is asked for, to tell
// a file that grew past the limit meanwhile.
std::optional<std::string_view> readWhole(FileReader& file, std::uint64_t limit,
                                          ReadBuffer& buffer) {
  if (!file.isRegularFile() || file.size() > limit) return std::nullopt;
  auto count = static_cast<std::size_t>(file.size()) + 1;
  char* data = buffer.reserve(count);
  std::string_view read(data, file.read(0, count, data));
  if (read.size() > limit) return std::nullopt;
  return read;
}

std::string_view ownWhole(FileReader& file, std::uint64_t limit, ReadBuffer& buffer) {
  auto data = readWhole(file, limit, buffer);
  if (!data) throw StatusError(StatusError::invalidRecord);
  return *data;
}

}  // namespace

std::string_view readOwnFile(const fs::path& path, std::uint64_t limit, ReadBuffer& buffer) {
  FileReader file(path, true);
  return ownWhole(file, limit, buffer);
}

std::optional<std::string_view> readOwnFile(const DirectoryEntry& entry, std::uint64_t limit,
                                            ReadBuffer& buffer) {
  std::string_view data;
  bool gone = goneSinceListing([&] {
    // The name is the listed entry's d_name, so it ends with a NUL.
    FileReader file(entry.directoryFD, entry.name.data(), std::string(entry.path), true);
    data = ownWhole(file, limit, buffer);
  });
  if (gone) return std::nullopt;
  return data;
}

std::optional<std::string_view> readWholeIfAtMost(const fs::path& path, std::uint64_t limit,
                                                  ReadBuffer& buffer) {
  FileReader file(path);
  return readWhole(file, limit, buffer);
}

FileEnds readEnds(const fs::path& path, std::uint64_t headLimit, std::uint64_t tailLimit,
                  ReadBuffer& buffer) {
  FileReader file(path);
  FileEnds ends;
  ends.size = file.size();
  auto head = static_cast<std::size_t>(std::min(ends.size, headLimit));
  auto tail = static_cast<std::size_t>(std::min(ends.size, tailLimit));
  std::uint64_t tailStart = ends.size - tail;
  if (tailStart <= head) {  // one piece: the whole file
    auto size = static_cast<std::size_t>(ends.size);
    char* data = buffer.reserve(size);
    std::string_view whole(data, file.read(0, size, data));
    ends.head = whole.substr(0, head);
    ends.tail = whole.substr(std::min(whole.size(), static_cast<std::size_t>(tailStart)));
    return ends;
  }
  char* data = buffer.reserve(head + tail);
  ends.head = {data, file.read(0, head, data)};
  ends.tail = {data + head, file.read(tailStart, tail, data + head)};
  return ends;
}

std::string_view tailLines(std::string_view data, bool startsInside, bool keepUnbroken) {
  std::size_t first = data.find('\n');
  if (first == std::string_view::npos) return keepUnbroken ? data : std::string_view();
  if (startsInside) data.remove_prefix(first + 1);
  if (data.empty() || data.back() == '\n') return data;
  std::size_t last = data.rfind('\n');
  if (last == std::string_view::npos) return keepUnbroken ? data : std::string_view();
  return data.substr(0, last + 1);
}

// Without a line feed rfind gives npos, and npos + 1 is 0.
std::string_view headLines(std::string_view data) { return data.substr(0, data.rfind('\n') + 1); }

void forEachTailPiece(const fs::path& path, std::uint64_t limit, std::size_t longestLine,
                      ReadBuffer& buffer, const std::function<void(std::string_view)>& visit) {
  constexpr std::size_t piece = std::size_t(256) << 10;
  FileReader file(path);
  std::uint64_t size = file.size(), at = size - std::min(size, limit);
  bool dropping = at > 0;  // up to the next line feed: a partial first line, or a long one
  char* data = buffer.reserve(piece + longestLine);
  std::size_t kept = 0;  // an unfinished line, moved to the front
  while (at < size) {
    auto count = static_cast<std::size_t>(std::min<std::uint64_t>(piece, size - at));
    std::size_t n = file.read(at, count, data + kept);
    if (n == 0) break;  // the file shrank
    at += n;
    std::string_view text(data, kept + n);
    if (dropping) {
      std::size_t feed = text.find('\n');
      text.remove_prefix(feed == std::string_view::npos ? text.size() : feed + 1);
      dropping = feed == std::string_view::npos;
    }
    std::size_t end = text.rfind('\n') + 1;  // npos + 1 is 0: no whole line
    if (end > 0) visit(text.substr(0, end));
    std::string_view rest = text.substr(end);
    dropping = dropping || rest.size() >= longestLine;
    kept = dropping ? 0 : rest.size();
    std::memmove(data, rest.data(), kept);
  }
}

std::string_view readTailLines(const fs::path& path, std::uint64_t limit, bool keepUnbroken,
                               ReadBuffer& buffer) {
  FileEnds ends = readEnds(path, 0, limit, buffer);
  return tailLines(ends.tail, ends.size > limit, keepUnbroken);
}

// --- directories --------------------------------------------------------------

std::optional<ResourceValues> DirectoryEntry::values() const {
  struct stat st;  // `name` views the listing's own NUL-terminated name
  if (::fstatat(directoryFD, name.data(), &st, AT_SYMLINK_NOFOLLOW) == 0) return fromStat(st);
  if (errno == ENOENT) return std::nullopt;
  throwErrno("cannot read file attributes", path, errno);
}

namespace {

DirectoryEntry::Kind kindOf(mode_t mode) {
  return S_ISREG(mode)   ? DirectoryEntry::regularFile
         : S_ISDIR(mode) ? DirectoryEntry::directory
         : S_ISLNK(mode) ? DirectoryEntry::symbolicLink
                         : DirectoryEntry::other;
}

// Lists the directory at `path` (restored on return) and, recursively, its
// subdirectories; see walk(). `rootExists` is given for the root only.
// Returns false once `visit` has.
bool walkDirectory(std::string& path, WalkOptions options,
                   const std::function<bool(const DirectoryEntry&)>& visit, bool* rootExists) {
  bool isRoot = rootExists != nullptr;
  // Subdirectory names, each followed by a NUL, entered once this listing
  // is closed.
  std::string subdirectories;
  std::size_t base = path.size();
  {
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(path.c_str()), ::closedir);
    if (!listing) {
      if (!isRoot) return true;  // a subdirectory that cannot be listed
      if (errno != ENOENT) throwErrno("cannot list directory", path, errno);
      *rootExists = false;
      return true;
    }
    DirectoryEntry entry{{}, {}, DirectoryEntry::other, ::dirfd(listing.get())};
    for (errno = 0; const dirent* found = ::readdir(listing.get()); errno = 0) {
      std::string_view name = found->d_name;
      if (name == "." || name == ".." || (options.skipHidden && name.front() == '.')) continue;
      path.resize(base);
      path.push_back('/');
      path.append(name);
      entry.name = name;
      entry.path = path;
      entry.kind = kindOf(DTTOIF(found->d_type));
      // Where the file system does not say, lstat does (a failure leaves
      // `other`; a visitor that needs the values meets the error).
      struct stat st;
      if (found->d_type == DT_UNKNOWN && ::fstatat(entry.directoryFD, found->d_name, &st,
                                                   AT_SYMLINK_NOFOLLOW) == 0)
        entry.kind = kindOf(st.st_mode);
      if (!visit(entry)) return false;
      if (options.recursive && entry.kind == DirectoryEntry::directory)
        subdirectories.append(name).push_back('\0');
    }
    if (errno != 0 && isRoot) throwErrno("cannot list directory", path.substr(0, base), errno);
  }
  for (std::size_t at = 0; at < subdirectories.size();) {
    std::size_t end = subdirectories.find('\0', at);
    path.resize(base);
    path.push_back('/');
    path.append(subdirectories, at, end - at);
    at = end + 1;
    if (!walkDirectory(path, options, visit, nullptr)) return false;
  }
  path.resize(base);
  return true;
}

}  // namespace

bool walk(const fs::path& root, WalkOptions options,
          const std::function<bool(const DirectoryEntry&)>& visit) {
  std::string path = root.string();
  bool exists = true;
  walkDirectory(path, options, visit, &exists);
  return exists;
}

std::vector<FoundFile> findFiles(const fs::path& root, std::string_view extension,
                                 const std::function<bool(const ResourceValues&)>& keep) {
  std::vector<FoundFile> found;
  try {
    walk(root, {.recursive = true, .skipHidden = true}, [&](const DirectoryEntry& entry) {
      if (!hasExtension(entry.name, extension)) return true;
      auto values = entry.values();  // a file removed since the listing is simply gone
      if (values && values->isRegularFile && keep(*values))
        found.push_back({std::string(entry.path), values->modified});
      return true;
    });
  } catch (const fs::filesystem_error& error) {
    if (error.path1() != root) throw;  // only the root's listing is forgiven
    return {};
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const FoundFile& a, const FoundFile& b) { return a.modified > b.modified; });
  return found;
}

bool hasExtension(std::string_view name, std::string_view extension) {
  std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot > 0 && name.substr(dot + 1) == extension;
}

// --- writing ------------------------------------------------------------------

void createDirectories(const fs::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) throwErrno("cannot create directory", path, ENOTDIR);
    return;
  }
  if (errno != ENOENT) throwErrno("cannot create directory", path, errno);
  if (fs::path parent = path.parent_path(); !parent.empty() && parent != path)
    createDirectories(parent);
  if (::mkdir(path.c_str(), 0700) != 0) {
    if (errno == EEXIST) return;  // another process was quicker
    throwErrno("cannot create directory", path, errno);
  }
  // The umask may have taken bits away; the directory is the owner's alone.
  if (::chmod(path.c_str(), 0700) != 0) throwErrno("cannot set permissions", path, errno);
}

AtomicFile::AtomicFile(const fs::path& path, mode_t mode) : path_(path), mode_(mode) {
  fs::path directory = path.parent_path();
  if (directory.empty()) directory = ".";
  // Hidden, and ending in a hexadecimal digit: never taken for a record.
  temporary_ = directory / ("." + path.filename().string() + "-" + randomUUID());
  fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) throwErrno("cannot create temporary file", temporary_, errno);
}

AtomicFile::~AtomicFile() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(temporary_.c_str());
}

void AtomicFile::append(std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throwErrno("cannot write file", temporary_, errno);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void AtomicFile::commit() {
  // The mode is set before the file takes the target's place, so that an
  // executable is never found there without its execute bits.
  if (::fchmod(fd_, mode_) != 0) throwErrno("cannot set permissions", temporary_, errno);
  if (::fsync(fd_) != 0) throwErrno("cannot write file", temporary_, errno);
  if (::rename(temporary_.c_str(), path_.c_str()) != 0)
    throwErrno("cannot replace file", path_, errno);
  ::close(fd_);
  fd_ = -1;
}

void replaceAtomically(const fs::path& path, std::string_view data, mode_t mode) {
  AtomicFile file(path, mode);
  file.append(data);
  file.commit();
}

void copyAtomically(const fs::path& source, const fs::path& target, mode_t mode,
                    std::uint64_t limit) {
  FileReader from(source);
  if (!from.isRegularFile() || from.size() > limit) throw StatusError(StatusError::invalidRecord);
  AtomicFile copy(target, mode);
  char chunk[1 << 16];
  std::uint64_t total = 0;
  for (std::size_t n; (n = from.read(total, sizeof chunk, chunk)) > 0;) {
    // A source that grows past the limit while copied is refused as well.
    if ((total += n) > limit) throw StatusError(StatusError::invalidRecord);
    copy.append({chunk, n});
  }
  copy.commit();
}

void removeFile(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
    throwErrno("cannot remove file", path, errno);
}

// --- the user -------------------------------------------------------------------

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

[[noreturn]] void throwErrno(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

}  // namespace lantrel::files
