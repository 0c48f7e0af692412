#pragma once

#include "Quillmere/Capture/ScreenCapturePermission.h"
#include "Quillmere/Onboarding/OnboardingStep.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>

namespace quillmere {

class CloudSyncStatus;
class Preferences;

// The setup guide's state and rules, with no widget in sight: which step shows, when a step
// counts as done, what the page buttons do, and how the guide ends. Every ending marks the guide
// as done; the outcome tells whether the user asked for the panel.
class OnboardingFlow : public QObject {
    Q_OBJECT
public:
    // What this desktop allows, asked again every second while the guide is on screen.
    struct SystemChecks {
        std::function<bool()> screenPixelsReadable;
        std::function<bool()> pasteKeysAvailable;
        // The desktop's own settings pages; empty where the desktop has none (X11 has neither).
        std::function<bool()> openScreenCaptureSettings;
        std::function<bool()> openAccessibilitySettings;
    };
    struct Dependencies {
        Preferences *preferences = nullptr;
        CloudSyncStatus *syncStatus = nullptr;
        SystemChecks checks;
    };

    static constexpr int refreshIntervalMs = 1000;

    explicit OnboardingFlow(Dependencies deps, QObject *parent = nullptr);

    Preferences &preferences() const { return *m_deps.preferences; }
    CloudSyncStatus &syncStatus() const { return *m_deps.syncStatus; }

    // ---- Steps ---------------------------------------------------------------------------
    OnboardingStep selectedStep() const { return m_step; }
    void selectStep(OnboardingStep step);
    void goBack();
    void goForward();
    bool canGoBack() const { return m_step != allOnboardingSteps.front(); }
    // The last step ends the guide instead of going on.
    bool showsFinish() const { return m_step == OnboardingStep::ready; }
    bool isStepComplete(OnboardingStep step) const;

    // ---- Page state ----------------------------------------------------------------------
    bool isCapturePaused() const;
    // The capture switch: stores the choice and stays on the page.
    void setCaptureOn(bool on);
    // "Start Capture" and "Keep Paused": store the choice and move on to the permissions.
    void setCapturePaused(bool paused);
    QString panelOpenBehaviorRawValue() const;
    // The stored behaviour, any unknown text read as "history".
    QString panelOpenSelection() const;
    void setPanelOpenBehavior(const QString &raw);

    ScreenCapturePermissionState screenCapturePermissionState() const { return m_screenCapture; }
    bool isAccessibilityTrusted() const { return m_accessibilityTrusted; }
    bool hasScreenCaptureSettings() const { return bool(m_deps.checks.openScreenCaptureSettings); }
    bool hasAccessibilitySettings() const { return bool(m_deps.checks.openAccessibilitySettings); }
    void requestScreenCaptureAccess();
    void requestAccessibilityTrust();
    void refreshCloudStatus();

    // ---- On screen -----------------------------------------------------------------------
    // Each time the guide comes on screen: repairs an unknown first view, re-checks the sync
    // folder and the permissions.
    void refreshOnAppear();
    void refreshSystemStatus();
    void setRefreshActive(bool active);
    bool isRefreshActive() const { return m_refresh.isActive(); }

    // ---- Endings -------------------------------------------------------------------------
    // "Finish & Open" (true) and "Skip Setup" (false): marks the guide done and asks for the
    // window to close. Later choices are ignored.
    void finish(bool openPanel);
    // The window closed, by a choice above or by its close button (which also marks the guide
    // done). The outcome: true, false, or none for the close button. Asked once; later calls
    // answer none and change nothing.
    std::optional<bool> windowDidClose();
    bool hasEnded() const { return m_closed; }

Q_SIGNALS:
    // Any state a page shows changed.
    void changed();
    void closeRequested();

private:
    void preferenceChanged(const QString &key);
    bool setSystemStatus(bool trusted, ScreenCapturePermissionState screen);

    Dependencies m_deps;
    OnboardingStep m_step = OnboardingStep::privacy;
    bool m_accessibilityTrusted = false;
    ScreenCapturePermissionState m_screenCapture = ScreenCapturePermissionState::firstUse;
    std::optional<bool> m_completionRequest;
    bool m_closed = false;
    QTimer m_refresh;
};

} // namespace quillmere
