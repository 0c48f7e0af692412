#pragma once

#include <QString>

namespace quillmere {

// The names of the notices posted through NotificationCenter, each declared once: the poster and
// every observer include this, whichever library they sit in. The texts are the stored names.
namespace Notices {
// Posted after a clip was captured: by the capture coordinator for screenshots, text and
// recordings, by the capture follow-ups for other captures.
inline const QString clipCaptured = QStringLiteral("quillmere.clipCaptured");
// Asks the capture coordinator for an area capture (the panel's and the menus' entry point).
inline const QString requestAreaCapture = QStringLiteral("quillmere.requestAreaCapture");
// Posted by the Capture settings when a capture shortcut changed; the coordinator re-registers.
inline const QString captureShortcutsChanged = QStringLiteral("quillmere.captureShortcutsChanged");
// Posted by the sync status after other devices' records were imported.
inline const QString cloudImportDidSucceed = QStringLiteral("quillmereCloudKitImportDidSucceed");
// Posted by the panel controller; the history view and the delegate observe them.
inline const QString panelDidShow = QStringLiteral("quillmerePanelDidShow");
inline const QString panelKeyPressed = QStringLiteral("quillmerePanelKeyPressed");
inline const QString panelKeyboardCaptureChanged = QStringLiteral("quillmerePanelKeyboardCaptureChanged");
inline const QString panelInteractionModeChanged = QStringLiteral("quillmerePanelInteractionModeChanged");
} // namespace Notices

} // namespace quillmere
