#pragma once

#include "Quillmere/Capture/CaptureShortcuts.h"

#include <QString>
#include <QStringList>

namespace quillmere {

class Preferences;

// Whether captures may read the screen. On X11 that is a fact of the display: the server lets
// this connection read the root window's pixels or it does not. There is no prompt to answer,
// so asking is looking again.
enum class ScreenCapturePermissionState { granted, firstUse, denied };

inline const QString screenCapturePrivacyPaneAddress =
    QStringLiteral("x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture");

// Shown where another desktop would open its screen-recording settings.
inline const QString noScreenCaptureSettingNote = QStringLiteral(
    "This desktop has no screen-recording permission to grant: the X server decides who may read the screen, "
    "and it refuses this connection. Start Brindlewax from within your own desktop session.");

// A modal question; the answer is the index of the button pressed, the first being 0.
struct CaptureAlert {
    enum class Style { informational, warning };
    Style style = Style::informational;
    QString messageText;
    QString informativeText;
    QStringList buttons;
};

namespace ScreenCapturePermission {

ScreenCapturePermissionState current(bool screenPixelsReadable, const Preferences &prefs);
// Stopping a recording that runs needs no permission.
ScreenCapturePermissionState effective(CaptureAction action, ScreenCapturePermissionState state, bool isStopRequest);

QString phrase(CaptureAction action);
CaptureAlert explanationAlert(CaptureAction action);  // buttons "Continue", "Not Now"
CaptureAlert accessNeededAlert(CaptureAction action); // buttons "Open System Settings", "Not Now"
CaptureAlert waylandNotice();

// The desktop's own page for the screen-capture permission, where it has one. False when it has
// none, as X11 desktops do.
bool openSystemSettings();

} // namespace ScreenCapturePermission

} // namespace quillmere
