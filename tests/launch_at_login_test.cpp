#include "lantrel/launch_at_login.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <thread>

#include "lantrel/errors.hpp"
#include "test_support.hpp"

namespace lantrel {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

// A platform whose answers the test sets, counting what was asked of it.
struct FakePlatform {
  LaunchAtLoginState current = LaunchAtLoginState::disabled;
  std::optional<LaunchAtLoginState> afterRegister;
  bool registerFails = false;
  bool unregisterFails = false;
  int statusCalls = 0, registerCalls = 0, unregisterCalls = 0, settingsCalls = 0;
};

class ManagerTest : public ::testing::Test {
 protected:
  FakePlatform platform;
  LaunchAtLoginManager manager{
      [this] {
        ++platform.statusCalls;
        return platform.current;
      },
      [this] {
        ++platform.registerCalls;
        if (platform.afterRegister) platform.current = *platform.afterRegister;
        if (platform.registerFails) throw std::runtime_error("platform refused");
      },
      [this] {
        ++platform.unregisterCalls;
        if (platform.unregisterFails) throw std::runtime_error("cannot unregister");
        platform.current = LaunchAtLoginState::disabled;
      },
      [this] { ++platform.settingsCalls; }};
};

TEST_F(ManagerTest, EnablingRegistersOnlyFromDisabledAndReportsPendingApproval) {
  platform.afterRegister = LaunchAtLoginState::enabled;
  manager.setEnabled(true);
  EXPECT_EQ(platform.registerCalls, 1);
  EXPECT_EQ(manager.state(), LaunchAtLoginState::enabled);
  manager.setEnabled(true);  // already on: nothing to do
  EXPECT_EQ(platform.registerCalls, 1);

  // Registered, but the user has to allow it first.
  platform.current = LaunchAtLoginState::disabled;
  platform.afterRegister = LaunchAtLoginState::needsApproval;
  EXPECT_THROW(manager.setEnabled(true), LaunchAtLoginError);
  EXPECT_EQ(platform.registerCalls, 2);
  // Still pending: no second registration.
  EXPECT_THROW(manager.setEnabled(true), LaunchAtLoginError);
  EXPECT_EQ(platform.registerCalls, 2);
}

TEST_F(ManagerTest, AFailedRegistrationIsApprovalOnlyWhenThePlatformSaysSo) {
  platform.registerFails = true;
  platform.afterRegister = LaunchAtLoginState::needsApproval;
  try {
    manager.setEnabled(true);
    FAIL() << "no error";
  } catch (const LaunchAtLoginError& error) {
    EXPECT_STREQ(error.description(),
                 "macOS needs you to allow Lantrel in System Settings \u2192 General \u2192 "
                 "Login Items.");
  }

  platform.current = LaunchAtLoginState::disabled;
  platform.afterRegister.reset();
  EXPECT_THROW(
      {
        try {
          manager.setEnabled(true);
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "platform refused");
          throw;
        }
      },
      std::runtime_error);
}

TEST_F(ManagerTest, DisablingUnregistersWhenOnOrPendingAndPassesErrorsOn) {
  manager.setEnabled(false);
  EXPECT_EQ(platform.unregisterCalls, 0);

  platform.current = LaunchAtLoginState::needsApproval;
  manager.setEnabled(false);
  EXPECT_EQ(platform.unregisterCalls, 1);
  EXPECT_EQ(manager.state(), LaunchAtLoginState::disabled);

  platform.current = LaunchAtLoginState::enabled;
  platform.unregisterFails = true;
  EXPECT_THROW(manager.setEnabled(false), std::runtime_error);
  EXPECT_EQ(platform.unregisterCalls, 2);

  manager.openSystemSettings();
  EXPECT_EQ(platform.settingsCalls, 1);
}

TEST(XDGAutostartTest, EntryIsWrittenReadBackAndRemoved) {
  TempDir home;
  fs::path directory = home / "config" / "autostart";
  fs::path entry = XDGAutostart::entryPath(directory);
  // Spaces, quotes, a dollar sign, a backslash and a percent sign all need
  // escaping in an Exec line.
  LaunchAtLoginManager manager(directory, "/opt/My Apps/la\"n$t\\rel%1");
  EXPECT_EQ(manager.state(), LaunchAtLoginState::disabled);

  manager.setEnabled(true);
  EXPECT_EQ(manager.state(), LaunchAtLoginState::enabled);
  EXPECT_EQ(testing::modeOf(entry), 0600u);
  EXPECT_EQ(testing::modeOf(directory), 0700u);
  EXPECT_EQ(testing::modeOf(home / "config"), 0700u);
  std::string text = testing::readFile(entry);
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
  EXPECT_NE(text.find("\nExec=\"/opt/My Apps/la\\\\\"n\\\\$t\\\\\\\\rel%%1\"\n"), std::string::npos)
      << text;
  EXPECT_EQ(fs::directory_iterator(directory)->path(), entry) << "no temporary file left";

  manager.setEnabled(false);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(manager.state(), LaunchAtLoginState::disabled);
  manager.setEnabled(false);  // nothing there, nothing to do
}

