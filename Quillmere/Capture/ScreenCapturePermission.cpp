#include "Quillmere/Capture/ScreenCapturePermission.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QUrl>

namespace quillmere::ScreenCapturePermission {

ScreenCapturePermissionState current(bool screenPixelsReadable, const Preferences &prefs)
{
    if (screenPixelsReadable)
        return ScreenCapturePermissionState::granted;
    return prefs.get(PreferenceKeys::screenCapturePermissionRequested) ? ScreenCapturePermissionState::denied
                                                                       : ScreenCapturePermissionState::firstUse;
}

ScreenCapturePermissionState effective(CaptureAction action, ScreenCapturePermissionState state, bool isStopRequest)
{
    if (action == CaptureAction::screenRecording && isStopRequest)
        return ScreenCapturePermissionState::granted;
    return state;
}

QString phrase(CaptureAction action)
{
    switch (action) {
    case CaptureAction::areaScreenshot:
        return QStringLiteral("capture the area you select");
    case CaptureAction::fullScreenScreenshot:
        return QStringLiteral("capture your display");
    case CaptureAction::ocrArea:
        return QStringLiteral("capture the selected area before recognizing its text locally");
    case CaptureAction::screenRecording:
        return QStringLiteral("record the screen area you select");
    }
    return {};
}

CaptureAlert explanationAlert(CaptureAction action)
{
    return {CaptureAlert::Style::informational,
            QStringLiteral("Allow Screen Capture"),
            QStringLiteral("Brindlewax needs Screen & System Audio Recording access to %1. "
                           "It captures only when you start a screenshot, OCR action, or recording. "
                           "OCR processing stays on this computer.")
                .arg(phrase(action)),
            {QStringLiteral("Continue"), QStringLiteral("Not Now")}};
}

CaptureAlert accessNeededAlert(CaptureAction action)
{
    return {CaptureAlert::Style::warning,
            QStringLiteral("Screen Capture Access Needed"),
            QStringLiteral("Enable Brindlewax in System Settings → Privacy & Security → Screen & System Audio "
                           "Recording to %1. macOS may ask you to quit and reopen Brindlewax after granting access.")
                .arg(phrase(action)),
            {QStringLiteral("Open System Settings"), QStringLiteral("Not Now")}};
}

CaptureAlert waylandNotice()
{
    return {CaptureAlert::Style::informational,
            QStringLiteral("Only X11 Windows Can Be Captured"),
            QStringLiteral("This session runs Wayland. Brindlewax reads the screen through XWayland, so screenshots "
                           "and text capture show X11 windows only; other windows come out blank."),
            {QStringLiteral("OK")}};
}

bool openSystemSettings()
{
    const QUrl url(screenCapturePrivacyPaneAddress, QUrl::StrictMode);
    if (!url.isValid())
        return false;
    // The pane named in the address maps to what this desktop offers. X11 desktops have no
    // screen-capture permission page: the X server alone decides.
    qCInfo(lcCapture, "This desktop has no settings page for %s", qPrintable(url.query()));
    return false;
}

} // namespace quillmere::ScreenCapturePermission
