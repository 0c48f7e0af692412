#pragma once

#include <memory>

typedef struct _XDisplay Display;

namespace quillmere {

// Synthetic key presses sent to whichever window has the keyboard focus.
class KeyInjector {
public:
    virtual ~KeyInjector() = default;

    // Whether keys can be sent at all. Without it a paste leaves the clip on the clipboard.
    virtual bool isTrusted() = 0;
    // True while the user physically holds a modifier (say from the hot key that started the
    // paste); a chord sent then would arrive with those modifiers added.
    virtual bool modifiersHeld() = 0;
    // The desktop's paste chord, Ctrl+V.
    virtual bool postPasteChord() = 0;
    // `count` presses of the Left arrow.
    virtual bool postCaretLeft(int count) = 0;
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
    bool postPasteChord() override;
    bool postCaretLeft(int count) override;

private:
    Display *display();
    unsigned keycodeFor(unsigned long keysym, unsigned fallback);
    bool tap(unsigned keycode);

    struct DisplayCloser {
        void operator()(Display *d) const;
    };
    std::unique_ptr<Display, DisplayCloser> m_display;
    bool m_opened = false;
    bool m_hasXTest = false;
};

} // namespace quillmere