TEST(XDGAutostartTest, HiddenSwitchedOffOrForeignEntriesDoNotCountAsEnabled) {
  TempDir home;
  fs::path entry = XDGAutostart::entryPath(home.path());
  auto stateOf = [&](const std::string& text) {
    fs::remove(entry);
    testing::writeFile(entry, text);
    return XDGAutostart::status(entry);
  };
  EXPECT_EQ(stateOf("[Desktop Entry]\nExec = /usr/bin/lantrel\n"), LaunchAtLoginState::enabled);
  EXPECT_EQ(stateOf("[Desktop Entry]\nExec=/usr/bin/lantrel\nHidden=true\n"),
            LaunchAtLoginState::disabled);
  EXPECT_EQ(stateOf("[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n"),
            LaunchAtLoginState::disabled);
  EXPECT_EQ(stateOf("[Desktop Entry]\nName=Lantrel\n[Other]\nExec=x\n"),
            LaunchAtLoginState::disabled);
  EXPECT_EQ(stateOf(std::string(70 * 1024, '#')), LaunchAtLoginState::disabled);

  // A link in place of the entry is not ours to trust; enabling replaces
  // the link itself, never the file it points at.
  fs::remove(entry);
  testing::writeFile(home / "elsewhere", "[Desktop Entry]\nExec=x\n");
  fs::create_symlink(home / "elsewhere", entry);
  LaunchAtLoginManager manager(home.path(), "/usr/bin/lantrel");
  EXPECT_EQ(manager.state(), LaunchAtLoginState::disabled);
  manager.setEnabled(true);
  EXPECT_EQ(manager.state(), LaunchAtLoginState::enabled);
  EXPECT_FALSE(fs::is_symlink(entry));
  EXPECT_EQ(testing::readFile(home / "elsewhere"), "[Desktop Entry]\nExec=x\n");

  LaunchAtLoginManager broken(home / "other", "/usr/bin/lan\ntrel");
  EXPECT_THROW(broken.setEnabled(true), StatusError);
  EXPECT_FALSE(fs::exists(home / "other" / "lantrel.desktop"));
}

// Sets an environment variable for one scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedEnvironment() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(XDGAutostartTest, DirectoryFollowsXDGConfigHomeOnlyWhenAbsolute) {
  TempDir home;
  ScopedEnvironment homeVariable("HOME", home.path().c_str());
  {
    ScopedEnvironment config("XDG_CONFIG_HOME", "/srv/config");
    EXPECT_EQ(XDGAutostart::defaultDirectory(), fs::path("/srv/config/autostart"));
  }
  {
    ScopedEnvironment config("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(XDGAutostart::defaultDirectory(), home / ".config" / "autostart");
  }
  ScopedEnvironment config("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(XDGAutostart::defaultDirectory(), home / ".config" / "autostart");

  // The default manager writes there and starts this very program.
  LaunchAtLoginManager manager;
  manager.setEnabled(true);
  std::string text = testing::readFile(home / ".config" / "autostart" / "lantrel.desktop");
  EXPECT_NE(text.find("Exec=\"" + fs::read_symlink("/proc/self/exe").string() + "\"\n"),
            std::string::npos)
      << text;
}

TEST(XDGAutostartTest, OpeningSettingsHandsTheDirectoryToXdgOpen) {
  TempDir home;
  fs::path bin = home / "bin";
  fs::path seen = home / "seen";
  testing::writeFile(bin / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + seen.string() +
                                           ".tmp\" && mv \"" + seen.string() + ".tmp\" \"" +
                                           seen.string() + "\"\n");
  fs::permissions(bin / "xdg-open", fs::perms::owner_all);
  std::string path = bin.string() + ":/usr/bin:/bin";
  ScopedEnvironment pathVariable("PATH", path.c_str());

  LaunchAtLoginManager manager(home / "auto start", "/usr/bin/lantrel");
  manager.openSystemSettings();
  for (int i = 0; i < 500 && !fs::exists(seen); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(testing::readFile(seen), (home / "auto start").string());
}

}  // namespace
}  // namespace lantrel
