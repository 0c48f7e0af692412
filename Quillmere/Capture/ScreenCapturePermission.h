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
CaptureAlert explanationAlert(CaptureAction action);  // buttons "Check Again", "Not Now"
CaptureAlert accessNeededAlert(CaptureAction action); // button "OK"
CaptureAlert waylandNotice();

} // namespace ScreenCapturePermission

} // namespace quillmere
