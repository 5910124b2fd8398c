#include "lantrel/claude_integration.hpp"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "lantrel/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;  // std::map objects: keys come out sorted

// Settings nested deeper than this are refused rather than risking the
// stack of the recursive writer.
constexpr int maximumSettingsDepth = 512;

constexpr std::string_view healthNames[] = {"Disabled", "Enabled", "Needs repair"};

[[noreturn]] void refuse() { throw StatusError(StatusError::invalidRecord); }

// The settings as a JSON object; syntax errors throw DecodingError, other
// refusals StatusError::invalidRecord.
Json parseSettings(std::string_view data) {
  if (data.size() > ClaudeIntegration::maximumSettingsBytes) refuse();
  Json settings;
  try {
    settings = Json::parse(data, [](int depth, Json::parse_event_t, Json&) {
      if (depth > maximumSettingsDepth) refuse();
      return true;
    });
  } catch (const Json::exception& e) {
    throw DecodingError(std::string("The Claude settings aren't valid JSON: ") + e.what());
  }
  if (!settings.is_object()) refuse();
  return settings;
}

std::string serialize(const Json& settings) { return settings.dump(2) + "\n"; }

bool isArrayOfObjects(const Json& value) {
  if (!value.is_array()) return false;
  for (const Json& element : value)
    if (!element.is_object()) return false;
  return true;
}

bool isOwned(const Json& handler, std::string_view command) {
  auto it = handler.find("command");
  return it != handler.end() && it->is_string() && it->get_ref<const std::string&>() == command;
}

// How many of the thirteen hooks are installed with `command`.
int installedSignatures(const Json& settings, std::string_view command) {
  auto hooks = settings.find("hooks");
  if (hooks == settings.end() || !hooks->is_object()) return 0;
  int count = 0;
  for (const ClaudeHookSpecification& specification : ClaudeIntegration::specifications) {
    auto groups = hooks->find(specification.event);
    if (groups == hooks->end() || !isArrayOfObjects(*groups)) continue;
    bool installed = false;
    for (const Json& group : *groups) {
      auto matcher = group.find("matcher");
      std::string_view matcherText;
      if (matcher != group.end() && matcher->is_string())
        matcherText = matcher->get_ref<const std::string&>();
      if (matcherText != specification.matcher) continue;
      auto handlers = group.find("hooks");
      if (handlers == group.end() || !isArrayOfObjects(*handlers)) continue;
      for (const Json& handler : *handlers) installed = installed || isOwned(handler, command);
      if (installed) break;
    }
    if (installed) ++count;
  }
  return count;
}

// `hooks` without any handler that runs `command`. Groups left without
// handlers and events left without groups disappear; everything else keeps
// its place and its other keys.
Json removeOwnedHooks(const Json& hooks, std::string_view command) {
  Json result = Json::object();
  for (auto event = hooks.begin(); event != hooks.end(); ++event) {
    if (!isArrayOfObjects(event.value())) {
      result[event.key()] = event.value();
      continue;
    }
    Json groups = Json::array();
    for (const Json& group : event.value()) {
      auto handlers = group.find("hooks");
      if (handlers == group.end() || !isArrayOfObjects(*handlers)) {
        groups.push_back(group);
        continue;
      }
      Json kept = Json::array();
      for (const Json& handler : *handlers)
        if (!isOwned(handler, command)) kept.push_back(handler);
      if (kept.empty()) continue;
      Json shortened = group;
      shortened["hooks"] = std::move(kept);
      groups.push_back(std::move(shortened));
    }
    if (!groups.empty()) result[event.key()] = std::move(groups);
  }
  return result;
}

fs::path backupURL(const fs::path& settingsURL) {
  return fs::path(settingsURL.string() + ".lantrel-backup");
}

bool isUsableHelper(const fs::path& helperURL) {
  std::optional<files::ResourceValues> values = files::resourceValuesIfExists(helperURL);
  return values && values->isRegularFile && values->owner == ::geteuid() &&
         values->size <= ClaudeIntegration::maximumHelperBytes && files::isExecutable(helperURL);
}

// The directory holding `url`, if it exists, must be a real directory of
// the current user.
void validateParent(const fs::path& url) {
  fs::path parent = url.parent_path();
  if (parent.empty()) parent = ".";
  std::optional<files::ResourceValues> values = files::resourceValuesIfExists(parent);
  if (!values) return;
  if (!values->isDirectory || values->isSymbolicLink || values->owner != ::geteuid()) refuse();
}

// What exists at `url` must be a regular file of the current user of at
// most `maximumSize` bytes.
void validateExisting(const fs::path& url, std::uint64_t maximumSize) {
  std::optional<files::ResourceValues> values = files::resourceValuesIfExists(url);
  if (!values) return;
  if (!values->isRegularFile || values->isSymbolicLink || values->size > maximumSize ||
      values->owner != ::geteuid())
    refuse();
}

// Writes the settings atomically (mode 0600), first saving `original` to
// "<settings>.lantrel-backup" when the file exists and the bytes change.
void writeSettings(std::string_view data, const fs::path& settingsURL, std::string_view original) {
  validateParent(settingsURL);
  validateExisting(settingsURL, ClaudeIntegration::maximumSettingsBytes);
  files::createDirectories(settingsURL.parent_path());
  if (files::resourceValuesIfExists(settingsURL) && data != original)
    files::replaceAtomically(backupURL(settingsURL), original, 0600);
  files::replaceAtomically(settingsURL, data, 0600);
}

}  // namespace

