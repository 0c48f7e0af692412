#include "Quillmere/Platform/X11Desktop.h"

#include "Quillmere/Platform/XcbSupport.h"

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

bool pointerButtonsDown()
{
    xcb_connection_t *c = connection();
    if (!c)
        return false;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const XcbReply<xcb_query_pointer_reply_t> reply(xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
    return reply && (reply->mask & (XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3));
}

void applyPanelHints(quintptr window)
{
    xcb_connection_t *c = connection();
    if (!c || !window)
        return;
    const xcb_atom_t states[] = {internAtom(c, "_NET_WM_STATE_SKIP_TASKBAR"), internAtom(c, "_NET_WM_STATE_SKIP_PAGER"),
                                 internAtom(c, "_NET_WM_STATE_STICKY")};
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, xcb_window_t(window), internAtom(c, "_NET_WM_STATE"), XCB_ATOM_ATOM,
                        32, 3, states);
    const uint32_t allDesktops = 0xFFFFFFFF;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, xcb_window_t(window), internAtom(c, "_NET_WM_DESKTOP"),
                        XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
    // Our screenshot helper leaves windows with this mark out of its captures.
    const uint32_t yes = 1;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, xcb_window_t(window),
                        internAtom(c, "_QUILLMERE_EXCLUDE_FROM_CAPTURE"), XCB_ATOM_CARDINAL, 32, 1, &yes);
    xcb_flush(c);
}

std::optional<PointerEvent> pointerEvent(const QByteArray &eventType, const void *message)
{
    if (eventType != "xcb_generic_event_t")
        return std::nullopt;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    switch (event->response_type & 0x7f) {
    case XCB_BUTTON_PRESS:
    case XCB_BUTTON_RELEASE: {
        const auto *button = static_cast<const xcb_button_press_event_t *>(message);
        const auto kind =
            (event->response_type & 0x7f) == XCB_BUTTON_PRESS ? PointerEvent::Kind::press : PointerEvent::Kind::release;
        return PointerEvent{kind, QPoint(button->root_x, button->root_y), button->detail};
    }
    case XCB_MOTION_NOTIFY: {
        const auto *motion = static_cast<const xcb_motion_notify_event_t *>(message);
        return PointerEvent{PointerEvent::Kind::motion, QPoint(motion->root_x, motion->root_y)};
    }
    default:
        return std::nullopt;
    }
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
