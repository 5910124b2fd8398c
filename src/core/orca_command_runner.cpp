// The child process behind OrcaCommandRunner: spawned with a fixed
// environment, read through two non-blocking pipes, and never left running
// or unreaped, whatever way the run ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>

#include "lantrel/orca_navigation.hpp"
#include "support/background.hpp"
#include "support/files.hpp"

namespace lantrel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t chunkBytes = 16384;
constexpr auto pollInterval = std::chrono::milliseconds(10);

// The read end of one of the child's output pipes.
struct Pipe {
  int fd = -1;
  bool open = true;  // false once the child's side is closed and drained
  Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    if (fd >= 0) ::close(fd);
  }
};

// Both ends of a fresh pipe, close-on-exec so no other child inherits them.
void makePipe(Pipe& reader, int& writer) {
  int ends[2];
#ifdef __APPLE__
  // No pipe2 here; the spawn closes every descriptor it is not given
  // (POSIX_SPAWN_CLOEXEC_DEFAULT), and these are marked right away.
  if (::pipe(ends) != 0) files::throwErrno("cannot create pipe", {}, errno);
  ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(ends, O_CLOEXEC) != 0) files::throwErrno("cannot create pipe", {}, errno);
#endif
  reader.fd = ends[0];
  writer = ends[1];
}

// Kills the process group that a child of ours leads, and the child, and
// reaps it. A pid below 2 names no child of ours (-1 would signal every
// process the user may signal and wait for any child, 0 our own group), so
// it is refused here, whatever the caller's bookkeeping says.
void killAndReapGroup(pid_t leader, int& status) {
  if (leader < 2) return;
  ::kill(-leader, SIGKILL);
  ::kill(leader, SIGKILL);
  while (::waitpid(leader, &status, 0) < 0 && errno == EINTR) {
  }
}

// Owns the running child: unless it has been reaped, it is killed (with its
// process group) and reaped when this goes, so no early end leaves it behind.
struct Child {
  pid_t pid = -1;
  bool reaped = false;
  // False when the child was reaped by the system instead (a host that
  // ignores SIGCHLD): its exit status is lost.
  bool statusKnown = true;
  int status = 0;

  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { killAndReap(); }

  // Whether the child has ended; reaps it when it has.
  bool exited() {
    if (reaped) return true;
    pid_t r;
    do r = ::waitpid(pid, &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == pid) reaped = true;
    if (r < 0 && errno == ECHILD) reaped = true, statusKnown = false;
    return reaped;
  }

  void killAndReap() {
    if (pid <= 0 || reaped) return;
    // The child leads its own group; until it is reaped its ID cannot be
    // reused, so this reaches only it and whatever it started.
    killAndReapGroup(pid, status);
    reaped = true;
  }
};

struct SpawnSettings {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSettings() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;
};

Clock::time_point deadlineAfter(double timeout) {
  Clock::time_point start = Clock::now();
  if (std::isnan(timeout) || timeout <= 0) return start;
  // Beyond a century is no limit at all (and would overflow the clock).
  if (timeout > 3.2e9) return Clock::time_point::max();
  return start + std::chrono::duration_cast<Clock::duration>(
                     std::chrono::duration<double>(timeout));
}

class Supervisor {
 public:
  Supervisor(double timeout, std::int64_t outputLimit)
      : timeout_(timeout), outputLimit_(outputLimit) {}

  std::string run(const std::filesystem::path& executable,
                  const std::vector<std::string>& arguments) {
    start(executable, arguments);
    deadline_ = deadlineAfter(timeout_);
    for (;;) {
      drain(true);
      if (child_.exited()) {
        drain(false);
        return finish();
      }
      if (Clock::now() >= deadline_) expire();
      wait();
    }
  }

