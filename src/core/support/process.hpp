// Child processes: every spawn, pipe, signal and wait of the library.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace lantrel::process {

// A child started with posix_spawn: standard input from /dev/null, standard
// output and error on two pipes whose read ends never block, a process group
// of its own, default signal handling and an empty signal mask whatever the
// caller's thread had. Unless it has been reaped, the child and everything
// in its group is killed and reaped when this goes, so no early end leaves
// it behind.
class Child {
 public:
  enum Stream { output, error };
  enum class Ending { success, failure, unknown };

  // Starts `program` with `arguments` (after the program's own path) in
  // `directory`, with exactly `environment` ("NAME=value"). Throws
  // filesystem_error naming `program` when it cannot start.
  Child(const std::string& program, const std::vector<std::string>& arguments,
        const std::vector<std::string>& environment, const std::string& directory);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Up to `size` bytes of a stream into `out`: their count, 0 once the
  // stream has ended (or failed), nullopt when nothing is there yet.
  std::optional<std::size_t> read(Stream stream, char* out, std::size_t size);
  bool isOpen(Stream stream) const { return open_[stream]; }
  // Waits at most `timeout` for either open stream to have something.
  void waitForOutput(std::chrono::milliseconds timeout);

  // Whether the child has ended; reaps it when it has.
  bool exited();
  // How an exited child ended: success is exit status 0. A host that
  // ignores SIGCHLD has the system reap the child, and then nobody can know.
  Ending ending() const;
  // Kills the child's group and reaps it, if it has not been reaped yet.
  void kill();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  bool statusKnown_ = true;
  int status_ = 0;
  int pipes_[2] = {-1, -1};
  bool open_[2] = {false, false};
};

// Runs `argv` (an absolute program first) with this process's environment
// and waits for it to end. A program that cannot start is no error.
void runAndWait(const std::vector<std::string>& argv);

}  // namespace lantrel::process
