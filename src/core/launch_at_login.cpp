#include "lantrel/launch_at_login.hpp"

#include <cstdlib>
#include <string_view>

#include "lantrel/errors.hpp"
#include "support/files.hpp"
#include "support/process.hpp"
#include "support/text.hpp"

namespace lantrel {

namespace fs = std::filesystem;

namespace {

// An autostart entry is a few lines; anything larger is not ours.
constexpr std::uint64_t maximumEntryBytes = 64 * 1024;

// The program path as one quoted argument of an Exec key: quoted as the
// desktop entry format asks (\" \` \$ \\ inside quotes, %% for a percent
// sign), with every backslash then doubled once more, as in every string
// value.
std::string execArgument(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) throw StatusError(StatusError::invalidRecord);
    if (c == '\\') quoted += "\\\\\\";  // with the backslash itself: four
    else if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
    else if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + '"';
}

fs::path runningProgram() { return fs::read_symlink("/proc/self/exe"); }

}  // namespace

// --- the manager -----------------------------------------------------------

LaunchAtLoginManager::LaunchAtLoginManager(StatusProvider statusProvider, Operation registerService,
                                           Operation unregisterService, Operation openSettings)
    : statusProvider_(std::move(statusProvider)),
      registerService_(std::move(registerService)),
      unregisterService_(std::move(unregisterService)),
      openSettings_(std::move(openSettings)) {}

LaunchAtLoginManager::LaunchAtLoginManager()
    : LaunchAtLoginManager(XDGAutostart::defaultDirectory(), fs::path()) {}

LaunchAtLoginManager::LaunchAtLoginManager(const fs::path& autostartDirectory,
                                           const fs::path& executable)
    : LaunchAtLoginManager(
          [entry = XDGAutostart::entryPath(autostartDirectory)] {
            return XDGAutostart::status(entry);
          },
          [entry = XDGAutostart::entryPath(autostartDirectory), executable] {
            // The running program is looked up when it is registered, so
            // the default manager can be made before anything can fail.
            XDGAutostart::install(entry, executable.empty() ? runningProgram() : executable);
          },
          [entry = XDGAutostart::entryPath(autostartDirectory)] { XDGAutostart::remove(entry); },
          [autostartDirectory] { XDGAutostart::openDirectory(autostartDirectory); }) {}

void LaunchAtLoginManager::setEnabled(bool enabled) {
  LaunchAtLoginState current = state();
  if (!enabled) {
    if (current != LaunchAtLoginState::disabled) unregisterService_();
    return;
  }
  if (current == LaunchAtLoginState::enabled) return;
  if (current == LaunchAtLoginState::needsApproval) throw LaunchAtLoginError();
  try {
    registerService_();
  } catch (...) {
    // Registration that stopped at the user's approval is that, whatever
    // the platform called it.
    if (state() == LaunchAtLoginState::needsApproval) throw LaunchAtLoginError();
    throw;
  }
  if (state() == LaunchAtLoginState::needsApproval) throw LaunchAtLoginError();
}

// --- XDG autostart -----------------------------------------------------------

fs::path XDGAutostart::defaultDirectory() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  // Relative values are to be ignored, as the base directory rules say.
  if (configHome && configHome[0] == '/') return fs::path(configHome) / "autostart";
  return files::homeDirectory() / ".config" / "autostart";
}

fs::path XDGAutostart::entryPath(const fs::path& directory) {
  return directory / "lantrel.desktop";
}

LaunchAtLoginState XDGAutostart::status(const fs::path& entry) {
  files::ReadBuffer buffer;
  std::string_view text;
  try {
    text = files::readOwnFile(entry, maximumEntryBytes, buffer);
  } catch (const std::exception&) {
    // Absent, unreadable or not a plain file: nothing starts at login.
    return LaunchAtLoginState::disabled;
  }
  bool inEntryGroup = false, hasExec = false, switchedOff = false;
  text::forEachLine(text, [&](std::string_view raw) {
    std::string_view line = text::trimmed(raw);
    if (line.starts_with('[')) {
      inEntryGroup = line == "[Desktop Entry]";
      return true;
    }
    std::size_t equals = line.find('=');
    if (!inEntryGroup || line.starts_with('#') || equals == std::string_view::npos) return true;
    std::string_view key = text::trimmed(line.substr(0, equals));
    std::string_view value = text::trimmed(line.substr(equals + 1));
    if (key == "Exec")
      hasExec = !value.empty();
    else if (key == "Hidden")
      switchedOff = switchedOff || value == "true";
    else if (key == "X-GNOME-Autostart-enabled")
      switchedOff = switchedOff || value == "false";
    return true;
  });
  return hasExec && !switchedOff ? LaunchAtLoginState::enabled : LaunchAtLoginState::disabled;
}

void XDGAutostart::install(const fs::path& entry, const fs::path& executable) {
  std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Lantrel\n"
      "Comment=Coloured lights for your AI coding-agent tasks\n";
  text += "Exec=" + execArgument(executable.string()) + "\n";
  text +=
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  files::createDirectories(entry.parent_path());
  files::replaceAtomically(entry, text, 0600);
}

void XDGAutostart::remove(const fs::path& entry) { files::removeFile(entry); }

void XDGAutostart::openDirectory(const fs::path& directory) {
  files::createDirectories(directory);
  // The shell starts xdg-open in the background and returns at once, so
  // nothing is left to wait for.
  process::runAndWait(
      {"/bin/sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 &", "sh", directory.string()});
}

}  // namespace lantrel
