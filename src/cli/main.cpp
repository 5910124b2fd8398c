// lantrel-status: parse the arguments, run one command, print, exit.
// Exit status 0 after a command completes, 1 after any error, with the
// error and the usage text on standard error.

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "lantrel/claude_hook_store.hpp"
#include "lantrel/desktop_attention.hpp"
#include "lantrel/session_reader.hpp"
#include "lantrel/status_store.hpp"
#include "lantrel/task_status.hpp"
#include "lantrel/visible_state.hpp"
#include "program.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace {

using namespace lantrel;
using Arguments = std::vector<std::string>;

constexpr std::string_view usage =
    "lantrel-status set ID working|waiting|done|failed|unknown NAME [--directory PATH]\n"
    "lantrel-status remove ID [--directory PATH]\n"
    "lantrel-status list [--directory PATH]\n"
    "lantrel-status codex\n"
    "lantrel-status claude-hook\n"
    "\n"
    "IDs use letters, digits, hyphens and underscores. Quote multi-word names.\n"
    "Working/waiting signals expire to unknown after 5 minutes; repeat set as a heartbeat.\n"
    "Files stay local. No Codex settings or shell profiles are changed. Claude hooks write "
    "status metadata only.";

using program::writeAll;

void requireCount(const Arguments& args, std::size_t count) {
  if (args.size() != count) throw StatusError(StatusError::invalidRecord);
}

std::string setCommand(const StatusStore& store, const Arguments& args) {
  requireCount(args, 4);
  const std::string& id = args[1];
  auto state = lightState(args[2]);
  if (!state) throw StatusError(StatusError::invalidRecord);
  // The store refuses a blank name before it looks at the ID.
  std::string name = text::repairUTF8(args[3]);
  store.write(TaskStatus(id, name, *state, Instant::now(), std::string(localSource)));
  return std::string(label(*state)) + ": " + name + "\n";
}

std::string removeCommand(const StatusStore& store, const Arguments& args) {
  requireCount(args, 2);
  store.remove(args[1]);
  return {};
}

std::string listCommand(const StatusStore& store, const Arguments& args) {
  requireCount(args, 1);
  return encodePretty(store.load()) + "\n";
}

// Appends one output field; a tab or line break inside it would split the
// line for whoever reads it, so those become spaces.
void appendField(std::string& out, std::string_view field) {
  for (char c : field) out.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
}

// The Codex tasks the transcripts reveal, each with the state the menu bar
// would show: "label TAB name TAB project" per line, newest first.
std::string codexCommand(const Arguments& args) {
  requireCount(args, 1);
  const char* configured = std::getenv("CODEX_HOME");
  std::filesystem::path home =
      configured ? std::filesystem::path(configured) : files::homeDirectory() / ".codex";
  // The tasks, and with them one read of the desktop app's global state:
  // the project names of those tasks and the unread set.
  CodexGlobalState global;
  std::vector<TaskStatus> tasks = SessionReader::load(home, Instant::now(), 30, &global);
  // Without the desktop app's unread set no Codex task counts as read, and
  // without the automation read times no scheduled run does.
  CodexAutomationReadState automations;
  try {
    automations = CodexAutomationReadState::load(CodexAutomationReadState::defaultURL());
  } catch (const std::exception&) {
  }
  TaskReadState readState(std::move(global.readState), std::move(automations), ClaudeReadState(),
                          OrcaReadState());

  std::vector<DesktopAttention::Record> records =
      DesktopAttention::load(DesktopAttention::defaultDirectory(), Instant::now());
  tasks = DesktopAttention::applying(records, std::move(tasks), Instant::now());

  std::string out;
  for (const TaskStatus& task : tasks) {
    out.append(label(task.visibleState(Instant::now(), readState)));
    out.push_back('\t');
    appendField(out, task.name);
    out.push_back('\t');
    appendField(out, task.projectName.value_or(""));
    out.push_back('\n');
  }
  return out;
}

// Standard input up to `limit` bytes; a closed one reads as /dev/null.
std::string readInput(std::size_t limit) {
  std::string data(limit, '\0');
  std::size_t filled = 0;
  for (ssize_t n; filled < limit; filled += static_cast<std::size_t>(n)) {
    n = ::read(STDIN_FILENO, data.data() + filled, limit - filled);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) n = 0;
    else if (n < 0) files::throwErrno("cannot read standard input", "/dev/stdin", errno);
  }
  data.resize(filled);
  return data;
}

std::string claudeHookCommand(const Arguments& args) {
  requireCount(args, 1);
  // One byte more than an event may have tells an oversized event without
  // reading all of it.
  std::string event = readInput(ClaudeHookStore::maximumEventBytes + 1);
  if (event.size() > ClaudeHookStore::maximumEventBytes)
    throw StatusError(StatusError::invalidRecord);
  ClaudeHookStore{ClaudeHookStore::defaultDirectory()}.ingest(event, Instant::now());
  return {};
}

// Returns what the command prints on standard output; throws on any error.
std::string run(Arguments args) {
  StatusStore store{StatusStore::defaultDirectory()};
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--directory") continue;
    if (i + 1 == args.size()) throw StatusError(StatusError::invalidRecord);
    store.directory = std::filesystem::absolute(args[i + 1]);
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
               args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    break;
  }
  if (args.empty()) throw StatusError(StatusError::invalidRecord);
  const std::string& command = args[0];
  if (command == "set") return setCommand(store, args);
  if (command == "remove") return removeCommand(store, args);
  if (command == "list") return listCommand(store, args);
  if (command == "codex") return codexCommand(args);
  if (command == "claude-hook") return claudeHookCommand(args);
  if (command == "--help" || command == "-h") return std::string(usage) + "\n";
  throw StatusError(StatusError::invalidRecord);
}

}  // namespace

int main(int argc, char** argv) {
  program::keepFreedMemory();
  // Listing Codex tasks builds megabytes of transcripts, names and parsed
  // state; the whole heap is advised before anything lands on it.
  if (argc > 1 && std::string_view(argv[1]) == "codex") program::useHugePagesForHeap();
  bool outputOpen = program::reserveStandardDescriptors();
  std::string message;
  try {
    std::string output = run(Arguments(argv + 1, argv + argc));
    if (!output.empty()) program::writeOutput(outputOpen, output);
    return 0;
  } catch (const std::exception& error) {
    message = text::repairUTF8(error.what());
  } catch (...) {
    message = "unexpected error";
  }
  writeAll(STDERR_FILENO, "Lantrel status: " + message + "\n" + std::string(usage) + "\n");
  return 1;
}
