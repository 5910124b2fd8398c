// lantrel: every agent task at a glance, on a terminal or in a status bar,
// read exactly as the menu bar application reads it (see snapshot.hpp).
// Exit status 0 after a command completes, 1 after an error that stops it,
// with one line on standard error.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "lantrel/orca_navigation.hpp"
#include "render.hpp"
#include "snapshot.hpp"
#include "program.hpp"

namespace {

using namespace lantrel;
using namespace lantrel::view;
namespace fs = std::filesystem;

constexpr std::string_view usage =
    "lantrel [--json] [--watch [SECONDS]] [--window HOURS]\n"
    "lantrel read ID... | lantrel read --all [--window HOURS]\n"
    "lantrel open ID [--orca PATH]\n"
    "lantrel --help\n"
    "\n"
    "Shows the agent tasks of Codex, Claude Code, Orca panes and your own scripts\n"
    "as the menu bar does: its title, the lamp counts (red waiting or failed, amber\n"
    "working, blue finished unread, green finished read), then one line per task:\n"
    "lamp, state, name, project, source, how long ago it changed, and its ID.\n"
    "\n"
    "  --json             one JSON object for status bars: text, tooltip, class, counts\n"
    "  --watch [SECONDS]  redraw every SECONDS (default 2) until q or Ctrl-C\n"
    "  --window HOURS     list tasks changed in the last 1, 2, 4 or 24 hours (default 24)\n"
    "  read ID...         mark tasks read; --all marks every unread task listed\n"
    "  open ID            bring the task's Orca pane to the front, or print its app link\n"
    "  --orca PATH        Orca's command-line tool (default $LANTREL_ORCA, else orca)\n"
    "\n"
    "Colours only on a terminal, never with NO_COLOR set. LANTREL_NOW (seconds since\n"
    "2001 or ISO 8601) fixes the current time, for tests.\n";

struct Options {
  std::string command;  // empty for the view, "read" or "open"
  std::vector<std::string> ids;
  bool help = false, json = false, watch = false, all = false, window = false;
  double interval = 2;
  ActivityWindow activity = ActivityWindow::day;
  std::optional<fs::path> orca;
};

// Whether standard output was open at start. A closed one gets /dev/null (so
// that no file lands on descriptor 1), and writing to it must still fail.
bool outputOpen = true;

// Set by the signals that end the watch.
volatile sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

using program::writeAll;

void print(std::string_view data, bool stoppable = false) {
  program::writeOutput(outputOpen, data, stoppable ? &stopRequested : nullptr);
}

void warn(const std::string& line) {
  writeAll(STDERR_FILENO, "lantrel: " + printable(line) + "\n");
}

double number(const std::string& text, const std::string& what, double least, double most) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end || !std::isfinite(value) || value < least || value > most)
    throw std::runtime_error("invalid " + what + " '" + text + "'");
  return value;
}

Options parse(std::vector<std::string> args) {
  Options o;
  if (!args.empty() && (args[0] == "read" || args[0] == "open")) {
    o.command = args[0];
    args.erase(args.begin());
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 == args.size()) throw std::runtime_error(arg + " needs a value");
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "--all") {
      o.all = true;
    } else if (arg == "--watch") {
      o.watch = true;
      if (i + 1 < args.size() && args[i + 1].rfind('-', 0) != 0)
        o.interval = number(args[++i], "--watch interval", 0.1, 86400);
    } else if (arg == "--window") {
      const std::string& hours = value();
      double h = number(hours, "--window hours", 1, 24);
      auto window = ActivityWindow::fromRawValue(static_cast<int>(h));
      if (!window || h != std::floor(h))
        throw std::runtime_error("invalid --window hours '" + hours + "'");
      o.activity = *window;
      o.window = true;
    } else if (arg == "--orca") {
      o.orca = fs::absolute(value());
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw std::runtime_error("unknown option " + arg);
    } else {
      o.ids.push_back(arg);
    }
  }
  if (o.help) return o;
  std::string where = o.command.empty() ? "the view" : o.command;
  auto refuse = [&](bool given, const char* option) {
    if (given) throw std::runtime_error(std::string(option) + " does not go with " + where);
  };
  refuse(o.command != "open" && o.orca.has_value(), "--orca");
  refuse(o.command != "read" && o.all, "--all");
  refuse(!o.command.empty() && o.json, "--json");
  refuse(!o.command.empty() && o.watch, "--watch");
  refuse(o.command == "open" && o.window, "--window");
  if (o.command.empty() && !o.ids.empty())
    throw std::runtime_error("unexpected argument " + o.ids[0]);
  if (o.command == "read" && o.all == !o.ids.empty())
    throw std::runtime_error("read needs task IDs or --all");
  if (o.command == "open" && o.ids.size() != 1) throw std::runtime_error("open needs one task ID");
  return o;
}

// The real clock, or the instant LANTREL_NOW names (for tests).
Instant currentTime() {
  const char* fixed = std::getenv("LANTREL_NOW");
  if (!fixed || !*fixed) return Instant::now();
  if (auto at = Instant::parseISO8601(fixed)) return *at;
  return Instant{number(fixed, "LANTREL_NOW", -HUGE_VAL, HUGE_VAL)};
}

