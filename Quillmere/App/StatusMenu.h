#pragma once

#include "Quillmere/Capture/CaptureShortcuts.h"

#include <QKeySequence>
#include <QString>
#include <optional>
#include <vector>

namespace quillmere {

enum class StatusMenuAction {
    separator,
    togglePanel,
    toggleCapturePaused,
    captureArea,
    captureFullScreen,
    ocrArea,
    toggleScreenRecording,
    checkForUpdates,
    openSettings,
    openOnboarding,
    quit,
};

struct StatusMenuEntry {
    StatusMenuAction action = StatusMenuAction::separator;
    QString title;
    QKeySequence shortcut;
    // What the menu shows beside the title: the desktop's notation ("Shift+Super+2"), never Qt's
    // own ("Meta+Shift+2").
    QString shortcutText;
    bool enabled = true;
};

struct StatusMenuState {
    bool capturePaused = false;
    bool recording = false;
    CaptureShortcutPreferences shortcuts;
    bool recordingAvailable = true;
};

// The tray menu's entries, rebuilt at every opening so titles and shortcuts are current.
std::vector<StatusMenuEntry> makeStatusMenuEntries(const StatusMenuState &state);

// A capture shortcut as a menu shortcut: only single letters and digits qualify.
std::optional<QKeySequence> menuShortcut(const CaptureShortcut &shortcut);

} // namespace quillmere
