#include "Quillmere/Platform/KeyInjector.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace quillmere {
namespace {

// The V and Left positions of the standard evdev keymap, for a layout that maps no such keysym.
constexpr unsigned evdevV = 55;
constexpr unsigned evdevLeft = 113;

} // namespace

void XTestKeyInjector::DisplayCloser::operator()(Display *d) const
{
    if (d)
        XCloseDisplay(d);
}

XTestKeyInjector::XTestKeyInjector() = default;
XTestKeyInjector::~XTestKeyInjector() = default;

Display *XTestKeyInjector::display()
{
    if (!m_opened) {
        m_opened = true;
        m_display.reset(XOpenDisplay(nullptr));
        if (m_display) {
            int event = 0, error = 0, major = 0, minor = 0;
            m_hasXTest = XTestQueryExtension(m_display.get(), &event, &error, &major, &minor);
        }
        if (!m_display || !m_hasXTest)
            qCInfo(lcPaste) << "No X display with the XTest extension; pastes stay on the clipboard";
    }
    return m_hasXTest ? m_display.get() : nullptr;
}

bool XTestKeyInjector::isTrusted()
{
    return display() != nullptr;
}

bool XTestKeyInjector::modifiersHeld()
{
    Display *d = display();
    if (!d)
        return false;
    XModifierKeymap *map = XGetModifierMapping(d);
    if (!map)
        return false;
    char keys[32] = {};
    XQueryKeymap(d, keys);
    bool held = false;
    for (int i = 0; i < 8 * map->max_keypermod && !held; ++i) {
        const unsigned code = map->modifiermap[i];
        // Lock and Num Lock are latched states, not keys being held down.
        if (code == 0 || i / map->max_keypermod == LockMapIndex)
            continue;
        const KeySym sym = XkbKeycodeToKeysym(d, KeyCode(code), 0, 0);
        if (sym == XK_Num_Lock || sym == XK_Caps_Lock)
            continue;
        held = keys[code / 8] & (1 << (code % 8));
    }
    XFreeModifiermap(map);
    return held;
}

unsigned XTestKeyInjector::keycodeFor(unsigned long keysym, unsigned fallback)
{
    Display *d = display();
    // Looked up in the current layout every time: Dvorak and AZERTY put V elsewhere.
    const unsigned code = XKeysymToKeycode(d, keysym);
    if (code != 0)
        return code;
    int minCode = 0, maxCode = 0;
    XDisplayKeycodes(d, &minCode, &maxCode);
    return int(fallback) >= minCode && int(fallback) <= maxCode ? fallback : 0;
}

bool XTestKeyInjector::tap(unsigned keycode)
{
    Display *d = display();
    return XTestFakeKeyEvent(d, keycode, True, CurrentTime) && XTestFakeKeyEvent(d, keycode, False, CurrentTime);
}

bool XTestKeyInjector::postPasteChord()
{
    Display *d = display();
    if (!d)
        return false;
    const unsigned control = keycodeFor(XK_Control_L, 37);
    const unsigned v = keycodeFor(XK_v, evdevV);
    if (control == 0 || v == 0)
        return false;
    const bool ok = XTestFakeKeyEvent(d, control, True, CurrentTime) && tap(v);
    // Release Control whatever happened, so it never stays stuck down.
    XTestFakeKeyEvent(d, control, False, CurrentTime);
    XFlush(d);
    return ok;
}

bool XTestKeyInjector::postCaretLeft(int count)
{
    Display *d = display();
    if (!d || count <= 0)
        return false;
    const unsigned left = keycodeFor(XK_Left, evdevLeft);
    if (left == 0)
        return false;
    bool ok = true;
    for (int i = 0; i < count; ++i)
        ok = tap(left) && ok;
    XFlush(d);
    return ok;
}

} // namespace quillmere