bool colourWanted() {
  const char* noColour = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  return ::isatty(STDOUT_FILENO) && !(noColour && *noColour) &&
         !(term && std::string_view(term) == "dumb");
}

Snapshot gather() {
  Snapshot snapshot = Snapshot::gather(currentTime());
  for (const std::string& problem : snapshot.problems) warn(problem);
  return snapshot;
}

const TaskStatus& task(const Snapshot& snapshot, const std::string& id) {
  const TaskStatus* found = snapshot.find(id);
  if (!found) throw std::runtime_error("no task has the ID " + id);
  return *found;
}

void show(const Options& o) {
  Snapshot snapshot = gather();
  std::vector<Row> rows = listed(snapshot, o.activity);
  print(o.json ? json(rows, o.activity) + "\n"
               : text(rows, snapshot.now, o.activity, colourWanted()));
}

// --- watch -------------------------------------------------------------------

// The terminal as the watch needs it: keys arrive one by one without echo
// (Ctrl-C still interrupts; Ctrl-Z, which would stop the view with the
// terminal changed, does nothing), and the view has a screen of its own with
// the cursor hidden and long lines cut rather than wrapped. The destructor
// puts everything back, on every way out.
class Terminal {
 public:
  Terminal(bool keys, bool screen) : screen_(screen) {
    if (keys && ::tcgetattr(STDIN_FILENO, &saved_) == 0) {
      termios changed = saved_;
      changed.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
      changed.c_cc[VMIN] = 1;
      changed.c_cc[VTIME] = 0;
      changed.c_cc[VSUSP] = _POSIX_VDISABLE;
      keys_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &changed) == 0;
    }
    if (screen_) writeAll(STDOUT_FILENO, "\033[?1049h\033[?25l\033[?7l");
  }
  ~Terminal() {
    if (screen_) writeAll(STDOUT_FILENO, "\033[?7h\033[?25h\033[?1049l");
    if (keys_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

 private:
  termios saved_{};
  bool keys_ = false;
  bool screen_;
};

// Waits up to `seconds`; true when the view should end: q typed, a stop
// signal, or the terminal gone. The stop signals are blocked everywhere but
// here and in writing, so one that arrives while a snapshot is read ends
// this wait at once.
bool waitForQuit(bool keys, double seconds, const sigset_t& unblocked) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (stopRequested) return true;
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    timespec timeout = {static_cast<time_t>(left.count() / 1000000000),
                        static_cast<long>(left.count() % 1000000000)};
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    int ready = ::ppoll(&input, keys ? 1 : 0, &timeout, &unblocked);
    if (ready < 0 && errno != EINTR)
      throw std::system_error(errno, std::generic_category(), "cannot wait for input");
    if (ready <= 0) continue;
    char typed[64];
    ssize_t n = ::read(STDIN_FILENO, typed, sizeof typed);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
    if (n > 0 && (std::memchr(typed, 'q', static_cast<std::size_t>(n)) ||
                  std::memchr(typed, 'Q', static_cast<std::size_t>(n))))
      return true;
  }
}

// On a terminal the view is redrawn in place; otherwise each refresh appends
// one JSON line, or the whole text and a blank line, and a source's problem
// goes to standard error once rather than on every refresh.
void watch(const Options& o) {
  bool screen = !o.json && ::isatty(STDOUT_FILENO);
  bool keys = ::isatty(STDIN_FILENO);
  sigset_t stops, unblocked;
  sigemptyset(&stops);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaddset(&stops, signal);
    struct sigaction action {};
    action.sa_handler = requestStop;
    ::sigaction(signal, &action, nullptr);
  }
  ::sigprocmask(SIG_BLOCK, &stops, &unblocked);
  ::signal(SIGPIPE, SIG_IGN);  // a reader that goes away is a write error
  bool colour = colourWanted();
  char every[64];
  std::snprintf(every, sizeof every, "Every %gs · q quits", o.interval);

  Terminal terminal(keys, screen);
  std::set<std::string> reported;
  do {
    Snapshot snapshot = Snapshot::gather(currentTime());
    std::vector<Row> rows = listed(snapshot, o.activity);
    std::string out;
    if (screen) {
      std::string body = text(rows, snapshot.now, o.activity, colour);
      for (const std::string& problem : snapshot.problems) body += "! " + printable(problem) + "\n";
      body +=
          std::string("\n") + (colour ? "\033[2m" : "") + every + (colour ? "\033[0m" : "") + "\n";
      out = "\033[H";
      for (char c : body) c == '\n' ? void(out.append("\033[K\n")) : out.push_back(c);
      out.append("\033[J");
    } else {
      for (const std::string& problem : snapshot.problems)
        if (reported.insert(problem).second) warn(problem);
      out = o.json ? json(rows, o.activity) + "\n"
                   : text(rows, snapshot.now, o.activity, colour) + "\n";
    }
    ::sigprocmask(SIG_SETMASK, &unblocked, nullptr);
    try {
      print(out, true);
    } catch (const std::system_error&) {
      if (!stopRequested) throw;
    }
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
  } while (!waitForQuit(keys, o.interval, unblocked));
}

