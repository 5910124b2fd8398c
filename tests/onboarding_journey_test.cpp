#include "lantrel/onboarding_journey.hpp"

#include <gtest/gtest.h>

TEST(OnboardingJourney, WaitsAtConnectUntilTheConfigurationIsSaved) {
  using Step = lantrel::OnboardingStep;
  lantrel::OnboardingJourney journey;
  for (int i = 0; i < 10; ++i) journey.advance();
  EXPECT_TRUE(journey.step == Step::connect && !journey.canFinish());
  journey.markConfigurationSaved();
  for (int i = 0; i < 10; ++i) journey.advance();
  EXPECT_TRUE(journey.step == Step::ready && journey.canFinish());
}
