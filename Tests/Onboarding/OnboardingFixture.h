#pragma once

#include "Quillmere/Onboarding/OnboardingFlow.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"
#include "Quillmere/Sync/CloudSyncStatus.h"
#include "Quillmere/Sync/SyncHealthStore.h"
#include "Support/TestSupport.h"

#include <memory>

namespace quillmere::test {

// A guide's flow over fresh preferences, with a desktop whose answers the test sets.
struct OnboardingFixture {
    explicit OnboardingFixture(PersistenceMode mode = PersistenceMode::localOnly,
                               CloudSyncStatus::AccountStatus account = CloudSyncStatus::AccountStatus::available)
        : health(*prefs, clock.clock()),
          status(mode, true, {&health, &notifications, clock.clock(), [this, account](const QString &) {
                                  ++accountChecks;
                                  return CloudSyncStatus::AccountAnswer{account, {}};
                              }})
    {
    }

    OnboardingFlow::Dependencies dependencies(bool withSettingsPages = false)
    {
        OnboardingFlow::Dependencies deps;
        deps.preferences = prefs.prefs.get();
        deps.syncStatus = &status;
        deps.checks.screenPixelsReadable = [this] { return pixelsReadable; };
        deps.checks.pasteKeysAvailable = [this] { return xtest; };
        if (withSettingsPages) {
            deps.checks.openScreenCaptureSettings = [this] { return ++screenPagesOpened, true; };
            deps.checks.openAccessibilitySettings = [this] { return ++accessibilityPagesOpened, true; };
        }
        return deps;
    }

    std::unique_ptr<OnboardingFlow> makeFlow(bool withSettingsPages = false)
    {
        return std::make_unique<OnboardingFlow>(dependencies(withSettingsPages));
    }

    bool completed() const { return prefs.prefs->get(PreferenceKeys::onboardingCompleted); }

    TempPreferences prefs;
    FakeClock clock;
    NotificationCenter notifications;
    SyncHealthStore health;
    int accountChecks = 0;
    CloudSyncStatus status;
    bool pixelsReadable = true;
    bool xtest = true;
    int screenPagesOpened = 0;
    int accessibilityPagesOpened = 0;
};

} // namespace quillmere::test
