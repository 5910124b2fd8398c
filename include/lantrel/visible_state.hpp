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

  // Whether a task's finished state has been seen: Orca tasks ask the Orca
  // state, other local tasks are never read, Claude tasks ask the Claude
  // state, scheduled Codex runs the automation state, other Codex tasks the
  // desktop app's unread set.
  bool hasRead(const TaskStatus& task) const;

  bool operator==(const TaskReadState&) const = default;
};

}  // namespace lantrel
