#pragma once

#include <QColor>
#include <QString>
#include <array>
#include <optional>

namespace quillmere {

// The guide's steps, in the order of its sidebar and of Back and Continue.
enum class OnboardingStep { privacy, permissions, sync, hotkey, ready };

inline constexpr std::array<OnboardingStep, 5> allOnboardingSteps{OnboardingStep::privacy, OnboardingStep::permissions,
                                                                  OnboardingStep::sync, OnboardingStep::hotkey,
                                                                  OnboardingStep::ready};

QString rawValue(OnboardingStep step);
// Exact names only; any other text is no step.
std::optional<OnboardingStep> onboardingStepFromRaw(const QString &raw);
QString title(OnboardingStep step);
QString systemImage(OnboardingStep step);
// The glyph's colour while the step is selected.
QColor tint(OnboardingStep step);

} // namespace quillmere
