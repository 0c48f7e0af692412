#pragma once

#include "Quillmere/Capture/ScreenCapturePermission.h"
#include "Quillmere/Clipboard/PasteboardAccess.h"

#include <QString>
#include <functional>
#include <optional>

namespace quillmere {

// What this desktop allows the program, asked again at every status refresh, and the pages of
// the desktop's own settings for each. X11 has no permission prompts: every check is a fact of
// the display, and an opener gives false when the desktop has no page to open.
struct SystemAccess {
    // The screen's pixels can be read (X11 allows it unless the connection is untrusted).
    std::function<bool()> screenPixelsReadable;
    // Keys can be sent to other windows (the XTest extension is there).
    std::function<bool()> pasteKeysAvailable;
    // None where the desktop has no notion of clipboard access.
    std::function<std::optional<PasteboardAccessState>()> clipboardAccess;
    std::function<bool()> openScreenCaptureSettings;
    std::function<bool()> openAccessibilitySettings;
    std::function<bool()> openClipboardSettings;

    // X11 as it is: readable when `x11` is true, no settings pages, the clipboard always open.
    static SystemAccess x11(std::function<bool()> screenPixelsReadable, std::function<bool()> pasteKeysAvailable,
                            bool x11);
};

namespace accessnotes {
// Shown in place of a settings page this desktop does not have.
inline const QString noScreenCaptureSetting = QStringLiteral(
    "This desktop has no screen-recording permission to grant: the X server decides who may read the screen, "
    "and it refuses this connection. Start Brindlewax from within your own desktop session.");
inline const QString noAccessibilitySetting = QStringLiteral(
    "There is nothing to grant on this desktop: automatic paste needs the X server's XTest extension, which "
    "this display does not offer. Clips still go to the clipboard; paste them with Ctrl+V.");
inline const QString noClipboardSetting =
    QStringLiteral("This desktop has no clipboard permission to change: every X11 program may read the clipboard.");
} // namespace accessnotes

// The desktop's sound input settings, for the recording controls' microphone; false when none of
// the known mixers is installed.
bool openMicrophoneSettings();

} // namespace quillmere
