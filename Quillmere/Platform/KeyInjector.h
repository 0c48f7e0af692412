#pragma once

#include <QtGlobal>
#include <memory>
#include <vector>

typedef struct _XDisplay Display;

namespace quillmere {

// The keys that paste in a window: Ctrl+V in most programs, Ctrl+Shift+V in terminals,
// Shift+Insert (pasting PRIMARY) in xterm and urxvt.
enum class PasteChord { controlV, controlShiftV, shiftInsert };

// A key press as the X server reported it: typed again elsewhere with its key code and the
// modifiers of its state, it gives the same character on any layout.
struct TypedKey {
    quint32 keycode = 0;
    quint32 state = 0;
    bool stillDown = false; // pressed and not let go yet
    bool operator==(const TypedKey &) const = default;
};

// Synthetic key presses sent to whichever window has the keyboard focus.
class KeyInjector {
public:
    virtual ~KeyInjector() = default;

    // Whether keys can be sent at all. Without it a paste leaves the clip on the clipboard.
    virtual bool isTrusted() = 0;
    // True while the user physically holds a modifier (say from the hot key that started the
    // paste); a chord sent then would arrive with those modifiers added.
    virtual bool modifiersHeld() = 0;
    virtual bool postPasteChord(PasteChord chord) = 0;
    // `count` presses of the Left arrow.
    virtual bool postCaretLeft(int count) = 0;

    // Types the keys, in order, into the window with the focus.
    virtual void replay(const std::vector<TypedKey> &keys) { Q_UNUSED(keys); }
    // Takes every key the user types from now on, so none reaches a window while the focus
    // moves. False when the keyboard could not be had (another client holds it).
    virtual bool holdKeys() { return false; }
    // Lets the keyboard go and types `before`, then every key typed while it was held, ahead of
    // anything typed afterwards. Nothing is typed when `type` is false.
    virtual void releaseKeys(const std::vector<TypedKey> &before, bool type)
    {
        Q_UNUSED(before);
        Q_UNUSED(type);
    }
    virtual bool isHoldingKeys() const { return false; }
};

// XTest on a connection of its own to the X display named by $DISPLAY.
class XTestKeyInjector : public KeyInjector {
public:
    XTestKeyInjector();
    ~XTestKeyInjector() override;
    XTestKeyInjector(const XTestKeyInjector &) = delete;
    XTestKeyInjector &operator=(const XTestKeyInjector &) = delete;

    bool isTrusted() override;
    bool modifiersHeld() override;
    bool postPasteChord(PasteChord chord) override;
    bool postCaretLeft(int count) override;
    void replay(const std::vector<TypedKey> &keys) override;
    bool holdKeys() override;
    void releaseKeys(const std::vector<TypedKey> &before, bool type) override;
    bool isHoldingKeys() const override { return m_holding; }

private:
    Display *display();
    unsigned keycodeFor(unsigned long keysym, unsigned fallback);
    bool tap(unsigned keycode);
    struct Keyboard;
    Keyboard readKeyboard();
    void sendKeys(const std::vector<TypedKey> &keys, const Keyboard &keyboard);
    // The key presses waiting on the connection, modifier keys left out.
    std::vector<TypedKey> takeHeldPresses(const Keyboard &keyboard);

    struct DisplayCloser {
        void operator()(Display *d) const;
    };
    std::unique_ptr<Display, DisplayCloser> m_display;
    bool m_opened = false;
    bool m_hasXTest = false;
    bool m_holding = false;
};

} // namespace quillmere
