#include "Quillmere/Platform/X11Desktop.h"

#include <QGuiApplication>
#include <X11/Xlib.h>
#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

namespace quillmere::X11Desktop {
namespace {

xcb_connection_t *connection()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

} // namespace

bool isAvailable()
{
    return connection() != nullptr;
}

bool screenPixelsReadable()
{
    xcb_connection_t *c = connection();
    if (!c)
        return false;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_generic_error_t *error = nullptr;
    std::unique_ptr<xcb_get_image_reply_t, FreeDeleter> reply(
        xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, 0, 0, 1, 1, ~0u), &error));
    std::free(error);
    return reply != nullptr;
}

bool displayIsReachable(const QString &display)
{
    const QByteArray name = display.toLocal8Bit();
    xcb_connection_t *c = xcb_connect(name.isEmpty() ? nullptr : name.constData(), nullptr);
    const bool reachable = c && xcb_connection_has_error(c) == 0;
    if (c)
        xcb_disconnect(c);
    return reachable;
}

QByteArray displayName()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (Display *display = x11 ? x11->display() : nullptr)
        return QByteArray(DisplayString(display));
    return qgetenv("DISPLAY");
}

void waitForServer()
{
    if (xcb_connection_t *c = connection())
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

KeyboardLayout KeyboardLayout::current()
{
    KeyboardLayout layout;
    xcb_connection_t *c = connection();
    if (!c)
        return layout;
    const xcb_setup_t *setup = xcb_get_setup(c);
    const quint8 count = quint8(setup->max_keycode - setup->min_keycode + 1);
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, FreeDeleter> mapping(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr));
    if (!mapping)
        return layout;
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    layout.m_keysyms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(mapping.get()));
    layout.m_perKeycode = mapping->keysyms_per_keycode;
    layout.m_minKeycode = setup->min_keycode;
    return layout;
}

std::optional<quint32> KeyboardLayout::unshiftedKeysym(quint32 keycode) const
{
    if (m_perKeycode <= 0 || keycode < m_minKeycode)
        return std::nullopt;
    const size_t at = size_t(keycode - m_minKeycode) * size_t(m_perKeycode);
    if (at >= m_keysyms.size() || m_keysyms[at] == 0)
        return std::nullopt;
    return m_keysyms[at];
}

} // namespace quillmere::X11Desktop
