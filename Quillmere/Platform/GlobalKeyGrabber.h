#pragma once

#include <QAbstractNativeEventFilter>
#include <QFlags>
#include <QHash>
#include <QtGlobal>
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

// Why a grab gave nothing. `refused`: the X server said no (BadAccess), because another program
// holds the combination.
enum class GrabFailure { noDisplay, keyNotOnKeyboard, alreadyGrabbed, refused };

// System-wide key grabs. `onPress` runs on the main thread, once per physical press.
class GlobalKeyGrabbing {
public:
    using GrabID = quint64;
    virtual ~GlobalKeyGrabbing() = default;
    // Nothing when there is no display, the key is not on the keyboard, or another program
    // (or an earlier grab of ours) holds the combination.
    virtual std::optional<GrabID> grab(const KeyChord &chord, std::function<void()> onPress) = 0;
    virtual void ungrab(GrabID id) = 0;
    // Why the latest grab() gave nothing; none after one that succeeded.
    virtual std::optional<GrabFailure> lastFailure() const { return std::nullopt; }
};

// Passive grabs on the root window through Qt's own xcb connection, one per lock-key variant
// (none, CapsLock, NumLock, both) so the combination works whatever locks are on.
class X11GlobalKeyGrabber final : public GlobalKeyGrabbing, public QAbstractNativeEventFilter {
public:
    X11GlobalKeyGrabber();
    ~X11GlobalKeyGrabber() override;
    X11GlobalKeyGrabber(const X11GlobalKeyGrabber &) = delete;
    X11GlobalKeyGrabber &operator=(const X11GlobalKeyGrabber &) = delete;

    std::optional<GrabID> grab(const KeyChord &chord, std::function<void()> onPress) override;
    void ungrab(GrabID id) override;
    std::optional<GrabFailure> lastFailure() const override { return m_lastFailure; }

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
    };
    struct ModifierMasks {
        quint16 alt = 0, super = 0, numLock = 0;
    };

    bool ensureConnection();
    void refreshKeyboardMapping();
    std::optional<quint8> keycodeFor(quint32 keysym) const;
    quint16 maskFor(ChordModifiers modifiers) const;
    std::vector<quint16> lockVariants() const;
    bool grabOnServer(quint8 keycode, quint16 mask);
    void ungrabOnServer(quint8 keycode, quint16 mask);
    void regrabAfterMappingChange();
    Grab *grabForEvent(quint8 keycode, quint16 state);

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
};

} // namespace quillmere
