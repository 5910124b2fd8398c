// What the user has seen, gathered per source, and the rule that turns a
// stored state into the state shown: TaskStatus::visibleState.
#pragma once

#include "lantrel/claude_read_state.hpp"
#include "lantrel/codex_automation.hpp"
#include "lantrel/codex_read_state.hpp"
#include "lantrel/orca_read_state.hpp"
#include "lantrel/task_status.hpp"

namespace lantrel {

struct TaskReadState {
  CodexReadState codex;
  CodexAutomationReadState codexAutomations;
  OrcaReadState orca;
  ClaudeReadState claude;

  TaskReadState() = default;
  // Note the parameter order: Claude before Orca, unlike the fields.
  TaskReadState(CodexReadState codex_, CodexAutomationReadState codexAutomations_,
                ClaudeReadState claude_, OrcaReadState orca_)
      : codex(std::move(codex_)),
        codexAutomations(std::move(codexAutomations_)),
        orca(std::move(orca_)),
        claude(std::move(claude_)) {}

  // The state that keeps a task's read mark: Orca tasks the Orca state,
  // other local tasks none (they are never read), Claude tasks the Claude
  // state, scheduled Codex runs the automation state, other Codex tasks the
  // desktop app's unread set (which only the app changes).
  enum class Keeper { none, codex, codexAutomations, orca, claude };
  static Keeper keeperOf(const TaskStatus& task);

  // Whether a task's finished state has been seen, by its keeper.
  bool hasRead(const TaskStatus& task) const;

  bool operator==(const TaskReadState&) const = default;
};

}  // namespace lantrel
