#include "snapshot.hpp"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <functional>
#include <stdexcept>
#include <utility>

#include "lantrel/claude_session_reader.hpp"
#include "lantrel/codex_read_state.hpp"
#include "lantrel/desktop_attention.hpp"
#include "lantrel/orca_session_index.hpp"
#include "lantrel/session_reader.hpp"
#include "lantrel/status_store.hpp"

namespace lantrel::view {
namespace {

namespace fs = std::filesystem;

// The menu bar lists at most this many Codex and this many Claude tasks.
constexpr int taskLimit = 30;

// $HOME, else the password database, as the library resolves it.
fs::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  const passwd* entry = ::getpwuid(::getuid());
  return entry && entry->pw_dir ? fs::path(entry->pw_dir) : fs::path("/");
}

// Runs one reading of a source. A failure leaves that source out with a
// line naming it, its location and the error; the other sources still show.
bool attempt(Snapshot& snapshot, const char* source, const fs::path& where,
             const std::function<void()>& read) {
  try {
    read();
    return true;
  } catch (const std::exception& error) {
    snapshot.problems.push_back(std::string(source) + " (" + where.string() +
                                ") left out: " + error.what());
    return false;
  }
}

// Loads a read-state file; one that cannot be read counts as empty and is
// remembered, so that marking never overwrites what it could not read.
template <typename State>
State loadReadState(Snapshot& snapshot, const char* name) {
  State state;
  fs::path url = State::defaultURL();
  if (!attempt(snapshot, name, url, [&] { state = State::load(url); }))
    snapshot.unreadableStates.push_back(url);
  return state;
}

void append(std::vector<TaskStatus>& to, std::vector<TaskStatus> from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// waiting, failed, working, unread, done as the menu counts them; unknown,
// which has no place there, last.
int menuPosition(LightState state) {
  switch (state) {
    case LightState::waiting: return 0;
    case LightState::failed: return 1;
    case LightState::working: return 2;
    case LightState::unread: return 3;
    case LightState::done: return 4;
    case LightState::unknown: break;
  }
  return 5;
}

}  // namespace

Snapshot Snapshot::gather(Instant now) {
  Snapshot s;
  s.now = now;
  fs::path home = homeDirectory();
  std::vector<TaskStatus> tasks;

  StatusStore store{StatusStore::defaultDirectory()};
  attempt(s, "Local tasks", store.directory, [&] { append(tasks, store.load()); });

  // Codex: the sessions, then one parse of the desktop app's global state
  // (which never fails) for the unread set and those tasks' project names,
  // marked waiting where the desktop app still asks the user something.
  const char* configured = std::getenv("CODEX_HOME");
  fs::path codexHome = configured && *configured ? fs::path(configured) : home / ".codex";
  CodexGlobalState global;
  auto automations = loadReadState<CodexAutomationReadState>(s, "Codex automation read state");
  attempt(s, "Codex sessions", codexHome, [&] {
    if (configured && *configured && !fs::is_directory(codexHome))
      throw std::runtime_error("CODEX_HOME is not a directory");
    std::vector<TaskStatus> codex = SessionReader::load(codexHome, now, taskLimit, &global);
    fs::path logs = DesktopAttention::defaultDirectory();
    attempt(s, "Codex desktop log", logs, [&] {
      std::vector<DesktopAttention::Record> records = DesktopAttention::load(logs, now);
      codex = DesktopAttention::applying(records, std::move(codex), now);
    });
    append(tasks, std::move(codex));
  });

  auto claude = loadReadState<ClaudeReadState>(s, "Claude read state");
  attempt(s, "Claude sessions", home / ".claude/projects", [&] {
    append(tasks, ClaudeSessionReader::load(
                      home / ".claude", ClaudeHookStore{ClaudeHookStore::defaultDirectory()}, now,
                      ClaudeSessionReader::defaultDesktopSessionsRoot(), taskLimit));
  });

  // Orca: the panes its hooks report, the tasks only Orca knows of, and the
  // panes remembered from earlier runs, merged into every task.
  auto orca = loadReadState<OrcaReadState>(s, "Orca read state");
  OrcaSessionIndex index;
  fs::path orcaRoot = OrcaSessionIndex::root();
  attempt(s, "Orca panes", orcaRoot / "agent-hooks/last-status.json", [&] {
    index = OrcaSessionIndex::load(orcaRoot, now);
    append(tasks, index.transcriptTasks(home, now));
  });
  s.tasks = index.applying(std::move(tasks), orca.ownership, taskLimit);
  s.readState = TaskReadState(std::move(global.readState), std::move(automations),
                              std::move(claude), std::move(orca));
  return s;
}

const TaskStatus* Snapshot::find(std::string_view id) const {
  for (const TaskStatus& task : tasks)
    if (task.id == id) return &task;
  return nullptr;
}

std::vector<Row> listed(const Snapshot& snapshot, ActivityWindow window) {
  std::vector<Row> rows;
  for (const TaskStatus& task : snapshot.tasks)
    if (window.includes(task, snapshot.now, snapshot.readState))
      rows.push_back({&task, task.visibleState(snapshot.now, snapshot.readState)});
  // The tasks come newest first (equal times by ID), so a stable sort by
  // state keeps that order within each state.
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return menuPosition(a.shown) < menuPosition(b.shown);
  });
  return rows;
}

}  // namespace lantrel::view