std::string_view rawValue(ClaudeIntegrationHealth health) {
  return healthNames[static_cast<int>(health)];
}

std::optional<ClaudeIntegrationHealth> claudeIntegrationHealth(std::string_view rawValue) {
  for (int i = 0; i < 3; ++i)
    if (healthNames[i] == rawValue) return static_cast<ClaudeIntegrationHealth>(i);
  return std::nullopt;
}

fs::path ClaudeIntegration::settingsURL() {
  return files::homeDirectory() / ".claude/settings.json";
}

fs::path ClaudeIntegration::installedHelperURL() {
  return files::homeDirectory() / "Library/Application Support/Lantrel/bin/lantrel-status";
}

std::string ClaudeIntegration::command(const path& helperURL) {
  std::string quoted = "'";
  for (char c : helperURL.string()) {
    if (c == '\'') quoted += "'\\''";
    else quoted.push_back(c);
  }
  return quoted + "' claude-hook";
}

ClaudeIntegrationHealth ClaudeIntegration::health(const path& settingsURL,
                                                  const path& helperURL) {
  try {
    if (!files::resourceValuesIfExists(settingsURL)) return ClaudeIntegrationHealth::disabled;
    validateExisting(settingsURL, maximumSettingsBytes);
    validateParent(settingsURL);
    validateParent(helperURL);
    files::ReadBuffer buffer;
    Json settings = parseSettings(files::readOwnFile(settingsURL, maximumSettingsBytes, buffer));
    int count = installedSignatures(settings, command(helperURL));
    if (count == 0) return ClaudeIntegrationHealth::disabled;
    if (count == static_cast<int>(specifications.size()) && isUsableHelper(helperURL))
      return ClaudeIntegrationHealth::enabled;
    return ClaudeIntegrationHealth::needsRepair;
  } catch (...) {
    return ClaudeIntegrationHealth::needsRepair;
  }
}

void ClaudeIntegration::enable(const path& helperSourceURL, const path& settingsURL,
                               const path& helperURL) {
  validateParent(helperURL);
  validateExisting(helperURL, maximumHelperBytes);
  validateParent(settingsURL);
  validateExisting(settingsURL, maximumSettingsBytes);
  // The new settings are worked out first, so settings that cannot take the
  // hooks are refused before anything is copied.
  files::ReadBuffer buffer;
  std::string original = files::resourceValuesIfExists(settingsURL)
                             ? std::string(files::readOwnFile(settingsURL, maximumSettingsBytes, buffer))
                             : std::string("{}");
  std::string updated = addingHooks(original, command(helperURL));
  files::createDirectories(helperURL.parent_path());
  // Replaced in one step: whoever opens the path finds the old executable or
  // the new one, never a missing or partial one. A copy that enable would
  // refuse next time is never installed.
  files::copyAtomically(helperSourceURL, helperURL, 0700, maximumHelperBytes);
  writeSettings(updated, settingsURL, original);
}

void ClaudeIntegration::disable(const path& settingsURL, const path& helperURL) {
  if (!files::resourceValuesIfExists(settingsURL)) return;
  validateParent(settingsURL);
  validateExisting(settingsURL, maximumSettingsBytes);
  files::ReadBuffer buffer;
  std::string original(files::readOwnFile(settingsURL, maximumSettingsBytes, buffer));
  writeSettings(removingHooks(original, command(helperURL)), settingsURL, original);
}

std::string ClaudeIntegration::addingHooks(std::string_view data, std::string_view command) {
  // The command must survive the trip through the JSON text unchanged, or
  // the hooks could never be recognised as ours again.
  if (!text::isValidUTF8(command)) refuse();
  Json settings = parseSettings(data);
  Json hooks = Json::object();
  if (auto it = settings.find("hooks"); it != settings.end()) {
    if (!it->is_object()) refuse();
    hooks = removeOwnedHooks(*it, command);
  }
  for (const ClaudeHookSpecification& specification : specifications) {
    std::string event(specification.event);
    auto groups = hooks.find(event);
    if (groups == hooks.end()) groups = hooks.emplace(event, Json::array()).first;
    else if (!isArrayOfObjects(*groups)) refuse();
    Json handler = {{"type", "command"}, {"command", command}, {"timeout", hookTimeout}};
    groups->push_back({{"matcher", specification.matcher}, {"hooks", Json::array({handler})}});
  }
  settings["hooks"] = std::move(hooks);
  return serialize(settings);
}

std::string ClaudeIntegration::removingHooks(std::string_view data, std::string_view command) {
  Json settings = parseSettings(data);
  auto it = settings.find("hooks");
  // A "hooks" value that is not an object holds nothing of ours: it stays
  // as the user left it.
  if (it != settings.end() && it->is_object()) {
    Json cleaned = removeOwnedHooks(*it, command);
    if (cleaned.empty()) settings.erase(it);
    else *it = std::move(cleaned);
  }
  return serialize(settings);
}

}  // namespace lantrel
