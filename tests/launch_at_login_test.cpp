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
using State = LaunchAtLoginState;

TEST(LaunchAtLoginManagerTest, RegistersAndUnregistersOnlyWhenNeeded) {
  // A platform whose answers the test sets: registering moves it to
  // `afterRegister`, unregistering to disabled, and either then fails when
  // told to.
  State current = State::disabled, afterRegister = State::enabled;
  bool fail = false;
  int registered = 0, unregistered = 0, settings = 0;
  auto operation = [&](int& counter, State& target, const State& next) {
    return [&] {
      ++counter;
      target = next;
      if (fail) throw std::runtime_error("platform refused");
    };
  };
  const State disabled = State::disabled;
  LaunchAtLoginManager manager([&] { return current; },
                               operation(registered, current, afterRegister),
                               operation(unregistered, current, disabled), [&] { ++settings; });
  manager.setEnabled(true);
  manager.setEnabled(true);  // already on
  EXPECT_EQ(registered, 1);
  EXPECT_EQ(manager.state(), State::enabled);

  // Registered, but the user has yet to allow it; asking again does not
  // register twice.
  current = State::disabled;
  afterRegister = State::needsApproval;
  EXPECT_THROW(manager.setEnabled(true), LaunchAtLoginError);
  EXPECT_THROW(manager.setEnabled(true), LaunchAtLoginError);
  EXPECT_EQ(registered, 2);

  // A platform failure is the approval error only when approval is what is
  // now pending.
  current = State::disabled;
  fail = true;
  try {
    manager.setEnabled(true);
    ADD_FAILURE() << "no error";
  } catch (const LaunchAtLoginError& error) {
    EXPECT_STREQ(error.description(),
                 "macOS needs you to allow Lantrel in System Settings "
                 "\u2192 General \u2192 Login Items.");
  }
  current = afterRegister = State::disabled;
  EXPECT_THROW(manager.setEnabled(true), std::runtime_error);
  EXPECT_EQ(registered, 4);

  // Off: unregistered only when on or pending.
  fail = false;
  manager.setEnabled(false);
  EXPECT_EQ(unregistered, 0);
  current = State::needsApproval;
  manager.setEnabled(false);
  EXPECT_EQ(unregistered, 1);
  EXPECT_EQ(manager.state(), State::disabled);
  current = State::enabled;
  fail = true;
  EXPECT_THROW(manager.setEnabled(false), std::runtime_error);
  EXPECT_EQ(unregistered, 2);
  manager.openSystemSettings();
  EXPECT_EQ(settings, 1);
}

TEST(XDGAutostartTest, EntryIsWrittenReadBackAndRemoved) {
  TempDir home;
  fs::path directory = home / "config" / "autostart";
  fs::path entry = XDGAutostart::entryPath(directory);
  // Spaces, a quote, a dollar sign, a backslash and a percent sign all need
  // escaping on an Exec line.
  LaunchAtLoginManager manager(directory, "/opt/My Apps/la\"n$t\\rel%1");
  EXPECT_EQ(manager.state(), State::disabled);
  manager.setEnabled(true);
  EXPECT_EQ(manager.state(), State::enabled);
  EXPECT_EQ(testing::modeOf(entry), 0600u);
  EXPECT_EQ(testing::modeOf(home / "config"), 0700u);
  std::string text = testing::readFile(entry);
  EXPECT_EQ(text.rfind("[Desktop Entry]\nType=Application\n", 0), 0u);
  EXPECT_NE(text.find("\nExec=\"/opt/My Apps/la\\\\\"n\\\\$t\\\\\\\\rel%%1\"\n"), std::string::npos)
      << text;
  EXPECT_EQ(fs::directory_iterator(directory)->path(), entry) << "a temporary file was left";

  manager.setEnabled(false);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(manager.state(), State::disabled);

  LaunchAtLoginManager broken(home / "other", "/usr/bin/lan\ntrel");
  EXPECT_THROW(broken.setEnabled(true), StatusError);
  EXPECT_FALSE(fs::exists(XDGAutostart::entryPath(home / "other")));
}

TEST(XDGAutostartTest, HiddenSwitchedOffOrForeignEntriesAreNotEnabled) {
  TempDir home;
  fs::path entry = XDGAutostart::entryPath(home.path());
  auto stateOf = [&](const std::string& text) {
    fs::remove(entry);
    testing::writeFile(entry, text);
    return XDGAutostart::status(entry);
  };
  EXPECT_EQ(stateOf("[Desktop Entry]\nExec = /usr/bin/lantrel\n"), State::enabled);
  EXPECT_EQ(stateOf("[Desktop Entry]\nExec=/usr/bin/lantrel\nHidden=true\n"), State::disabled);
  EXPECT_EQ(stateOf("[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n"), State::disabled);
  EXPECT_EQ(stateOf("[Desktop Entry]\nName=Lantrel\n[Other]\nExec=x\n"), State::disabled);
  EXPECT_EQ(stateOf(std::string(70 * 1024, '#')), State::disabled);

  // A link in place of the entry is not trusted, and enabling replaces the
  // link itself, never the file it points at.
  fs::remove(entry);
  testing::writeFile(home / "elsewhere", "[Desktop Entry]\nExec=x\n");
  fs::create_symlink(home / "elsewhere", entry);
  LaunchAtLoginManager manager(home.path(), "/usr/bin/lantrel");
  EXPECT_EQ(manager.state(), State::disabled);
  manager.setEnabled(true);
  EXPECT_EQ(manager.state(), State::enabled);
  EXPECT_FALSE(fs::is_symlink(entry));
  EXPECT_EQ(testing::readFile(home / "elsewhere"), "[Desktop Entry]\nExec=x\n");
}

// Sets an environment variable for one scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnvironment() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(XDGAutostartTest, DefaultManagerUsesTheConfigHomeAndStartsThisProgram) {
  TempDir home;
  ScopedEnvironment homeVariable("HOME", home.path().c_str());
  {
    ScopedEnvironment config("XDG_CONFIG_HOME", "/srv/config");
    EXPECT_EQ(XDGAutostart::defaultDirectory(), fs::path("/srv/config/autostart"));
  }
  ScopedEnvironment config("XDG_CONFIG_HOME", "relative/config");  // ignored
  LaunchAtLoginManager manager;
  manager.setEnabled(true);
  std::string text = testing::readFile(home / ".config" / "autostart" / "lantrel.desktop");
  EXPECT_NE(text.find("Exec=\"" + fs::read_symlink("/proc/self/exe").string() + "\"\n"),
            std::string::npos)
      << text;

  // Settings open the autostart directory with the desktop's xdg-open.
  fs::path seen = home / "seen";
  testing::writeFile(
      home / "bin" / "xdg-open",
      "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.tmp\" && mv \"$0.tmp\" \"" + seen.string() + "\"\n");
  fs::permissions(home / "bin" / "xdg-open", fs::perms::owner_all);
  ScopedEnvironment path("PATH", (home / "bin").string().append(":/usr/bin:/bin").c_str());
  manager.openSystemSettings();
  for (int i = 0; i < 500 && !fs::exists(seen); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(testing::readFile(seen), (home / ".config" / "autostart").string());
}

}  // namespace
}  // namespace lantrel
