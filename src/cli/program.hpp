// What both programs, lantrel-status and lantrel, do as processes: how
// they use memory, the standard descriptors a caller left closed, and
// output that reaches the caller whole or fails the run.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <sys/mman.h>
#include <cstdint>
#include <cstdlib>
#include <cerrno>
#include <string_view>
#include <system_error>

namespace lantrel::program {

// A short run keeps what it frees, so that the next file's buffers reuse
// memory already faulted in rather than fresh pages.
inline void keepFreedMemory() {
#ifdef __GLIBC__
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
}

// Backs the heap with huge pages from here on: a run that builds megabytes
// of objects then costs a few faults instead of one per 4 KiB page (each
// costs microseconds). The heap grows once, by far more than the run needs
// (address space only), and is advised as a whole.
inline void useHugePagesForHeap() {
#if defined(__GLIBC__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge = std::uintptr_t(2) << 20;
  // A block larger than any freed so far, but below the size malloc maps
  // by itself, makes the heap grow, and by the padding as well; freed, it
  // leaves all of that free from `start` on.
  constexpr std::size_t size = (32 << 20) - huge;
  mallopt(M_TOP_PAD, 128 << 20);
  void* volatile probe = std::malloc(size);
  std::free(probe);
  mallopt(M_TOP_PAD, 128 << 10);  // the default again
  auto start = reinterpret_cast<std::uintptr_t>(probe);
  auto from = (start + huge - 1) & ~(huge - 1);
  auto to = reinterpret_cast<std::uintptr_t>(::sbrk(0)) & ~(huge - 1);
  if (!probe || to <= from) return;
  ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
  // Below `from` the heap shares its first 2 MiB with the small blocks
  // made so far, which keeps that range at 4 KiB pages. A block that is
  // never freed fills it (address space only: it is never touched), so
  // that the heap goes on from `from`: malloc places it where the probe
  // was, and a block of a multiple of 16 bytes ends exactly that far on.
  [[maybe_unused]] static void* const filler = std::malloc(from - start);
#endif
}

// Descriptors 0 to 2 that the caller left closed get /dev/null, so that no
// file the program opens lands on one of them and takes output meant for
// the caller. Returns whether standard output was open.
inline bool reserveStandardDescriptors() {
  bool outputOpen = ::fcntl(STDOUT_FILENO, F_GETFD) != -1;
  for (;;) {  // open() takes the lowest free descriptor
    int fd = ::open("/dev/null", O_RDWR);
    if (fd > STDERR_FILENO) ::close(fd);
    if (fd < 0 || fd > STDERR_FILENO) break;
  }
  return outputOpen;
}

// Delivers all of `data` or returns the errno that stopped it. A caller may
// hand over a non-blocking pipe: when it is full, wait until it drains.
// With `stop`, the write gives up with EINTR once the flag is set, so that
// a reader that stalls cannot hold the program up.
inline int writeAll(int fd, std::string_view data, const volatile sig_atomic_t* stop = nullptr) {
  while (!data.empty()) {
    if (stop && *stop) return EINTR;
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n >= 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready = {fd, POLLOUT, 0};
      ::poll(&ready, 1, -1);
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

// Standard output, whole, or the run fails: a system_error, EBADF when
// the caller left standard output closed.
inline void writeOutput(bool outputOpen, std::string_view data,
                        const volatile sig_atomic_t* stop = nullptr) {
  int error = outputOpen ? writeAll(STDOUT_FILENO, data, stop) : EBADF;
  if (error)
    throw std::system_error(error, std::generic_category(), "cannot write standard output");
}

}  // namespace lantrel::program
