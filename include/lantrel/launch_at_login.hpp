// The application's login item: whether Lantrel starts when the user logs
// in. The platform's facility is reached through four operations fixed at
// construction, so the rules below hold whatever the facility is.
#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <string>

namespace lantrel {

enum class LaunchAtLoginState { disabled, enabled, needsApproval };

// The login item exists but the user still has to allow it.
class LaunchAtLoginError : public std::exception {
 public:
  enum Code { needsApproval };

  explicit LaunchAtLoginError(Code code = needsApproval) : code_(code) {}
  Code code() const { return code_; }
  const char* description() const {
    return "macOS needs you to allow Lantrel in System Settings \u2192 General \u2192 Login Items.";
  }
  const char* what() const noexcept override { return description(); }
  bool operator==(const LaunchAtLoginError& other) const { return code_ == other.code_; }

 private:
  Code code_;
};

// A reference type: it stands for the one login item of the application, so
// it is neither copied nor moved; share it by reference.
class LaunchAtLoginManager {
 public:
  using StatusProvider = std::function<LaunchAtLoginState()>;
  using Operation = std::function<void()>;

  // Binds to the desktop's login items: an XDG autostart entry
  // "lantrel.desktop" that starts the running program (see XDGAutostart).
  LaunchAtLoginManager();
  // The same entry in `autostartDirectory`, starting `executable`.
  LaunchAtLoginManager(const std::filesystem::path& autostartDirectory,
                       const std::filesystem::path& executable);
  LaunchAtLoginManager(StatusProvider statusProvider, Operation registerService,
                       Operation unregisterService, Operation openSettings);
  LaunchAtLoginManager(const LaunchAtLoginManager&) = delete;
  LaunchAtLoginManager& operator=(const LaunchAtLoginManager&) = delete;

  // Asks the platform every time.
  LaunchAtLoginState state() const { return statusProvider_(); }

  // Turns the login item on or off. Turning it on throws LaunchAtLoginError
  // when the user has yet to allow it, before or after registering; other
  // failures of the platform reach the caller unchanged.
  void setEnabled(bool enabled);

  // Shows the user where login items are allowed.
  void openSystemSettings() { openSettings_(); }

 private:
  StatusProvider statusProvider_;
  Operation registerService_;
  Operation unregisterService_;
  Operation openSettings_;
};

// The login item on Linux desktops: a desktop entry in the user's autostart
// directory, which session managers run at login.
struct XDGAutostart {
  // "$XDG_CONFIG_HOME/autostart" when that is an absolute path, else
  // "~/.config/autostart".
  static std::filesystem::path defaultDirectory();
  // The entry's path in `directory`: "lantrel.desktop".
  static std::filesystem::path entryPath(const std::filesystem::path& directory);

  // `enabled` when a readable entry is there and neither hidden nor switched
  // off; `disabled` otherwise.
  static LaunchAtLoginState status(const std::filesystem::path& entry);
  // Writes the entry (atomically, mode 0600, directories 0700) so that it
  // starts `executable`; a path with control characters is refused with
  // StatusError::invalidRecord.
  static void install(const std::filesystem::path& entry, const std::filesystem::path& executable);
  // Removes the entry; an absent one is fine.
  static void remove(const std::filesystem::path& entry);
  // Opens the autostart directory with the desktop's file handler; does not
  // wait for it.
  static void openDirectory(const std::filesystem::path& directory);
};

}  // namespace lantrel
