// Installs, checks and removes the Claude Code hooks that run
// `lantrel-status claude-hook` on thirteen kinds of hook event.
//
// The hooks live in the user's Claude Code settings file, which is edited in
// place: every setting and hook that is not ours is kept with the same JSON
// meaning, and the previous file is kept as a backup beside it on every
// change. The hook command names a private copy of the tool under
// ~/Library/Application Support/Lantrel/bin, so moving or updating the
// application never breaks the hooks.
//
// Symbolic links, non-regular or oversized files, and files or directories
// that belong to another user are refused with StatusError::invalidRecord
// before anything is written. The command-line tool never calls these; they
// serve the application that links LantrelCore.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lantrel {

enum class ClaudeIntegrationHealth { disabled, enabled, needsRepair };

// "Disabled", "Enabled", "Needs repair": stored names and display texts.
std::string_view rawValue(ClaudeIntegrationHealth health);
std::optional<ClaudeIntegrationHealth> claudeIntegrationHealth(std::string_view rawValue);

// One hook to install: a Claude Code hook event and its matcher ("" where
// the event takes none).
struct ClaudeHookSpecification {
  std::string_view event;
  std::string_view matcher;
};

struct ClaudeIntegration {
  using path = std::filesystem::path;

  static constexpr std::array<ClaudeHookSpecification, 13> specifications = {{
      {"UserPromptSubmit", ""},
      {"PermissionRequest", ""},
      {"PreToolUse", "AskUserQuestion"},
      {"PostToolUse", ""},
      {"PostToolUseFailure", ""},
      {"Notification", "permission_prompt"},
      {"Notification", "idle_prompt"},
      {"Notification", "elicitation_dialog"},
      {"Elicitation", ""},
      {"ElicitationResult", ""},
      {"Stop", ""},
      {"StopFailure", ""},
      {"SessionEnd", ""},
  }};

  static constexpr std::uint64_t maximumSettingsBytes = 4000000;
  static constexpr std::uint64_t maximumHelperBytes = 100000000;
  // Seconds Claude Code gives each hook.
  static constexpr int hookTimeout = 5;

  // ~/.claude/settings.json
  static path settingsURL();
  // ~/Library/Application Support/Lantrel/bin/lantrel-status
  static path installedHelperURL();

  // The shell command of our hooks: the executable's path in single quotes
  // (a quote inside written as '\'') followed by " claude-hook". A handler
  // is ours exactly when its "command" equals this text.
  static std::string command(const path& helperURL);

  // Disabled without a settings file or without any of our hooks; enabled
  // with all thirteen and an executable helper; needs repair otherwise,
  // including any refused or unreadable file. Never throws.
  static ClaudeIntegrationHealth health(const path& settingsURL, const path& helperURL);

  // Installs a copy of `helperSourceURL` at `helperURL` (replaced in one
  // step: the path always holds the old or the new executable) and all
  // thirteen hooks, repairing a partial installation.
  static void enable(const path& helperSourceURL, const path& settingsURL,
                     const path& helperURL);
  // Removes every handler that runs our command; the helper stays. Without a
  // settings file nothing happens.
  static void disable(const path& settingsURL, const path& helperURL);

  // The pure settings edits behind enable and disable: settings file bytes
  // in, new bytes out (pretty JSON, keys sorted, final line feed). Our
  // handlers are always removed first, so they never appear twice; ours go
  // after the user's groups of each event.
  static std::string addingHooks(std::string_view data, std::string_view command);
  static std::string removingHooks(std::string_view data, std::string_view command);
};

}  // namespace lantrel
