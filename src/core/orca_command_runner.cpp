// OrcaCommandRunner: Orca's tool run as a child process under a time limit
// and an output limit, read without ever blocking, and never left running
// or unreaped, whatever way the run ends.
#include <chrono>
#include <cmath>

#include "lantrel/orca_navigation.hpp"
#include "support/background.hpp"
#include "support/files.hpp"
#include "support/process.hpp"

namespace lantrel {

namespace {

using Clock = std::chrono::steady_clock;
using process::Child;

constexpr std::size_t chunkBytes = 16384;
constexpr auto pollInterval = std::chrono::milliseconds(10);

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
  Supervisor(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
             double timeout, std::int64_t outputLimit)
      // A relative path means the caller's directory, not the child's.
      : child_(std::filesystem::absolute(executable).string(), arguments,
               {"HOME=" + files::homeDirectory().string(), "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
                "LANG=en_US.UTF-8"},
               files::homeDirectory().string()),
        deadline_(deadlineAfter(timeout)),
        outputLimit_(outputLimit) {}

  std::string run() {
    for (;;) {
      drain(true);
      if (child_.exited()) {
        drain(false);
        return finish();
      }
      if (Clock::now() >= deadline_) expire();
      auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
      child_.waitForOutput(std::clamp(remaining, std::chrono::milliseconds(1), pollInterval));
    }
  }

 private:
  // Reads standard output, then standard error, until neither has data
  // ready; `checkDeadline` ends the run once the deadline passes.
  void drain(bool checkDeadline) {
    char chunk[chunkBytes];
    for (Child::Stream stream : {Child::output, Child::error}) {
      while (auto n = child_.read(stream, chunk, sizeof chunk)) {
        if (*n == 0) break;
        total_ += static_cast<std::int64_t>(*n);
        if (total_ > outputLimit_) end(OrcaNavigationError::outputLimit);
        if (stream == Child::output) output_.append(chunk, *n);
        if (checkDeadline && Clock::now() >= deadline_) expire();
      }
    }
  }

  void expire() {
    if (child_.exited()) return;  // let the caller collect what it left
    end(OrcaNavigationError::timedOut);
  }

  [[noreturn]] void end(OrcaNavigationError::Code code) {
    child_.kill();
    throw OrcaNavigationError(code);
  }

  std::string finish() {
    switch (child_.ending()) {
      case Child::Ending::success:
        if (!output_.empty()) return std::move(output_);
        break;
      case Child::Ending::failure:
        OrcaNavigator::result(output_);  // throws Orca's own error
        break;
      case Child::Ending::unknown: break;  // an exit status nobody can know is no success
    }
    throw OrcaNavigationError(OrcaNavigationError::unavailable);
  }

  Child child_;
  Clock::time_point deadline_;
  std::int64_t outputLimit_;
  std::int64_t total_ = 0;
  std::string output_;
};

}  // namespace

std::future<std::string> OrcaCommandRunner::run(const std::filesystem::path& executable,
                                                const std::vector<std::string>& arguments) const {
  return runInBackground([timeout = timeout_, outputLimit = outputLimit_, executable, arguments] {
    return Supervisor(executable, arguments, timeout, outputLimit).run();
  });
}

}  // namespace lantrel