// --- read and open ---------------------------------------------------------

// Marks each task read in the read state that decides it, then saves the
// states that changed. Tasks whose read state is not ours to write are named
// on standard error and left as they are.
void markRead(const Options& o) {
  Snapshot snapshot = gather();
  std::vector<const TaskStatus*> chosen;
  if (o.all) {
    for (const Row& row : listed(snapshot, o.activity))
      if (row.shown == LightState::unread) chosen.push_back(row.task);
  } else {
    for (const std::string& id : o.ids) chosen.push_back(&task(snapshot, id));
  }

  TaskReadState& state = snapshot.readState;
  std::set<fs::path> changed;
  auto writable = [&](const fs::path& url, const TaskStatus& t) {
    for (const fs::path& bad : snapshot.unreadableStates)
      if (bad == url)
        throw std::runtime_error("cannot mark " + t.id + " read: " + url.string() +
                                 " could not be read");
    changed.insert(url);
  };
  std::string out;
  for (const TaskStatus* t : chosen) {
    using Keeper = TaskReadState::Keeper;
    Keeper keeper = TaskReadState::keeperOf(*t);
    if (keeper == Keeper::orca) {
      writable(OrcaReadState::defaultURL(), *t);
      state.orca.markRead(*t);
    } else if (keeper == Keeper::claude) {
      writable(ClaudeReadState::defaultURL(), *t);
      state.claude.markRead(*t, snapshot.now);
    } else if (keeper == Keeper::codexAutomations) {
      writable(CodexAutomationReadState::defaultURL(), *t);
      state.codexAutomations.markRead(*t, snapshot.now);
    } else {
      warn(t->id + (keeper == Keeper::codex
                        ? ": the Codex app keeps this task's read state; open it there"
                        : ": a local task cannot be marked read"));
      continue;
    }
    out +=
        std::string(label(t->visibleState(snapshot.now, state))) + ": " + printable(t->name) + "\n";
  }
  if (changed.count(OrcaReadState::defaultURL())) {
    // Keep the panes of the listed tasks, as the application does whenever
    // it saves this state.
    state.orca.remember(snapshot.tasks, snapshot.now);
    state.orca.save(OrcaReadState::defaultURL());
  }
  if (changed.count(ClaudeReadState::defaultURL()))
    state.claude.save(ClaudeReadState::defaultURL());
  if (changed.count(CodexAutomationReadState::defaultURL()))
    state.codexAutomations.save(CodexAutomationReadState::defaultURL());
  print(out);
}

// Orca's command-line tool: --orca, else $LANTREL_ORCA, else orca in PATH.
fs::path orcaTool(const Options& o) {
  if (o.orca) return *o.orca;
  if (const char* configured = std::getenv("LANTREL_ORCA"); configured && *configured)
    return fs::absolute(configured);
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/bin:/bin";
  while (true) {
    std::string_view dir = dirs.substr(0, dirs.find(':'));
    fs::path candidate = fs::absolute(fs::path(dir.empty() ? "." : dir) / "orca");
    std::error_code ignored;
    if (fs::is_regular_file(candidate, ignored) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (dir.size() == dirs.size()) break;
    dirs.remove_prefix(dir.size() + 1);
  }
  throw std::runtime_error("Orca's tool orca is not in PATH; name it with --orca or LANTREL_ORCA");
}

void open(const Options& o) {
  Snapshot snapshot = gather();
  const TaskStatus& t = task(snapshot, o.ids[0]);
  std::optional<TaskOpenDestination> destination = t.openDestination();
  if (!destination) throw std::runtime_error(t.id + " has nothing to open");
  if (destination->kind == TaskOpenDestination::desktop) return print(destination->target + "\n");
  // The navigator loads a fresh index on its own thread, once or twice.
  fs::path root = OrcaSessionIndex::root();
  Instant now = snapshot.now;
  OrcaNavigator navigator(std::make_shared<OrcaCommandRunner>(10, 4'000'000));
  navigator.open(t.id, orcaTool(o), [root, now] { return OrcaSessionIndex::load(root, now); })
      .get();
  print("Opened in Orca: " + printable(t.name) + "\n");
}

}  // namespace

int main(int argc, char** argv) {
  program::keepFreedMemory();
  program::useHugePagesForHeap();  // every source is read: megabytes of files and state
  outputOpen = program::reserveStandardDescriptors();
  std::string message;
  try {
    Options o = parse(std::vector<std::string>(argv + 1, argv + argc));
    if (o.help)
      print(usage);
    else if (o.command == "read")
      markRead(o);
    else if (o.command == "open")
      open(o);
    else if (o.watch)
      watch(o);
    else
      show(o);
    return 0;
  } catch (const std::exception& error) {
    message = error.what();
  } catch (...) {
    message = "unexpected error";
  }
  warn(message);
  return 1;
}
