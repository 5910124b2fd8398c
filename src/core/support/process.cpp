#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "support/files.hpp"

extern char** environ;

namespace lantrel::process {

namespace {

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

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

Child::Child(const std::string& program, const std::vector<std::string>& arguments,
             const std::vector<std::string>& environment, const std::string& directory) {
  std::vector<std::string> argStrings{program}, envStrings = environment;
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = pointers(argStrings), envp = pointers(envStrings);

  // Close-on-exec from the start, so that no other child inherits them.
  int writers[2] = {-1, -1};
  for (int stream : {output, error}) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      int failed = errno;
      for (int fd : {writers[0], writers[1], pipes_[0], pipes_[1]})
        if (fd >= 0) ::close(fd);
      files::throwErrno("cannot create pipe", program, failed);
    }
    pipes_[stream] = ends[0];
    writers[stream] = ends[1];
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writers[output], 1);
  posix_spawn_file_actions_adddup2(&actions, writers[error], 2);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int failed =
      ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (int w : writers) ::close(w);
  if (failed) {
    pid_ = -1;
    for (int r : pipes_) ::close(r);
    files::throwErrno("cannot start process", program, failed);
  }
  for (int stream : {output, error}) {
    ::fcntl(pipes_[stream], F_SETFL, ::fcntl(pipes_[stream], F_GETFL) | O_NONBLOCK);
    open_[stream] = true;
  }
}

Child::~Child() {
  kill();
  for (int r : pipes_)
    if (r >= 0) ::close(r);
}

std::optional<std::size_t> Child::read(Stream stream, char* out, std::size_t size) {
  while (open_[stream]) {
    ssize_t n = ::read(pipes_[stream], out, size);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
    open_[stream] = false;  // the end, or a failed read: nothing more will come
  }
  return 0;
}

void Child::waitForOutput(std::chrono::milliseconds timeout) {
  pollfd fds[2];
  nfds_t count = 0;
  for (int stream : {output, error})
    if (open_[stream]) fds[count++] = {pipes_[stream], POLLIN, 0};
  ::poll(fds, count, static_cast<int>(timeout.count()));  // EINTR: just look again sooner
}

bool Child::exited() {
  if (reaped_) return true;
  pid_t r;
  do r = ::waitpid(pid_, &status_, WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r == pid_) reaped_ = true;
  if (r < 0 && errno == ECHILD) reaped_ = true, statusKnown_ = false;
  return reaped_;
}

Child::Ending Child::ending() const {
  if (!statusKnown_) return Ending::unknown;
  return WIFEXITED(status_) && WEXITSTATUS(status_) == 0 ? Ending::success : Ending::failure;
}

void Child::kill() {
  if (pid_ <= 0 || reaped_) return;
  // The child leads its own group; until it is reaped its ID cannot be
  // reused, so this reaches only it and whatever it started.
  killAndReapGroup(pid_, status_);
  reaped_ = true;
}

void runAndWait(const std::vector<std::string>& arguments) {
  std::vector<std::string> strings = arguments;
  std::vector<char*> argv = pointers(strings);
  pid_t pid;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return;
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace lantrel::process
