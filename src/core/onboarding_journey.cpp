#include "lantrel/onboarding_journey.hpp"

namespace lantrel {

void OnboardingJourney::advance() {
  if (step == OnboardingStep::ready) return;
  if (step == OnboardingStep::connect && !configurationSaved) return;
  step = static_cast<OnboardingStep>(static_cast<int>(step) + 1);
}

void OnboardingJourney::goBack() {
  if (step == OnboardingStep::why) return;
  step = static_cast<OnboardingStep>(static_cast<int>(step) - 1);
}

}  // namespace lantrel
