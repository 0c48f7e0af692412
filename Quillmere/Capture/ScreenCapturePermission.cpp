#include "Quillmere/Capture/ScreenCapturePermission.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"

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
            QStringLiteral("Screen Not Readable"),
            QStringLiteral("Brindlewax reads the screen's pixels to %1, and the X server does not let it. "
                           "It captures only when you start a screenshot, OCR action, or recording. "
                           "OCR processing stays on this computer.")
                .arg(phrase(action)),
            {QStringLiteral("Check Again"), QStringLiteral("Not Now")}};
}

CaptureAlert accessNeededAlert(CaptureAction action)
{
    return {CaptureAlert::Style::warning,
            QStringLiteral("Screen Not Readable"),
            QStringLiteral("The X server does not let Brindlewax read the screen's pixels, so it cannot %1. There is "
                           "no permission to grant: start Brindlewax from within your own desktop session, where "
                           "DISPLAY names your screen, and try again.")
                .arg(phrase(action)),
            {QStringLiteral("OK")}};
}

CaptureAlert waylandNotice()
{
    return {CaptureAlert::Style::informational,
            QStringLiteral("Only X11 Windows Can Be Captured"),
            QStringLiteral("This session runs Wayland. Brindlewax reads the screen through XWayland, so screenshots "
                           "and text capture show X11 windows only; other windows come out blank."),
            {QStringLiteral("OK")}};
}

} // namespace quillmere::ScreenCapturePermission
