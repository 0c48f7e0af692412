#pragma once

#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/Core/Clock.h"
#include "Quillmere/Platform/KeyInjector.h"
#include "Quillmere/Platform/WindowActivator.h"

#include <QObject>
#include <functional>
#include <optional>

namespace quillmere {

class ClipItem;
class NotificationCenter;
class Pasteboard;

// Waits of the paste road, in milliseconds. Tests shorten them; the program keeps the defaults.
struct PasteTimings {
    int keystrokeDelay = 250;      // from the write to the chord when no target is known
    int activationInterval = 40;   // between requests to bring the target to the front
    int activationAttempts = 18;   // requests before pasting anyway
    int focusPollInterval = 5;     // between checks that the target is in front
    int caretBackDelay = 60;       // from Ctrl+V to the Left-arrow presses
    int modifierPollInterval = 20; // while the user still holds modifiers of the hot key
    int modifierWaitLimit = 1000;  // after which the chord goes anyway
};

struct PasteServiceDependencies {
    Pasteboard *pasteboard = nullptr;
    NotificationCenter *notificationCenter = nullptr;
    KeyInjector *keys = nullptr;
    WindowActivator *windows = nullptr;
    std::function<void()> beep; // the system beep; silent when empty
    Clock clock = [] { return QDateTime::currentDateTime(); };
    qint64 ownProcessId = 0; // 0: this process
    QString temporaryRoot;   // where stored file copies go; empty: the temp dir
    PasteTimings timings;
};

// Puts clips on the clipboard for pasting and sends the paste keystroke to the window the user
// came from. Main thread only.
class PasteService : public QObject {
    Q_OBJECT
public:
    // The window a paste goes to, recorded before our own window shows.
    struct PasteTarget {
        WindowTarget app;
        bool operator==(const PasteTarget &) const = default;
    };

    explicit PasteService(PasteServiceDependencies deps, QObject *parent = nullptr);
    ~PasteService() override;

    // Writes the clip for pasting (templates expanded). The caret-back count, or nothing when
    // the clip had nothing to write: then the clipboard is left as it was and the beep sounds.
    std::optional<int> writeToPasteboard(const ClipItem &clip);
    // Puts a plain text on the clipboard (also when empty).
    void writeText(const QString &text);

    bool isTrusted() const;
    // The active window, or none when it is one of ours or is gone.
    std::optional<PasteTarget> frontmostTarget() const;
    // The active window as it is, for callers recording a target before they show a window.
    std::optional<PasteTarget> activeTarget() const;
    bool isFrontmost(const PasteTarget &target) const;
    // In front and holding the keyboard focus: a chord sent now reaches it.
    bool isReadyForKeys(const PasteTarget &target) const;
    // Nobody copied since this service's last write.
    bool clipboardHoldsLastWrite() const;

    // Told whether the paste chord was posted.
    using OnSent = std::function<void(bool posted)>;

    // After a write: without trust nothing more; without a live target the chord goes to whatever
    // is in front; otherwise the target is brought back first.
    void deliverPaste(const std::optional<PasteTarget> &target, int caretBack, OnSent onSent = {});

    void schedulePasteKeystroke(int caretBack, OnSent onSent = {});
    // Sends the chord the moment the target is in front; asks for it again every activation
    // interval.
    void pasteWhenFrontmost(const PasteTarget &target, int attempt, int caretBack, int sinceRequestMs = 0,
                            OnSent onSent = {});
    // The chord that pastes in the window (the active one when none is given).
    PasteChord chordFor(const std::optional<PasteTarget> &target) const;

    const PasteTimings &timings() const { return m_deps.timings; }
    // The system beep: the user asked for a paste and nothing could be pasted.
    void beep();

Q_SIGNALS:
    // The chord was posted (or failed to be); for tests and diagnostics.
    void pasteKeystrokeSent(bool posted, int caretBack);

private:
    std::optional<PasteboardContents> contentsForPaste(const ClipItem &clip, int *caretBack) const;
    std::optional<qint64> write(const PasteboardContents &contents);
    void sendWhenModifiersReleased(const std::optional<PasteTarget> &target, int caretBack, int waitedMs,
                                   OnSent onSent);

    PasteServiceDependencies m_deps;
    // The text of our last write, for the chords that paste PRIMARY.
    QString m_lastText;
    std::optional<qint64> m_lastWriteCount;
    PasteboardWriter m_writer;
};

} // namespace quillmere
