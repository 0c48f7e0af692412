#include "Quillmere/Panel/Window/XTestKeyReplayer.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace quillmere {

void XTestKeyReplayer::DisplayCloser::operator()(Display *d) const
{
    if (d)
        XCloseDisplay(d);
}

XTestKeyReplayer::XTestKeyReplayer() = default;
XTestKeyReplayer::~XTestKeyReplayer() = default;

Display *XTestKeyReplayer::display()
{
    if (!m_opened) {
        m_opened = true;
        m_display.reset(XOpenDisplay(nullptr));
        int event = 0, error = 0, major = 0, minor = 0;
        if (m_display && !XTestQueryExtension(m_display.get(), &event, &error, &major, &minor))
            m_display.reset();
        if (!m_display)
            qCInfo(lcPaste) << "No X display with the XTest extension; keys typed while the panel closed are dropped";
    }
    return m_display.get();
}

void XTestKeyReplayer::replay(const std::vector<CapturedKey> &keys)
{
    Display *d = display();
    if (!d || keys.empty())
        return;
    XModifierKeymap *map = XGetModifierMapping(d);
    if (!map)
        return;
    for (const CapturedKey &key : keys) {
        if (key.nativeKeycode < 8 || key.nativeKeycode > 255)
            continue;
        char down[32] = {};
        XQueryKeymap(d, down);
        const auto isDown = [&](unsigned code) { return (down[code / 8] & (1 << (code % 8))) != 0; };
        // Shift, Control and the Mod keys as recorded; Caps Lock and Num Lock are latched states
        // that pressing their key would flip.
        std::vector<unsigned> pressed;
        for (int index = 0; index < 8; ++index) {
            if (index == LockMapIndex || !(key.nativeState & (1u << index)))
                continue;
            bool held = false, latched = false;
            unsigned first = 0;
            for (int k = 0; k < map->max_keypermod; ++k) {
                const unsigned code = map->modifiermap[index * map->max_keypermod + k];
                if (code == 0)
                    continue;
                const KeySym sym = XkbKeycodeToKeysym(d, KeyCode(code), 0, 0);
                latched = latched || sym == XK_Num_Lock || sym == XK_Caps_Lock || sym == XK_Shift_Lock;
                first = first ? first : code;
                held = held || isDown(code);
            }
            if (latched)
                continue;
            if (!held && first) {
                XTestFakeKeyEvent(d, first, True, CurrentTime);
                pressed.push_back(first);
            }
        }
        XTestFakeKeyEvent(d, key.nativeKeycode, True, CurrentTime);
        XTestFakeKeyEvent(d, key.nativeKeycode, False, CurrentTime);
        for (auto it = pressed.rbegin(); it != pressed.rend(); ++it)
            XTestFakeKeyEvent(d, *it, False, CurrentTime);
        XSync(d, False);
    }
    XFreeModifiermap(map);
}

} // namespace quillmere
