#pragma once

#include "Quillmere/Capture/CaptureSettings.h"
#include "Quillmere/Capture/CaptureShortcuts.h"
#include "Quillmere/Capture/ScreenshotCaptureService.h"

#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace quillmere {

class NotificationCenter;
class Preferences;

// The Capture pane's state: one global shortcut per capture action, what a screenshot puts on
// the clipboard, the card's corner and the toast switch. Every change is written at once; a
// shortcut change also asks the capture hot keys to be registered again.
class CaptureSettingsModel : public QObject {
    Q_OBJECT
public:
    struct Row {
        CaptureAction action;
        QString title;
        QString shortName; // in the conflict warning
        QString subtitle;
        QString systemImage;
    };
    struct Dependencies {
        Preferences *preferences = nullptr;
        NotificationCenter *center = nullptr;
        // Whether the X server refused the action's hot key because another program holds it.
        std::function<bool(CaptureAction)> isShortcutRefused;
    };

    // The panel and paste-next hot keys, Shift+Super+V and Alt+Super+V.
    static const QList<CaptureShortcut> &programShortcuts();
    // What the program's own shortcut does, in the conflict warning; empty for any other.
    static QString programShortcutName(const CaptureShortcut &shortcut);
    // A recorder's refusal of one of the program's own shortcuts.
    static QString takenByProgramText(const CaptureShortcut &shortcut);
    static const QList<Row> &rows();

    explicit CaptureSettingsModel(Dependencies deps, QObject *parent = nullptr);
    Preferences *preferences() const { return m_deps.preferences; }

    const CaptureShortcutPreferences &shortcuts() const { return m_shortcuts; }
    std::optional<CaptureShortcut> shortcut(CaptureAction action) const;
    // None removes the action's entry; the default does not come back for it.
    void setShortcut(std::optional<CaptureShortcut> shortcut, CaptureAction action);

    // Actions on one of the program's own shortcuts or sharing one, in action order, once each.
    static QList<CaptureAction> conflictingActions(const QMap<CaptureAction, CaptureShortcut> &shortcuts);
    // Empty when nothing conflicts.
    QString conflictMessage() const;
    // What the row says when the X server refused its shortcut; empty otherwise.
    QString refusalText(CaptureAction action) const;

    ScreenshotClipboardOutput screenshotClipboardOutput() const { return m_output; }
    void setScreenshotClipboardOutput(ScreenshotClipboardOutput output);
    static QString title(ScreenshotClipboardOutput output);
    static QString afterScreenshotSubtitle(ScreenshotClipboardOutput output);
    static QString afterScreenshotSymbol(ScreenshotClipboardOutput output);

    CaptureOverlayPosition overlayPosition() const { return m_position; }
    void setOverlayPosition(CaptureOverlayPosition position);

    // Live: a change made elsewhere shows at once.
    bool toastEnabled() const;
    void setToastEnabled(bool enabled);

Q_SIGNALS:
    void changed();

private:
    Dependencies m_deps;
    CaptureShortcutPreferences m_shortcuts;
    ScreenshotClipboardOutput m_output;
    CaptureOverlayPosition m_position;
};

} // namespace quillmere
