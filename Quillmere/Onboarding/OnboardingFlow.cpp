#include "Quillmere/Onboarding/OnboardingFlow.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Panel/PanelTypes.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/CloudSyncStatus.h"

#include <algorithm>

namespace quillmere {

OnboardingFlow::OnboardingFlow(Dependencies deps, QObject *parent) : QObject(parent), m_deps(std::move(deps))
{
    Q_ASSERT(m_deps.preferences && m_deps.syncStatus);
    m_refresh.setInterval(refreshIntervalMs);
    m_refresh.setTimerType(Qt::PreciseTimer);
    connect(&m_refresh, &QTimer::timeout, this, &OnboardingFlow::refreshSystemStatus);
    connect(m_deps.preferences, &Preferences::changed, this, &OnboardingFlow::preferenceChanged);
    connect(m_deps.syncStatus, &CloudSyncStatus::changed, this, &OnboardingFlow::changed);
    m_accessibilityTrusted = m_deps.checks.pasteKeysAvailable && m_deps.checks.pasteKeysAvailable();
    m_screenCapture = ScreenCapturePermission::current(
        m_deps.checks.screenPixelsReadable && m_deps.checks.screenPixelsReadable(), preferences());
}

void OnboardingFlow::selectStep(OnboardingStep step)
{
    if (step == m_step)
        return;
    m_step = step;
    Q_EMIT changed();
}

void OnboardingFlow::goBack()
{
    const auto at = std::find(allOnboardingSteps.begin(), allOnboardingSteps.end(), m_step);
    if (at != allOnboardingSteps.end() && at != allOnboardingSteps.begin())
        selectStep(*(at - 1));
}

void OnboardingFlow::goForward()
{
    const auto at = std::find(allOnboardingSteps.begin(), allOnboardingSteps.end(), m_step);
    if (at != allOnboardingSteps.end() && at + 1 != allOnboardingSteps.end())
        selectStep(*(at + 1));
    else
        selectStep(OnboardingStep::ready);
}

bool OnboardingFlow::isStepComplete(OnboardingStep step) const
{
    switch (step) {
    case OnboardingStep::privacy:
        return !isCapturePaused();
    case OnboardingStep::permissions:
        return m_screenCapture == ScreenCapturePermissionState::granted && m_accessibilityTrusted;
    case OnboardingStep::sync:
    case OnboardingStep::hotkey:
        return true;
    case OnboardingStep::ready:
        break;
    }
    return false;
}

bool OnboardingFlow::isCapturePaused() const
{
    return preferences().get(PreferenceKeys::capturePaused);
}

void OnboardingFlow::setCaptureOn(bool on)
{
    preferences().setBool(PreferenceKeys::capturePaused, !on);
}

void OnboardingFlow::setCapturePaused(bool paused)
{
    preferences().setBool(PreferenceKeys::capturePaused, paused);
    selectStep(OnboardingStep::permissions);
}

QString OnboardingFlow::panelOpenBehaviorRawValue() const
{
    return preferences().string(PreferenceKeys::panelOpenBehavior).value_or(rawValue(PanelOpenBehavior::history));
}

QString OnboardingFlow::panelOpenSelection() const
{
    return rawValue(panelOpenBehaviorFromRaw(panelOpenBehaviorRawValue()).value_or(PanelOpenBehavior::history));
}

void OnboardingFlow::setPanelOpenBehavior(const QString &raw)
{
    if (panelOpenBehaviorFromRaw(raw))
        preferences().setString(PreferenceKeys::panelOpenBehavior, raw);
}

void OnboardingFlow::requestScreenCaptureAccess()
{
    switch (m_screenCapture) {
    case ScreenCapturePermissionState::granted:
        return;
    case ScreenCapturePermissionState::firstUse:
        // The flag the capture actions read too: a request made here counts for them.
        preferences().setBool(PreferenceKeys::screenCapturePermissionRequested, true);
        break;
    case ScreenCapturePermissionState::denied:
        if (hasScreenCaptureSettings()) {
            m_deps.checks.openScreenCaptureSettings();
            return;
        }
        break;
    }
    // Without a prompt to show, asking is looking again.
    refreshSystemStatus();
    Q_EMIT changed();
}

void OnboardingFlow::requestAccessibilityTrust()
{
    if (hasAccessibilitySettings())
        m_deps.checks.openAccessibilitySettings();
    refreshSystemStatus();
}

void OnboardingFlow::refreshCloudStatus()
{
    // Only a status that watches the sync folder checks it; the others keep their words.
    syncStatus().refreshAccountStatus();
}

void OnboardingFlow::refreshOnAppear()
{
    if (!panelOpenBehaviorFromRaw(panelOpenBehaviorRawValue()))
        preferences().setString(PreferenceKeys::panelOpenBehavior, rawValue(PanelOpenBehavior::history));
    syncStatus().refreshAccountStatus();
    refreshSystemStatus();
}

void OnboardingFlow::refreshSystemStatus()
{
    const bool trusted = m_deps.checks.pasteKeysAvailable && m_deps.checks.pasteKeysAvailable();
    const bool readable = m_deps.checks.screenPixelsReadable && m_deps.checks.screenPixelsReadable();
    if (setSystemStatus(trusted, ScreenCapturePermission::current(readable, preferences())))
        Q_EMIT changed();
}

bool OnboardingFlow::setSystemStatus(bool trusted, ScreenCapturePermissionState screen)
{
    if (trusted == m_accessibilityTrusted && screen == m_screenCapture)
        return false;
    m_accessibilityTrusted = trusted;
    m_screenCapture = screen;
    return true;
}

void OnboardingFlow::setRefreshActive(bool active)
{
    if (active && !m_closed)
        m_refresh.start();
    else
        m_refresh.stop();
}

void OnboardingFlow::finish(bool openPanel)
{
    if (m_closed || m_completionRequest)
        return;
    m_completionRequest = openPanel;
    preferences().setBool(PreferenceKeys::onboardingCompleted, true);
    Q_EMIT closeRequested();
}

std::optional<bool> OnboardingFlow::windowDidClose()
{
    if (m_closed)
        return std::nullopt;
    m_closed = true;
    m_refresh.stop();
    if (!m_completionRequest)
        preferences().setBool(PreferenceKeys::onboardingCompleted, true);
    return m_completionRequest;
}

void OnboardingFlow::preferenceChanged(const QString &key)
{
    // The tray menu and the settings write these too.
    if (key == PreferenceKeys::capturePaused || key == PreferenceKeys::panelOpenBehavior
        || key == PreferenceKeys::screenCapturePermissionRequested) {
        if (key == PreferenceKeys::screenCapturePermissionRequested)
            refreshSystemStatus();
        Q_EMIT changed();
    }
}

} // namespace quillmere
