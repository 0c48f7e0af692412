#include "Quillmere/Platform/KeyInjector.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>

namespace quillmere {
namespace {

// The V and Left positions of the standard evdev keymap, for a layout that maps no such keysym.
constexpr unsigned evdevV = 55;
constexpr unsigned evdevLeft = 113;
constexpr unsigned evdevInsert = 118;

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

bool XTestKeyInjector::postPasteChord(PasteChord chord)
{
    Display *d = display();
    if (!d)
        return false;
    std::vector<unsigned> held;
    unsigned key = 0;
    switch (chord) {
    case PasteChord::controlV:
        held = {keycodeFor(XK_Control_L, 37)};
        key = keycodeFor(XK_v, evdevV);
        break;
    case PasteChord::controlShiftV:
        held = {keycodeFor(XK_Control_L, 37), keycodeFor(XK_Shift_L, 50)};
        key = keycodeFor(XK_v, evdevV);
        break;
    case PasteChord::shiftInsert:
        held = {keycodeFor(XK_Shift_L, 50)};
        key = keycodeFor(XK_Insert, evdevInsert);
        break;
    }
    if (key == 0 || std::find(held.begin(), held.end(), 0u) != held.end())
        return false;
    bool ok = true;
    for (unsigned code : held)
        ok = XTestFakeKeyEvent(d, code, True, CurrentTime) && ok;
    ok = ok && tap(key);
    // Released whatever happened, so none stays stuck down.
    for (auto it = held.rbegin(); it != held.rend(); ++it)
        XTestFakeKeyEvent(d, *it, False, CurrentTime);
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

// Which modifier keys exist and are down: read before a batch of keys, so that the batch itself
// holds no round trip.
struct XTestKeyInjector::Keyboard {
    struct Modifier {
        unsigned first = 0; // the key that sets it
        bool held = false;
        bool latched = false; // Caps Lock and Num Lock: pressing their key would flip them
    };
    Modifier modifiers[8];
    std::vector<unsigned> modifierKeys;
};

void XTestKeyInjector::replay(const std::vector<TypedKey> &keys)
{
    if (Display *d = display(); d && !keys.empty()) {
        sendKeys(keys, readKeyboard());
        XSync(d, False);
    }
}

XTestKeyInjector::Keyboard XTestKeyInjector::readKeyboard()
{
    Display *d = display();
    Keyboard keyboard;
    XModifierKeymap *map = XGetModifierMapping(d);
    if (!map)
        return keyboard;
    char down[32] = {};
    XQueryKeymap(d, down);
    for (int index = 0; index < 8; ++index) {
        Keyboard::Modifier &m = keyboard.modifiers[index];
        for (int k = 0; k < map->max_keypermod; ++k) {
            const unsigned code = map->modifiermap[index * map->max_keypermod + k];
            if (code == 0)
                continue;
            keyboard.modifierKeys.push_back(code);
            const KeySym sym = XkbKeycodeToKeysym(d, KeyCode(code), 0, 0);
            m.latched =
                m.latched || index == LockMapIndex || sym == XK_Num_Lock || sym == XK_Caps_Lock || sym == XK_Shift_Lock;
            m.first = m.first ? m.first : code;
            m.held = m.held || (down[code / 8] & (1 << (code % 8))) != 0;
        }
    }
    XFreeModifiermap(map);
    return keyboard;
}

void XTestKeyInjector::sendKeys(const std::vector<TypedKey> &keys, const Keyboard &keyboard)
{
    Display *d = display();
    // Keys the user still holds are let up first: a press of a key that is down counts as its
    // repeat, which the server may drop. Their real release then comes to nothing.
    for (const TypedKey &key : keys) {
        if (key.stillDown)
            XTestFakeKeyEvent(d, key.keycode, False, CurrentTime);
    }
    for (const TypedKey &key : keys) {
        if (key.keycode < 8 || key.keycode > 255)
            continue;
        // Shift, Control and the Mod keys of the recorded state that are not down already.
        std::vector<unsigned> pressed;
        for (int index = 0; index < 8; ++index) {
            const Keyboard::Modifier &m = keyboard.modifiers[index];
            if (!(key.state & (1u << index)) || m.latched || m.held || !m.first)
                continue;
            XTestFakeKeyEvent(d, m.first, True, CurrentTime);
            pressed.push_back(m.first);
        }
        XTestFakeKeyEvent(d, key.keycode, True, CurrentTime);
        XTestFakeKeyEvent(d, key.keycode, False, CurrentTime);
        for (auto it = pressed.rbegin(); it != pressed.rend(); ++it)
            XTestFakeKeyEvent(d, *it, False, CurrentTime);
    }
    XFlush(d);
}

bool XTestKeyInjector::holdKeys()
{
    Display *d = display();
    if (!d)
        return false;
    if (m_holding)
        return true;
    const int status = XGrabKeyboard(d, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync, CurrentTime);
    m_holding = status == GrabSuccess;
    if (!m_holding)
        qCDebug(lcPaste) << "The keyboard is held by another client; keys typed while the panel closes go as they come";
    return m_holding;
}

std::vector<TypedKey> XTestKeyInjector::takeHeldPresses(const Keyboard &keyboard)
{
    Display *d = display();
    std::vector<TypedKey> keys;
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type != KeyPress && event.type != KeyRelease)
            continue;
        const auto &mods = keyboard.modifierKeys;
        if (std::find(mods.begin(), mods.end(), event.xkey.keycode) != mods.end())
            continue;
        if (event.type == KeyPress) {
            keys.push_back(TypedKey{event.xkey.keycode, event.xkey.state, true});
        } else {
            for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
                if (it->keycode == event.xkey.keycode) {
                    it->stillDown = false;
                    break;
                }
            }
        }
    }
    return keys;
}

void XTestKeyInjector::releaseKeys(const std::vector<TypedKey> &before, bool type)
{
    Display *d = display();
    if (!d)
        return;
    if (!m_holding) {
        if (type)
            replay(before);
        return;
    }
    m_holding = false;
    // Everything typed so far is on this connection once the round trip is back.
    const Keyboard keyboard = readKeyboard();
    std::vector<TypedKey> keys = before;
    const std::vector<TypedKey> held = takeHeldPresses(keyboard);
    keys.insert(keys.end(), held.begin(), held.end());
    // The release and the keys go out in one batch: a key typed in between would come first.
    XUngrabKeyboard(d, CurrentTime);
    if (type)
        sendKeys(keys, keyboard);
    XSync(d, False);
    // Typed while the batch was on its way, before the server let the keyboard go.
    const std::vector<TypedKey> late = takeHeldPresses(keyboard);
    if (type && !late.empty()) {
        sendKeys(late, keyboard);
        XSync(d, False);
    }
}

} // namespace quillmere
