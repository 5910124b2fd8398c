#include "lantrel/launch_at_login.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "lantrel/errors.hpp"
#include "test_support.hpp"

using namespace lantrel;
using State = LaunchAtLoginState;
namespace fs = std::filesystem;

TEST(LaunchAtLoginManager, RegistersAndUnregistersOnlyWhenNeeded) {
  // A platform whose answers the test sets: registering moves it to
  // `afterRegister`, unregistering to disabled, and either then fails when told to.
  State current = State::disabled, afterRegister = State::enabled, disabled = State::disabled;
  bool fail = false;
  int registered = 0, unregistered = 0, settings = 0;
  auto operation = [&](int& counter, State& next) {
    return [&] { ++counter, current = next; if (fail) throw std::runtime_error("platform refused"); };
  };
  LaunchAtLoginManager manager([&] { return current; }, operation(registered, afterRegister),
                               operation(unregistered, disabled), [&] { ++settings; });
  manager.setEnabled(true);
  manager.setEnabled(true);  // already on
  EXPECT_EQ(std::tuple(registered, manager.state()), std::tuple(1, State::enabled));
  // Registered but not yet allowed by the user; asking again does not register twice.
  current = State::disabled;
  afterRegister = State::needsApproval;
  EXPECT_THROW(manager.setEnabled(true), LaunchAtLoginError);
  EXPECT_THROW(manager.setEnabled(true), LaunchAtLoginError);
  EXPECT_EQ(registered, 2);
  // A platform failure is the approval error only when approval is now pending.
  current = State::disabled;
  fail = true;
  EXPECT_THROW(manager.setEnabled(true), LaunchAtLoginError);
  current = afterRegister = State::disabled;
  EXPECT_EQ(lantrel::testing::errorOf([&] { manager.setEnabled(true); }), "other: platform refused");
  EXPECT_EQ(registered, 4);
  // Off: unregistered only when on or pending.
  fail = false;
  manager.setEnabled(false);
  EXPECT_EQ(unregistered, 0);
  current = State::needsApproval;
  manager.setEnabled(false);
  EXPECT_EQ(std::tuple(unregistered, manager.state()), std::tuple(1, State::disabled));
  current = State::enabled;
  fail = true;
  EXPECT_THROW(manager.setEnabled(false), std::runtime_error);
  manager.openSystemSettings();
  EXPECT_EQ(std::tuple(unregistered, settings), std::tuple(2, 1));
}

TEST(XDGAutostart, EntryIsWrittenReadBackAndRemoved) {
  lantrel::testing::TempDir home;
  fs::path entry = XDGAutostart::entryPath(home / "autostart");
  // Spaces, a quote, a dollar sign, a backslash and a percent sign all need escaping on an Exec line.
  LaunchAtLoginManager manager(home / "autostart", "/opt/My Apps/la\"n$t\\rel%1");
  EXPECT_EQ(manager.state(), State::disabled);
  manager.setEnabled(true);
  EXPECT_EQ(manager.state(), State::enabled);
  EXPECT_EQ(lantrel::testing::modeOf(entry), 0600u);
  std::string text = lantrel::testing::readFile(entry);
  EXPECT_EQ(text.rfind("[Desktop Entry]\nType=Application\n", 0), 0u);
  EXPECT_NE(text.find("\nExec=\"/opt/My Apps/la\\\\\"n\\\\$t\\\\\\\\rel%%1\"\n"), std::string::npos) << text;
  manager.setEnabled(false);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_THROW(LaunchAtLoginManager(home / "other", "/usr/bin/lan\ntrel").setEnabled(true), StatusError);
  EXPECT_FALSE(fs::exists(home / "other"));
  // Hidden, switched-off, foreign or oversized entries start nothing.
  for (auto [written, state] : std::initializer_list<std::pair<std::string, State>>{
           {"[Desktop Entry]\nExec = /usr/bin/lantrel\n", State::enabled},
           {"[Desktop Entry]\nExec=/usr/bin/lantrel\nHidden=true\n", State::disabled},
           {"[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n", State::disabled},
           {"[Desktop Entry]\nName=Lantrel\n#Exec=x\nExec=\n[Other]\nExec=x\n", State::disabled},
           {std::string(70 * 1024, '#'), State::disabled}}) {
    lantrel::testing::writeFile(entry, written);
    EXPECT_EQ(XDGAutostart::status(entry), state) << written.substr(0, 80);
  }
  // A link in place of the entry is not trusted, and enabling replaces the link, not its target.
  fs::remove(entry);
  lantrel::testing::writeFile(home / "elsewhere", "[Desktop Entry]\nExec=x\n");
  fs::create_symlink(home / "elsewhere", entry);
  EXPECT_EQ(manager.state(), State::disabled);
  manager.setEnabled(true);
  EXPECT_FALSE(fs::is_symlink(entry));
  EXPECT_EQ(lantrel::testing::readFile(home / "elsewhere"), "[Desktop Entry]\nExec=x\n");
}

TEST(XDGAutostart, DefaultManagerUsesTheConfigHomeAndStartsThisProgram) {
  lantrel::testing::TempDir home;
  std::map<std::string, std::optional<std::string>> saved;  // the environment, put back at the end
  for (const char* name : {"HOME", "XDG_CONFIG_HOME", "PATH"})
    saved[name] = std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
  std::shared_ptr<void> restore(nullptr, [&](void*) {
    for (auto& [name, value] : saved) value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  });
  ::setenv("HOME", home.path().c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", "/srv/config", 1);
  EXPECT_EQ(XDGAutostart::defaultDirectory(), fs::path("/srv/config/autostart"));
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);  // ignored
  LaunchAtLoginManager manager;
  manager.setEnabled(true);
  std::string text = lantrel::testing::readFile(home / ".config/autostart/lantrel.desktop");
  EXPECT_NE(text.find("Exec=\"" + fs::read_symlink("/proc/self/exe").string() + "\"\n"), std::string::npos) << text;
  // Settings open the directory with the desktop's xdg-open, in the background.
  lantrel::testing::writeFile(home / "bin/xdg-open", "#!/bin/sh\nprintf %s \"$1\" >\"$0.tmp\" && mv \"$0.tmp\" \"$0.seen\"\n");
  fs::permissions(home / "bin/xdg-open", fs::perms::owner_all);
  ::setenv("PATH", (home / "bin").string().append(":/usr/bin:/bin").c_str(), 1);
  manager.openSystemSettings();
  for (int i = 0; i < 3000 && !fs::exists(home / "bin/xdg-open.seen"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(lantrel::testing::readFile(home / "bin/xdg-open.seen"), (home / ".config/autostart").string());
}
