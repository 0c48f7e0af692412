#pragma once

#include "Quillmere/Model/Records.h"

#include <QObject>
#include <QTimer>
#include <functional>

namespace quillmere {

class NotificationCenter;
class Preferences;
class SoundPlayer;
struct Notification;

// The short confirmation after every copy: a sound, a check mark on the tray icon for 0.7 s, and
// the follow-ups of a captured clip.
class CopyFeedback : public QObject {
    Q_OBJECT
public:
    static inline const QString clipCapturedNotification = QStringLiteral("quillmere.clipCaptured");
    static constexpr int flashMs = 700;

    struct Hooks {
        std::function<void(const ClipRef &)> registerSourceApp;
        std::function<void(const ClipRef &)> captureCoordinatorDidCapture;
        std::function<void(const ClipRef &)> fetchLinkPreview;
        std::function<bool()> isRecording;
        // Shows the check mark (true) or the normal glyph (false); empty when there is no tray icon.
        std::function<void(bool copied)> showCopiedIcon;
    };

    CopyFeedback(Preferences &prefs, SoundPlayer &sounds, NotificationCenter &center, Hooks hooks,
                 QObject *parent = nullptr);

    bool copySoundIsEnabled() const;
    void handleCapturedClip(const ClipRef &clip);
    void handleOwnPasteboardWrite(const Notification &note);
    void flashCopiedIcon();

    qint64 generation() const { return m_generation; }

private:
    Preferences &m_prefs;
    SoundPlayer &m_sounds;
    NotificationCenter &m_center;
    Hooks m_hooks;
    qint64 m_generation = 0;
};

} // namespace quillmere
