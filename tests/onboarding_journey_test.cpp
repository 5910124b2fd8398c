#include "lantrel/onboarding_journey.hpp"

#include <gtest/gtest.h>

namespace lantrel {
namespace {

TEST(OnboardingJourneyTest, WaitsAtConnectUntilTheConfigurationIsSaved) {
  OnboardingJourney journey;
  EXPECT_EQ(journey.step, OnboardingStep::why);
  journey.goBack();
  EXPECT_EQ(journey.step, OnboardingStep::why);

  for (int i = 0; i < 10; ++i) journey.advance();
  EXPECT_EQ(journey.step, OnboardingStep::connect);
  EXPECT_FALSE(journey.canFinish());

  journey.goBack();
  EXPECT_EQ(journey.step, OnboardingStep::find);
  journey.advance();
  journey.markConfigurationSaved();
  journey.advance();
  EXPECT_EQ(journey.step, OnboardingStep::ready);
  EXPECT_TRUE(journey.canFinish());
  journey.advance();
  EXPECT_EQ(journey.step, OnboardingStep::ready);

  journey.goBack();
  EXPECT_FALSE(journey.canFinish());
  EXPECT_TRUE(journey.configurationSaved);
  EXPECT_EQ(static_cast<int>(allOnboardingSteps.back()), 5);
}

}  // namespace
}  // namespace lantrel
