#include "lantrel/launch_at_login.hpp"

#include <gtest/gtest.h>

#include "lantrel/errors.hpp"
#include "test_support.hpp"

using namespace lantrel;
using namespace lantrel::testing;
using State = LaunchAtLoginState;

// A platform whose answers the test sets: registering moves it to `next`.
TEST(LaunchAtLoginManager, RegistersOnlyWhenNeededAndReportsPendingApproval) {
  State current = State::disabled, next = State::enabled;
  int registered = 0, unregistered = 0;
  LaunchAtLoginManager manager([&] { return current; }, [&] { ++registered, current = next; },
                               [&] { ++unregistered, current = State::disabled; }, [] {});
  manager.setEnabled(true);
  manager.setEnabled(true);  // already on
  EXPECT_EQ(std::tuple(registered, manager.state()), std::tuple(1, State::enabled));
  current = State::disabled, next = State::needsApproval;  // registered, not yet allowed
  EXPECT_THROW(manager.setEnabled(true), LaunchAtLoginError);
  manager.setEnabled(false);
  EXPECT_EQ(std::tuple(registered, unregistered), std::tuple(2, 1));
}

TEST(XDGAutostart, EntryInTheConfigHomeStartsThisProgram) {
  TempDir home;
  std::vector<std::pair<const char*, std::string>> saved;  // put back at the end
  for (const char* name : {"HOME", "XDG_CONFIG_HOME"})
    saved.emplace_back(name, std::getenv(name) ? std::getenv(name) : "");
  std::shared_ptr<void> restore(nullptr, [&](void*) {
    for (auto& [name, value] : saved) ::setenv(name, value.c_str(), 1);
  });
  ::setenv("HOME", home.path().c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);  // ignored
  LaunchAtLoginManager manager;
  manager.setEnabled(true);
  fs::path entry = home / ".config/autostart/lantrel.desktop";
  std::string self = fs::read_symlink("/proc/self/exe");
  EXPECT_NE(readFile(entry).find("\nExec=\"" + self + "\"\n"), std::string::npos) << self;
  EXPECT_EQ(manager.state(), State::enabled);
  manager.setEnabled(false);
  EXPECT_FALSE(fs::exists(entry));
}
