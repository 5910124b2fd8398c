// The steps of the first-run guide and the rules for moving between them.
#pragma once

#include <array>

namespace lantrel {

enum class OnboardingStep : int { why = 0, what = 1, how = 2, find = 3, connect = 4, ready = 5 };

// Every step, in the order the guide shows them.
inline constexpr std::array<OnboardingStep, 6> allOnboardingSteps = {
    OnboardingStep::why,  OnboardingStep::what,    OnboardingStep::how,
    OnboardingStep::find, OnboardingStep::connect, OnboardingStep::ready};

struct OnboardingJourney {
  OnboardingStep step = OnboardingStep::why;
  bool configurationSaved = false;

  // The next step; the guide waits at `connect` until the configuration is
  // saved and stays at `ready`.
  void advance();
  // The previous step; stays at `why`.
  void goBack();
  void markConfigurationSaved() { configurationSaved = true; }
  // The guide can close only at `ready` with a saved configuration.
  bool canFinish() const { return step == OnboardingStep::ready && configurationSaved; }

  bool operator==(const OnboardingJourney&) const = default;
};

}  // namespace lantrel
