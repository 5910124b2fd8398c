#include "lantrel/onboarding_journey.hpp"

#include <gtest/gtest.h>

using lantrel::OnboardingJourney;
using Step = lantrel::OnboardingStep;

TEST(OnboardingJourney, WaitsAtConnectUntilTheConfigurationIsSaved) {
  OnboardingJourney journey;
  journey.goBack();
  EXPECT_EQ(journey.step, Step::why);
  for (int i = 0; i < 10; ++i) journey.advance();
  EXPECT_EQ(journey.step, Step::connect);
  EXPECT_FALSE(journey.canFinish());
  journey.goBack();
  EXPECT_EQ(journey.step, Step::find);
  journey.advance();
  EXPECT_EQ(journey.step, Step::connect);
  journey.markConfigurationSaved();
  journey.advance();
  journey.advance();
  EXPECT_EQ(journey.step, Step::ready);
  EXPECT_TRUE(journey.canFinish());
  journey.goBack();
  EXPECT_EQ(journey.step, Step::connect);
  EXPECT_FALSE(journey.canFinish());
}
