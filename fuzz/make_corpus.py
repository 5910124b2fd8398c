#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target to fuzz/corpus/<target>/:
a few small inputs in the shapes the unit tests build, so that fuzzing
starts from inputs that reach deep into each parser."""
import json
import os
import shutil

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
UUID = "3f1c9a2e-1b2c-4d5e-8f90-a1b2c3d4e5f6"
UPPER = UUID.upper()
T0 = "2025-10-01T12:00:00.000Z"
T1 = "2025-10-01T12:00:05.250Z"


def dump(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def line(when, kind, payload):
    return dump({"timestamp": when, "type": kind, "payload": payload}) + "\n"


def event(when, payload_type, **extra):
    return line(when, "event_msg", dict(extra, type=payload_type))


def response(when, payload_type, **extra):
    return line(when, "response_item", dict(extra, type=payload_type))


META = line(T0, "session_meta", {"id": UUID, "cwd": "/tmp/project"})
USER_ITEM = response(T0, "message", role="user",
                     content=[{"type": "input_text", "text": "Fix  the\nbuild"}],
                     internal_chat_message_metadata_passthrough={
                         "content_item_kinds": ["user.text"]})

LOG = " info [electron-message-handler] "


def log(when, message):
    return when + LOG + message + "\n"


def hook(name, **extra):
    return dump(dict({"session_id": UUID, "hook_event_name": name, "cwd": "/tmp/p",
                      "transcript_path": "/tmp/p/t.jsonl"}, **extra))


def claude(kind, when, **extra):
    return dump(dict({"isSidechain": False, "cwd": "/Users/ana/src/lantrel", "sessionId": UUID,
                      "type": kind, "timestamp": when}, **extra)) + "\n"


def claude_user(when, content):
    return claude("user", when, message={"role": "user", "content": content})


def claude_assistant(when, stop, content=()):
    return claude("assistant", when, message={"role": "assistant", "stop_reason": stop,
                                              "content": list(content) + [
                                                  {"type": "text", "text": "Working on it."}]})


ORCA_TAB = "A1B2C3D4-0000-4000-8000-00000000000A"
ORCA_LEAF = "b1b2c3d4-0000-4000-8000-000000000001"
ORCA_NOW_MS = (800000000 + 978307200) * 1000  # the fuzz target's `now`


def orca_entry(agent, age, **extra):
    return dict({"paneKey": ORCA_TAB + ":" + ORCA_LEAF, "connectionId": None,
                 "payload": {"agentType": agent, "state": "working"},
                 "providerSession": {"key": "session_id", "id": UPPER,
                                     "transcriptPath": "/home/u/t.jsonl"},
                 "tabId": ORCA_TAB, "worktreeId": "wt-1",
                 "receivedAt": ORCA_NOW_MS - age * 1000}, **extra)


def orca_terminal(handle, **extra):
    return dict({"handle": handle, "executionHostId": "local", "tabId": ORCA_TAB,
                 "leafId": ORCA_LEAF, "worktreeId": "wt-1", "connected": True,
                 "orphaned": False, "title": "codex"}, **extra)


def orca_list(*terminals):
    return dump({"ok": True, "result": {"truncated": False,
                                        "hostScope": {"hostIds": ["ssh-1", "local"]},
                                        "terminals": list(terminals)}})


HANDLE = "term_c0000000-0000-4000-8000-000000000001"


SEEDS = {
    "hook_event": [
        hook("UserPromptSubmit", prompt="hi"),
        hook("PreToolUse", tool_name="AskUserQuestion"),
        hook("Notification", notification_type="idle_prompt"),
        hook("StopFailure"),
        hook("SessionEnd", reason="exit"),
    ],
    "transcript_state": [
        META + event(T0, "task_started") + response(T1, "function_call", name="exec",
                                                   call_id="c1", arguments="{}"),
        event(T0, "task_started") + response(T0, "custom_tool_call", name="apply_patch",
                                             call_id="c2", input="x")
        + response(T1, "custom_tool_call_output", call_id="c2", output="ok")
        + event(T1, "task_complete", last_agent_message="done"),
        event(T0, "item_completed", item={"type": "McpToolCall", "server": "codex_apps",
                                          "tool": "request_user_input"})
        + event(T1, "turn_aborted"),
        event(T0, "task_started") + event(T1, "task_failed"),
    ],
    "session_head": [
        META + event(T0, "user_message", message="Rename the  module\n please"),
        META + USER_ITEM,
        line(T0, "session_meta", {"id": "not-a-uuid"}),
    ],
    "global_state": [
        dump({"electron-thread-read-state-v1": {"version": 1, "unreadByIdentity": {
            "me": {"local:a": [UUID, "x"], "remote:b": []}}}}),
        dump({"thread-project-assignments": {UUID: {"projectKind": "local", "projectId": "p"}},
              "local-projects": {"p": {"name": "Project P"}}}),
    ],
    "automation_target": [
        'name = "weekly"\ntarget_thread_id = "%s"\nschedule = "x"\n' % UPPER,
        '  target_thread_id = "%s"  # weekly report' % UUID,
        "target_thread_id='%s'\n" % UUID,
    ],
    "desktop_log": [
        log(T0, "[desktop-notifications] show approval conversationId=%s requestId=7 "
            "kind=commandExecution" % UUID)
        + log(T1, 'Sending server response id=7 method=item/commandExecution/requestApproval '
              'response={"ok":true}'),
        log(T0, "[desktop-notifications] show question conversationId=%s requestId=q1" % UUID),
        log(T0, "[desktop-notifications] show approval conversationId=%s requestId=8 "
            "kind=fileChange" % UUID)
        + log(T1, "Sending server response id=8 method=item/fileChange/requestApproval "
              "response={}"),
    ],
    "task_record": [
        dump({"id": "build-1", "name": "Nightly build", "state": "working",
              "updatedAt": 786432000.125, "source": "Local status"}),
        dump({"id": "codex-" + UUID, "name": "n", "state": "unread", "updatedAt": 1,
              "source": "Codex history \u00b7 experimental", "projectName": "P",
              "lastTurnBoundaryAt": 2.5, "confirmedAttentionPending": True,
              "providerSessionID": UUID, "providerSessionLastFocusedAt": 3,
              "isScheduled": False,
              "orcaSession": {"provider": "codex", "sessionID": UUID, "tabID": "t",
                              "leafID": "l", "worktreeID": "w", "observedAt": 4,
                              "transcriptPath": "/t/x.jsonl"}}),
    ],
    "read_times": [
        dump({"readAt": {"codex-" + UUID: "2025-10-01T12:00:01Z"}}),
        dump({"readAt": {"claude-" + UUID: "2025-10-01T12:00:01Z", "a": "2025-10-01T12:34:56Z"}}),
        dump({"readAt": {}}),
    ],
    "orca_read_state": [
        dump({"ownership": {"a": {"provider": "claude", "sessionID": UUID, "tabID": "tab",
                                  "leafID": "leaf", "worktreeID": "wt", "observedAt": 1.5,
                                  "transcriptPath": "/t/x.jsonl"}},
              "readAt": {"a": 99.125}}),
        dump({"ownership": {}, "readAt": {}}),
    ],
    "claude_settings": [
        dump({"model": "opus", "hooks": {"Stop": [{"matcher": "", "hooks": [
            {"type": "command", "command": "mine", "timeout": 3}]}]}}),
        dump({"hooks": {"Notification": [{"matcher": "idle_prompt", "hooks": [
            {"type": "command",
             "command": "'/Users/u/Library/Application Support/Lantrel/bin/lantrel-status'"
                        " claude-hook", "timeout": 5},
            {"type": "command", "command": "say done"}]}], "Other": "x"}}),
        "{}",
    ],
    "claude_transcript": [
        claude("user", T0, isMeta=True, message={"role": "user", "content": "Caveat"})
        + claude_user(T0, [{"type": "text", "text": "  Fix the\n\tflaky "},
                           {"type": "text", "text": "build  "}])
        + claude_assistant(T1, "tool_use", [{"type": "tool_use", "id": "toolu_01",
                                             "name": "Bash", "input": {"x": 1}}]),
        claude_user(T0, "Rename it") + claude_assistant(T1, "end_turn")
        + claude("custom-title", T1, customTitle="Renaming"),
        claude_assistant(T0, "tool_use", [{"type": "tool_use", "id": "toolu_02",
                                           "name": "AskUserQuestion", "input": {}}])
        + claude("queue-operation", T1, operation="dequeue"),
    ],
    "claude_desktop_session": [
        dump({"cliSessionId": UUID, "sessionId": "local_" + UUID, "lastFocusedAt": 1759320000123}),
        dump({"cliSessionId": UPPER, "sessionId": "local_" + UUID, "lastFocusedAt": "soon"}),
        dump({"cliSessionId": UUID, "sessionId": UUID}),
    ],
    "orca_status": [
        dump({"version": 2, "entries": {ORCA_TAB + ":" + ORCA_LEAF: orca_entry("codex", 30)}}),
        dump({"version": 2, "entries": {
            ORCA_TAB + ":" + ORCA_LEAF: orca_entry("claude", 5, connectionId="ssh-1"),
            ORCA_TAB + ":x": orca_entry("claude", 700000, paneKey=ORCA_TAB + ":x")}}),
        dump({"version": 1, "entries": {}}),
    ],
    "orca_answer": [
        orca_list(orca_terminal(HANDLE)),
        orca_list(orca_terminal(HANDLE), orca_terminal(HANDLE, executionHostId="ssh-1"),
                  orca_terminal(HANDLE[:-1] + "2", connected=False)),
        dump({"ok": False, "error": {"code": "stale_terminal_handle"}}),
        dump({"ok": True, "result": {"a": [1, "x", None], "b": {"c": True}}}),
    ],
    "session_index": [
        dump({"id": UUID, "thread_name": "Fix the build"}) + "\n",
        dump({"id": UPPER, "thread_name": "Old"}) + "\n"
        + dump({"id": UUID, "thread_name": "  New\nname  "}) + "\n{\"id\":3}\n[1]\n",
        dump({"id": UUID, "thread_name": "caf\u00e9 " + "x" * 200}) + "\n",
    ],
}

if __name__ == "__main__":
    shutil.rmtree(ROOT, ignore_errors=True)
    for target, seeds in SEEDS.items():
        os.makedirs(os.path.join(ROOT, target))
        for number, seed in enumerate(seeds):
            with open(os.path.join(ROOT, target, "seed-%d" % number), "wb") as out:
                out.write(seed.encode("utf-8"))
