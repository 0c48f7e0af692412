#pragma once

#include <QAbstractNativeEventFilter>
#include <QElapsedTimer>
#include <QFlags>
#include <QHash>
#include <QString>
#include <QTimer>
#include <QtGlobal>
#include <array>
#include <bitset>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

enum class ChordModifier : quint8 {
    none = 0,
    shift = 0x1,
    control = 0x2,
    alt = 0x4,
    super = 0x8,
};
Q_DECLARE_FLAGS(ChordModifiers, ChordModifier)
Q_DECLARE_OPERATORS_FOR_FLAGS(ChordModifiers)

// A key combination in layout terms: the key's unshifted X keysym and the held modifiers.
struct KeyChord {
    quint32 keysym = 0;
    ChordModifiers modifiers;
    bool operator==(const KeyChord &) const = default;
};

// "Shift+Super+V": the notation of this desktop's shortcuts.
QString chordText(const KeyChord &chord);

// Why a grab gave nothing. `refused`: the X server said no (BadAccess), because another program
// holds the combination; `alreadyGrabbed`: an earlier grab of ours has it.
enum class GrabFailure { noDisplay, keyNotOnKeyboard, alreadyGrabbed, refused };

// System-wide key grabs. `onPress` runs on the main thread, once per physical press.
class GlobalKeyGrabbing {
public:
    using GrabID = quint64;
    virtual ~GlobalKeyGrabbing() = default;
    // Nothing when there is no display, the key is not on the keyboard, or another program
    // (or an earlier grab of ours) holds the combination; `lastFailure()` then says which.
    virtual std::optional<GrabID> grab(const KeyChord &chord, std::function<void()> onPress) = 0;
    virtual void ungrab(GrabID id) = 0;
    // Why the latest grab() gave nothing; none after one that succeeded.
    virtual std::optional<GrabFailure> lastFailure() const { return std::nullopt; }
};

// Passive grabs on the root window through Qt's own xcb connection, one per lock-key variant
// (each combination of CapsLock, NumLock and ScrollLock) so the combination works whatever locks
// are on. A press the grab cannot see because another program holds the keyboard is noticed
// through the input extension's raw events: it is acted on once the keyboard is free again within
// `blockedPressWaitMs`, else it is logged as dropped.
class X11GlobalKeyGrabber final : public GlobalKeyGrabbing, public QAbstractNativeEventFilter {
public:
    static constexpr int blockedPressCheckMs = 100;
    static constexpr int blockedPressWaitMs = 2000;

    X11GlobalKeyGrabber();
    ~X11GlobalKeyGrabber() override;
    X11GlobalKeyGrabber(const X11GlobalKeyGrabber &) = delete;
    X11GlobalKeyGrabber &operator=(const X11GlobalKeyGrabber &) = delete;

    std::optional<GrabID> grab(const KeyChord &chord, std::function<void()> onPress) override;
    void ungrab(GrabID id) override;
    std::optional<GrabFailure> lastFailure() const override { return m_lastFailure; }

    // The modifier bits the grabs are repeated for (Lock, NumLock's and ScrollLock's ModN).
    std::vector<quint16> lockVariants() const;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

    // Whether an X connection is at hand at all.
    static bool isAvailable();

private:
    struct Grab {
        KeyChord chord;
        quint8 keycode = 0;
        quint16 mask = 0;
        std::function<void()> onPress;
        bool held = false;
        quint32 lastSeenTime = 0; // last press or release of the key
        quint32 lastReleaseTime = 0;
        bool rawHeld = false;
        bool rawFresh = false;             // a raw press came since the last core one
        quint32 pendingTime = 0;           // a raw press no core press has matched yet
        quint32 lateTime = 0;              // a press acted on after another program's grab
        std::bitset<256> pendingModifiers; // the modifier keys the pending press was matched with
        std::bitset<256> pendingReleased;  // those of them let go since
        QElapsedTimer pendingSince;
        bool announced = false;
    };
    struct ModifierMasks {
        quint16 alt = 0, super = 0, numLock = 0, scrollLock = 0;
    };

    bool ensureConnection();
    void refreshKeyboardMapping();
    std::optional<quint8> keycodeFor(quint32 keysym) const;
    quint16 maskFor(ChordModifiers modifiers) const;
    quint16 lockBits() const;
    bool grabOnServer(quint8 keycode, quint16 mask);
    void ungrabOnServer(quint8 keycode, quint16 mask);
    void regrabAfterMappingChange();
    Grab *grabForEvent(quint8 keycode, quint16 state);
    void rawKeyEvent(bool press, quint8 keycode, quint32 time);
    void checkBlockedPresses();
    bool keyboardIsFree();
    std::optional<std::bitset<256>> keysDownOnServer();
    void resyncKeysDown();
    bool modifiersStillVouchedFor(const Grab &g, const std::optional<std::bitset<256>> &down) const;

    void *m_connection = nullptr; // xcb_connection_t*, owned by Qt
    quint32 m_root = 0;
    quint8 m_xkbEvent = 0; // first event number of the keyboard extension; 0 without it
    bool m_filterInstalled = false;
    quint8 m_minKeycode = 0;
    int m_keysymsPerKeycode = 0;
    std::vector<quint32> m_keysyms;
    ModifierMasks m_masks;
    QHash<GrabID, Grab> m_grabs;
    GrabID m_nextID = 1;
    std::optional<GrabFailure> m_lastFailure;
    quint8 m_inputOpcode = 0;                   // the input extension's, once its raw key events are selected
    std::array<quint16, 256> m_modifierOfKey{}; // keycode to its modifier bits
    std::bitset<256> m_rawDown;
    QTimer m_blockedCheck;
};

} // namespace quillmere
