#pragma once

#include "Quillmere/Capture/CaptureShortcuts.h"
#include "Quillmere/Platform/GlobalKeyGrabber.h"

#include <QObject>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace quillmere {

// The program's one registry of system-wide hot keys. Combinations are given in the stored form
// (Carbon virtual key code and modifier mask) and translated to the X keyboard when registering:
// Command is Super, Option is Alt. Handlers run later on the main thread, never inside the
// key event itself.
class HotKeyCenter : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void()>;

    static constexpr quint32 keyCodeV = 9;

    // Without a grabber the real X11 one is used.
    explicit HotKeyCenter(std::unique_ptr<GlobalKeyGrabbing> grabber = nullptr, QObject *parent = nullptr);
    ~HotKeyCenter() override;

    // The new identifier, or nothing when the key cannot be grabbed (unknown key, not on the
    // keyboard, held by another program, no display). A failure uses up no identifier.
    std::optional<quint32> registerHotKey(quint32 keyCode, quint32 modifiers, Handler handler);
    // Unknown identifiers are ignored.
    void unregisterHotKey(quint32 identifier);
    // Runs the handler registered under the identifier, if it is still registered.
    void dispatch(quint32 identifier);

    // Why the latest registerHotKey() gave nothing; none after one that succeeded.
    std::optional<GrabFailure> lastFailure() const { return m_lastFailure; }

    bool isRegistered(quint32 identifier) const { return m_handlers.count(identifier) != 0; }

    // Lets go of every grab on the X server until the last token given out is dropped, so the
    // keys reach the program's own window (a shortcut field waiting for a combination). The
    // handlers stay registered; a key another program took meanwhile is logged.
    std::shared_ptr<void> suspendGrabs();
    bool isSuspended() const { return m_suspensions > 0; }

    // Carbon (ANSI positions) to the X keysym of the key's unshifted symbol.
    static std::optional<quint32> keysymForKeyCode(quint32 keyCode);
    static ChordModifiers chordModifiers(quint32 carbonModifiers);
    static std::optional<KeyChord> chordFor(quint32 keyCode, quint32 carbonModifiers);

private:
    std::optional<GlobalKeyGrabbing::GrabID> grab(quint32 identifier, const KeyChord &chord);
    void resumeGrabs();

    std::unique_ptr<GlobalKeyGrabbing> m_grabber;
    std::map<quint32, Handler> m_handlers;
    std::map<quint32, KeyChord> m_chords;
    std::map<quint32, GlobalKeyGrabbing::GrabID> m_hotKeyRefs; // the grabs held now
    int m_suspensions = 0;
    quint32 m_nextIdentifier = 1;
    std::optional<GrabFailure> m_lastFailure;
};

} // namespace quillmere
