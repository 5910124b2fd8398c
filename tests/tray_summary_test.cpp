// The menu bar's summary rules.
#include <gtest/gtest.h>

#include "lantrel/tray_summary.hpp"

using namespace lantrel;
using S = LightState;

TEST(TraySummary, UrgencyCountsTitlesSoundsAndWindows) {
  EXPECT_EQ(aggregate({}), S::unknown);
  EXPECT_EQ(aggregate({S::done, S::working}), S::working);
  using V = std::vector<MenuBarStatus>;
  EXPECT_EQ(menuBarStatuses({S::done, S::failed, S::unknown}), (V{{S::failed, 1}, {S::done, 1}}));
  TrayLampCounts lamps({{S::waiting, 2}, {S::failed, 1}, {S::working, 4}, {S::done, 1}});
  EXPECT_EQ(std::tuple(lamps.red, lamps.amber, lamps.blue, lamps.green), std::tuple(3, 4, 0, 1));
  EXPECT_EQ(menuBarTitle(S::unread, 12) + "," + menuBarTitle(S::done, 3), "12 Finished,");
  EXPECT_EQ(soundCue(S::unread, S::working), StatusSound::finished);
  EXPECT_FALSE(soundCue(S::unread, S::unread));
  EXPECT_EQ(ActivityWindow::saved(3), ActivityWindow::day);  // anything unexpected is a day
  const Instant now{700'000'000};
  ActivityWindow hour = ActivityWindow::hour;
  EXPECT_FALSE(hour.contains(now - 3600, now) || hour.contains(now + 61, now));
  EXPECT_TRUE(hour.contains(now - 3599.5, now) && hour.contains(now + 60, now));
  // Confirmed pending attention is listed however old; otherwise age decides.
  TaskStatus waiting("job", "t", S::waiting, now - 86400 * 3, "Local status");
  EXPECT_FALSE(hour.includes(waiting, now, {}));
  waiting.confirmedAttentionPending = true;
  EXPECT_TRUE(hour.includes(waiting, now, {}));
}
