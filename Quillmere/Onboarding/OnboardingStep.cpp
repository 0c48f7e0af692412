#include "Quillmere/Onboarding/OnboardingStep.h"

#include "Quillmere/Onboarding/OnboardingPalette.h"

namespace quillmere {

QString rawValue(OnboardingStep step)
{
    switch (step) {
    case OnboardingStep::privacy:
        return QStringLiteral("privacy");
    case OnboardingStep::permissions:
        return QStringLiteral("permissions");
    case OnboardingStep::sync:
        return QStringLiteral("sync");
    case OnboardingStep::hotkey:
        return QStringLiteral("hotkey");
    case OnboardingStep::ready:
        break;
    }
    return QStringLiteral("ready");
}

std::optional<OnboardingStep> onboardingStepFromRaw(const QString &raw)
{
    for (OnboardingStep step : allOnboardingSteps)
        if (rawValue(step) == raw)
            return step;
    return std::nullopt;
}

QString title(OnboardingStep step)
{
    switch (step) {
    case OnboardingStep::privacy:
        return QStringLiteral("Privacy");
    case OnboardingStep::permissions:
        return QStringLiteral("Permissions");
    case OnboardingStep::sync:
        return QStringLiteral("Sync");
    case OnboardingStep::hotkey:
        return QStringLiteral("Hotkey");
    case OnboardingStep::ready:
        break;
    }
    return QStringLiteral("Ready");
}

QString systemImage(OnboardingStep step)
{
    switch (step) {
    case OnboardingStep::privacy:
        return QStringLiteral("lock.shield");
    case OnboardingStep::permissions:
        return QStringLiteral("hand.raised.fill");
    case OnboardingStep::sync:
        return QStringLiteral("icloud.fill");
    case OnboardingStep::hotkey:
        return QStringLiteral("keyboard");
    case OnboardingStep::ready:
        break;
    }
    return QStringLiteral("checkmark.circle.fill");
}

QColor tint(OnboardingStep step)
{
    namespace P = OnboardingPalette;
    switch (step) {
    case OnboardingStep::privacy:
        return P::blue();
    case OnboardingStep::permissions:
        return P::orange();
    case OnboardingStep::sync:
        return P::green();
    case OnboardingStep::hotkey:
        return P::purple();
    case OnboardingStep::ready:
        break;
    }
    return P::accent();
}

} // namespace quillmere
