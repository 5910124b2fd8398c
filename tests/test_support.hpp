// Helpers shared by the tests: temporary directories, small file writers and
// a runner for the built command-line tool.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lantrel/errors.hpp"

extern char** environ;

namespace lantrel::testing {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "lantrel-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& p) const { return path_ / p; }

 private:
  fs::path path_;
};

inline void writeFile(const fs::path& path, std::string_view data) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline mode_t modeOf(const fs::path& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Sets a file's modification time to `unixSeconds`.
inline void touch(const fs::path& path, double unixSeconds) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(unixSeconds);
  times[0].tv_nsec = times[1].tv_nsec =
      static_cast<long>((unixSeconds - static_cast<double>(times[0].tv_sec)) * 1e9);
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// lantrel_tests replaces openat(2) (in session_reader_test.cpp) so that a file
// can vanish between a reader's listing and its read: an open of this path
// first removes the file.
inline std::string vanishing;

// What calling `f` throws: a StatusError's case name ("invalidRecord"),
// "DecodingError: " and its text, "other: " and its text, or "no error".
template <typename F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const StatusError& e) {
    return e.what();
  } catch (const DecodingError& e) {
    return std::string("DecodingError: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "no error";
}

// Whether `dropFuture`, which starts some work and drops the future it
// gets, returns while that work is still held up; `release` lets the work
// go on, and is called only once `dropFuture` has returned (or, when it
// waits for the work instead, after 30 seconds). The work should keep the
// token it is given until it ends; the test waits for that and for the
// threads the work ran on to end, so that no work is left running while the
// process exits (and its static objects are destroyed).
inline bool returnsWithoutWaiting(const std::function<void(std::shared_ptr<void>)>& dropFuture,
                                  const std::function<void()>& release) {
  auto threads = [] { return std::distance(fs::directory_iterator("/proc/self/task"), {}); };
  auto threadsBefore = threads();
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> inFlight = token;
  std::promise<void> returned;
  std::future<void> done = returned.get_future();
  std::thread caller([&, token = std::move(token)]() mutable {
    dropFuture(std::move(token));
    returned.set_value();
  });
  bool before = done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  release();
  caller.join();
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto ended = [&] { return inFlight.expired() && threads() <= threadsBefore; };
  while (!ended() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return before && ended();
}

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the process did not exit normally
};

// Runs `program` with `args`, the current environment changed by `env`
// (an empty value removes the variable), and `input` on standard input.
inline RunResult run(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env = {},
                     const std::string& input = {}, const fs::path& workingDirectory = {}) {
  std::vector<std::string> envStrings, argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  for (char** e = environ; *e; ++e)  // the variables `env` does not name
    if (!env.count(std::string(*e, std::strcspn(*e, "=")))) envStrings.push_back(*e);
  for (const auto& [k, v] : env)
    if (!v.empty()) envStrings.push_back(k + "=" + v);
  auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
  };
  std::vector<char*> envp = pointers(envStrings), argv = pointers(argStrings);

  // Standard input, output and error are unlinked temporary files, so
  // neither side can block on a full pipe.
  std::FILE* streams[3] = {std::tmpfile(), std::tmpfile(), std::tmpfile()};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int i = 0; i < 3; ++i) {
    if (!streams[i]) throw std::runtime_error("tmpfile failed");
    ::fcntl(::fileno(streams[i]), F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_adddup2(&actions, ::fileno(streams[i]), i);
  }
  std::fwrite(input.data(), 1, input.size(), streams[0]);
  std::rewind(streams[0]);
  if (!workingDirectory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  pid_t pid;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  int wstatus = 0;
  if (rc == 0) ::waitpid(pid, &wstatus, 0);
  RunResult result;
  for (int i = 0; i < 3; ++i) {
    std::rewind(streams[i]);
    char buffer[65536];
    for (std::size_t n; i > 0 && (n = std::fread(buffer, 1, sizeof buffer, streams[i])) > 0;)
      (i == 1 ? result.out : result.err).append(buffer, n);
    std::fclose(streams[i]);
  }
  if (rc != 0) throw std::runtime_error("spawn failed: " + program);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return result;
}

}  // namespace lantrel::testing