 private:
  void start(const std::filesystem::path& executable, const std::vector<std::string>& arguments) {
    std::string home = files::homeDirectory().string();
    std::vector<std::string> environment = {"HOME=" + home, "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
                                            "LANG=en_US.UTF-8"};
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    // A relative path means the caller's directory, not the child's.
    std::string program = std::filesystem::absolute(executable).string();
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    int outWriter = -1, errWriter = -1;
    makePipe(out_, outWriter);
    try {
      makePipe(err_, errWriter);
    } catch (...) {
      ::close(outWriter);
      throw;
    }

    SpawnSettings settings;
    posix_spawn_file_actions_addopen(&settings.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&settings.actions, outWriter, 1);
    posix_spawn_file_actions_adddup2(&settings.actions, errWriter, 2);
    posix_spawn_file_actions_addchdir_np(&settings.actions, home.c_str());
    // A group of its own, so a kill reaches what the tool starts; default
    // signal handling and an empty mask whatever this thread had.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&settings.attributes, &none);
    posix_spawnattr_setsigdefault(&settings.attributes, &defaults);
    posix_spawnattr_setpgroup(&settings.attributes, 0);
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef __APPLE__
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    posix_spawnattr_setflags(&settings.attributes, flags);

    pid_t pid;
    int rc = ::posix_spawn(&pid, program.c_str(), &settings.actions, &settings.attributes,
                           argv.data(), envp.data());
    ::close(outWriter);
    ::close(errWriter);
    if (rc != 0) files::throwErrno("cannot start process", executable, rc);
    child_.pid = pid;
    ::fcntl(out_.fd, F_SETFL, ::fcntl(out_.fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(err_.fd, F_SETFL, ::fcntl(err_.fd, F_GETFL) | O_NONBLOCK);
  }

  // Reads standard output, then standard error, until neither has data
  // ready; `checkDeadline` ends the run once the deadline passes.
  void drain(bool checkDeadline) {
    drain(out_, &output_, checkDeadline);
    drain(err_, nullptr, checkDeadline);
  }

  void drain(Pipe& pipe, std::string* keep, bool checkDeadline) {
    char chunk[chunkBytes];
    while (pipe.open) {
      ssize_t n = ::read(pipe.fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // End of file, or a failed read: nothing more will come.
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) pipe.open = false;
        return;
      }
      total_ += n;
      if (total_ > outputLimit_) end(OrcaNavigationError::outputLimit);
      if (keep) keep->append(chunk, static_cast<std::size_t>(n));
      if (checkDeadline && Clock::now() >= deadline_) expire();
    }
  }

  // Waits for output or the next look at the child, whichever comes first.
  void wait() {
    auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
    int timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(
        1, std::min(remaining.count(), std::chrono::milliseconds(pollInterval).count())));
    pollfd fds[2];
    nfds_t count = 0;
    if (out_.open) fds[count++] = {out_.fd, POLLIN, 0};
    if (err_.open) fds[count++] = {err_.fd, POLLIN, 0};
    ::poll(fds, count, timeout);  // EINTR just means looking again sooner
  }

  void expire() {
    if (child_.exited()) return;  // let the caller collect what it left
    end(OrcaNavigationError::timedOut);
  }

  [[noreturn]] void end(OrcaNavigationError::Code code) {
    child_.killAndReap();
    throw OrcaNavigationError(code);
  }

  std::string finish() {
    // An exit status nobody can know is no success.
    if (!child_.statusKnown) throw OrcaNavigationError(OrcaNavigationError::unavailable);
    bool success = WIFEXITED(child_.status) && WEXITSTATUS(child_.status) == 0;
    if (success && !output_.empty()) return std::move(output_);
    if (!success) OrcaNavigator::result(output_);  // throws Orca's own error
    throw OrcaNavigationError(OrcaNavigationError::unavailable);
  }

  double timeout_;
  std::int64_t outputLimit_;
  Clock::time_point deadline_;
  std::int64_t total_ = 0;
  Pipe out_, err_;  // closed after the child is reaped (members go in reverse)
  Child child_;
  std::string output_;
};

}  // namespace

std::future<std::string> OrcaCommandRunner::run(const std::filesystem::path& executable,
                                                const std::vector<std::string>& arguments) const {
  return runInBackground([timeout = timeout_, outputLimit = outputLimit_, executable, arguments] {
    return Supervisor(timeout, outputLimit).run(executable, arguments);
  });
}

}  // namespace lantrel
