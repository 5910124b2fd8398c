// Bringing a task's Orca pane to the front through Orca's own command-line
// tool: list the terminals to find the pane's handle, then switch to it.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lantrel/orca_session_index.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

// Why Orca could not show a task. description() is the text for the user;
// what() returns the same text.
class OrcaNavigationError : public std::exception {
 public:
  enum Code {
    failed,           // Orca answered with an error (failureCode() says which)
    unavailable,      // the tool gave no usable answer
    invalidResponse,  // the answer does not have the expected shape
    ambiguous,        // more than one pane matches the task
    missingSession,   // no pane matches the task
    timedOut,
    outputLimit,
  };

  explicit OrcaNavigationError(Code code, std::string failureCode = {});
  static OrcaNavigationError failedWith(std::string failureCode) {
    return OrcaNavigationError(failed, std::move(failureCode));
  }

  Code code() const { return code_; }
  // Orca's error code for `failed` ("unknown" when it gave none); empty
  // for the other cases.
  const std::string& failureCode() const { return failureCode_; }
  std::string description() const { return what(); }
  const char* what() const noexcept override;

  // Equal cases, and for `failed` equal codes.
  bool operator==(const OrcaNavigationError& other) const;

 private:
  Code code_;
  std::string failureCode_;
};

// Runs Orca's command-line tool; the navigator knows Orca only through this.
class OrcaCommandRunning {
 public:
  virtual ~OrcaCommandRunning() = default;
  // The child's standard output once it has finished, or its failure.
  virtual std::future<std::string> run(const std::filesystem::path& executable,
                                       const std::vector<std::string>& arguments) const = 0;
};

// Runs the tool as a child process under a time limit and an output limit.
// The child gets the user's home as working directory, an environment of
// only HOME, PATH=/usr/bin:/bin:/usr/sbin:/sbin and LANG=en_US.UTF-8, and
// standard input from /dev/null. A child that outlives `timeout` seconds
// fails with timedOut, one that writes more than `outputLimit` bytes to its
// two outputs together fails with outputLimit; either way it is killed
// (with anything it started in its process group) and reaped.
// Exit status 0 with output gives the output; with none, unavailable. Any
// other ending gives Orca's error from the output (see OrcaNavigator::result)
// or unavailable, and so does an exit status that cannot be known (a host
// that ignores SIGCHLD lets the system reap the child). A child that cannot
// be started throws filesystem_error.
// The returned future may be dropped unread without waiting: the child is
// then still supervised to its end or its time limit on a thread of its own,
// which should end before the process exits.
class OrcaCommandRunner final : public OrcaCommandRunning {
 public:
  OrcaCommandRunner(double timeout, std::int64_t outputLimit)
      : timeout_(timeout), outputLimit_(outputLimit) {}

  double timeout() const { return timeout_; }
  std::int64_t outputLimit() const { return outputLimit_; }

  // Supervises the child on a thread of its own.
  std::future<std::string> run(const std::filesystem::path& executable,
                               const std::vector<std::string>& arguments) const override;

 private:
  double timeout_;
  std::int64_t outputLimit_;
};

class OrcaNavigator {
 public:
  explicit OrcaNavigator(std::shared_ptr<const OrcaCommandRunning> runner)
      : runner_(std::move(runner)) {}

  const std::shared_ptr<const OrcaCommandRunning>& runner() const { return runner_; }

  // Focuses the Orca pane of the task. `index` loads a fresh session index
  // each time it is called (on the operation's own thread, once or twice,
  // never concurrently); when Orca reports the terminal handle stale,
  // the index is loaded again and the whole lookup is retried once.
  // Failures arrive as OrcaNavigationError, or unchanged when they are not
  // Orca's (the index's own errors, a tool that cannot start, bad JSON).
  // The caller may drop the future unread at any time without waiting: the
  // operation then runs to its end (each run of the tool at most the
  // runner's time limit) with its own copies of the runner, the task ID and
  // `index`. Since `index` may still be called after that, it must not
  // refer to anything the caller frees (capture by value).
  std::future<void> open(std::string taskID, std::filesystem::path executable,
                         std::function<OrcaSessionIndex()> index) const;

  // The "result" object of one answer of the tool, as compact JSON text
  // (members in the answer's order). An answer larger than 4 000 000
  // bytes, not an object, or an "ok": true without an object "result" is
  // invalidResponse; an answer without "ok": true is `failed` with its
  // "error" → "code". Malformed JSON throws DecodingError.
  static std::string result(std::string_view answer);

  // The handle ("term_" and a UUID) of the connected local terminal showing
  // the referenced pane, found in the answer to `terminal list`.
  static std::string resolve(std::string_view answer, const OrcaSessionReference& reference);

 private:
  std::shared_ptr<const OrcaCommandRunning> runner_;
};

}  // namespace lantrel
