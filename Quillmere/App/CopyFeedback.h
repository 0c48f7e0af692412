#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

namespace quillmere {

class Preferences;
class SoundPlayer;
class SoundThread;
struct Notification;

// The short confirmation after every copy: a sound and a check mark on the tray icon for 0.7 s.
class CopyFeedback : public QObject {
    Q_OBJECT
public:
    static constexpr int flashMs = 700;

    struct Hooks {
        std::function<bool()> isRecording;
        // Shows the check mark (true) or the normal glyph (false); empty when there is no tray icon.
        std::function<void(bool copied)> showCopiedIcon;
    };

    CopyFeedback(Preferences &prefs, SoundPlayer &sounds, Hooks hooks, QObject *parent = nullptr);
    ~CopyFeedback() override;

    bool copySoundIsEnabled() const;
    // A copy the monitor captured: "Pop" (unless turned off) and the check mark.
    void confirmCopy();
    void handleOwnPasteboardWrite(const Notification &note);
    void flashCopiedIcon();

    qint64 generation() const { return m_generation; }

private:
    Preferences &m_prefs;
    // The sound is opened and played off the main thread: a missing device's retries take tens
    // of milliseconds each.
    std::unique_ptr<SoundThread> m_sounds;
    Hooks m_hooks;
    qint64 m_generation = 0;
};

} // namespace quillmere
