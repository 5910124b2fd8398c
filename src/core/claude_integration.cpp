#include "lantrel/claude_integration.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <nlohmann/json.hpp>

#include "lantrel/errors.hpp"
#include "support/files.hpp"
#include "support/json_writer.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace lantrel {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;  // std::map objects: keys come out sorted

// Settings nested deeper than this are refused rather than risking the
// stack of the recursive writer.
constexpr int maximumSettingsDepth = 512;

constexpr std::string_view healthNames[] = {"Disabled", "Enabled", "Needs repair"};

[[noreturn]] void refuse() { throw StatusError(StatusError::invalidRecord); }

// Counts bracket nesting outside strings, stopping as soon as it is too deep.
void checkNesting(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maximumSettingsDepth) refuse();
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

// The settings as a JSON object; syntax errors throw DecodingError, other
// refusals StatusError::invalidRecord.
Json parseSettings(std::string_view data) {
  if (data.size() > ClaudeIntegration::maximumSettingsBytes) refuse();
  checkNesting(data);
  Json settings = json::parse(data);
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
         values->size <= ClaudeIntegration::maximumHelperBytes &&
         ::access(helperURL.c_str(), X_OK) == 0;
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
    Json settings = parseSettings(files::readOwnFile(settingsURL, maximumSettingsBytes));
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
  std::string original = files::resourceValuesIfExists(settingsURL)
                             ? files::readOwnFile(settingsURL, maximumSettingsBytes)
                             : std::string("{}");
  std::string updated = addingHooks(original, command(helperURL));
  files::createDirectories(helperURL.parent_path());
  installHelper(helperSourceURL, helperURL);
  writeSettings(updated, settingsURL, original);
}

void ClaudeIntegration::disable(const path& settingsURL, const path& helperURL) {
  if (!files::resourceValuesIfExists(settingsURL)) return;
  validateParent(settingsURL);
  validateExisting(settingsURL, maximumSettingsBytes);
  std::string original = files::readOwnFile(settingsURL, maximumSettingsBytes);
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

void ClaudeIntegration::writeSettings(std::string_view data, const path& settingsURL,
                                      std::string_view original) {
  validateParent(settingsURL);
  validateExisting(settingsURL, maximumSettingsBytes);
  files::createDirectories(settingsURL.parent_path());
  if (files::resourceValuesIfExists(settingsURL) && data != original)
    files::replaceAtomically(backupURL(settingsURL), original, 0600);
  files::replaceAtomically(settingsURL, data, 0600);
}

void ClaudeIntegration::validateParent(const path& url) {
  path parent = url.parent_path();
  if (parent.empty()) parent = ".";
  std::optional<files::ResourceValues> values = files::resourceValuesIfExists(parent);
  if (!values) return;
  if (!values->isDirectory || values->isSymbolicLink || values->owner != ::geteuid()) refuse();
}

void ClaudeIntegration::validateExisting(const path& url, std::uint64_t maximumSize) {
  std::optional<files::ResourceValues> values = files::resourceValuesIfExists(url);
  if (!values) return;
  if (!values->isRegularFile || values->isSymbolicLink || values->size > maximumSize ||
      values->owner != ::geteuid())
    refuse();
}

void ClaudeIntegration::installHelper(const path& helperSourceURL, const path& helperURL) {
  // O_NONBLOCK: a FIFO in place of the source must not hang the copy.
  files::Descriptor source(::open(helperSourceURL.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (source.fd < 0) files::throwErrno("cannot open file", helperSourceURL, errno);
  struct stat st;
  if (::fstat(source.fd, &st) != 0)
    files::throwErrno("cannot read file attributes", helperSourceURL, errno);
  // A copy that enable would refuse next time must not be installed.
  if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > maximumHelperBytes)
    refuse();

  path temporary = helperURL.parent_path() / (".lantrel-status-" + randomUUID());
  files::Descriptor copy(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                         0600));
  if (copy.fd < 0) files::throwErrno("cannot create temporary file", temporary, errno);
  // The half-made copy never outlives a failure.
  auto fail = [&](const char* what, const path& where) {
    int error = errno;
    ::unlink(temporary.c_str());
    files::throwErrno(what, where, error);
  };
  std::vector<char> buffer(1 << 16);
  std::uint64_t total = 0;
  for (;;) {
    ssize_t n = ::read(source.fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot read file", helperSourceURL);
    }
    if (n == 0) break;
    total += static_cast<std::uint64_t>(n);
    if (total > maximumHelperBytes) {
      ::unlink(temporary.c_str());
      refuse();
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(copy.fd, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        fail("cannot write file", temporary);
      }
      done += w;
    }
  }
  if (::fsync(copy.fd) != 0) fail("cannot write file", temporary);
  if (::fchmod(copy.fd, 0700) != 0) fail("cannot set permissions", temporary);
  int fd = copy.fd;
  copy.fd = -1;
  if (::close(fd) != 0) fail("cannot write file", temporary);
  // rename replaces the old executable in one step: whoever opens the path
  // finds the old file or the new one, never a missing or partial one.
  if (::rename(temporary.c_str(), helperURL.c_str()) != 0) fail("cannot replace file", helperURL);
}

}  // namespace lantrel
