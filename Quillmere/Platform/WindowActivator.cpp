#include "Quillmere/Platform/WindowActivator.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <xcb/xcb.h>

#include "Quillmere/Platform/XcbSupport.h"

#include <QByteArray>
#include <QList>

#include <cstdlib>
#include <cstring>

namespace quillmere {
namespace {

std::optional<quint32> cardinalProperty(xcb_connection_t *c, xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    if (name == XCB_ATOM_NONE)
        return std::nullopt;
    XcbReply<xcb_generic_error_t> error;
    xcb_generic_error_t *rawError = nullptr;
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, 1), &rawError));
    error.reset(rawError);
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
        return std::nullopt;
    quint32 value = 0;
    std::memcpy(&value, xcb_get_property_value(reply.get()), sizeof value);
    return value;
}

} // namespace

struct X11WindowActivator::Connection {
    xcb_connection_t *c = nullptr;
    xcb_window_t root = XCB_WINDOW_NONE;
    xcb_window_t timeWindow = XCB_WINDOW_NONE;
    xcb_atom_t activeWindow = XCB_ATOM_NONE;
    xcb_atom_t wmPid = XCB_ATOM_NONE;
    xcb_atom_t timeProbe = XCB_ATOM_NONE;

    ~Connection()
    {
        if (c)
            xcb_disconnect(c);
    }

    // A server timestamp, taken from the notice of a zero-length property append on a window
    // of our own. Window managers weigh activation requests by it.
    xcb_timestamp_t serverTime()
    {
        if (timeWindow == XCB_WINDOW_NONE || timeProbe == XCB_ATOM_NONE)
            return XCB_CURRENT_TIME;
        xcb_change_property(c, XCB_PROP_MODE_APPEND, timeWindow, timeProbe, XCB_ATOM_STRING, 8, 0, nullptr);
        xcb_flush(c);
        while (XcbReply<xcb_generic_event_t> event{xcb_wait_for_event(c)}) {
            // An error here means the probe window is unusable; waiting on would never end.
            if (event->response_type == 0)
                break;
            if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
                continue;
            const auto *notify = reinterpret_cast<const xcb_property_notify_event_t *>(event.get());
            if (notify->window == timeWindow)
                return notify->time;
        }
        return XCB_CURRENT_TIME;
    }
};

X11WindowActivator::X11WindowActivator() = default;
X11WindowActivator::~X11WindowActivator() = default;

X11WindowActivator::Connection *X11WindowActivator::connection()
{
    if (m_opened)
        return m_connection.get();
    m_opened = true;
    auto conn = std::make_unique<Connection>();
    int screenNumber = 0;
    conn->c = xcb_connect(nullptr, &screenNumber);
    if (!conn->c || xcb_connection_has_error(conn->c)) {
        qCInfo(lcPaste) << "No X display; windows cannot be brought back for a paste";
        return nullptr;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn->c));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem)
        return nullptr;
    conn->root = it.data->root;
    conn->activeWindow = internAtom(conn->c, "_NET_ACTIVE_WINDOW");
    conn->wmPid = internAtom(conn->c, "_NET_WM_PID");
    conn->timeProbe = internAtom(conn->c, "_QUILLMERE_TIME_PROBE");
    conn->timeWindow = xcb_generate_id(conn->c);
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(conn->c, XCB_COPY_FROM_PARENT, conn->timeWindow, conn->root, -1, -1, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(conn->c);
    m_connection = std::move(conn);
    return m_connection.get();
}

std::optional<WindowTarget> X11WindowActivator::activeWindow()
{
    Connection *conn = connection();
    if (!conn)
        return std::nullopt;
    const auto window = cardinalProperty(conn->c, conn->root, conn->activeWindow, XCB_ATOM_WINDOW);
    if (!window || *window == XCB_WINDOW_NONE)
        return std::nullopt;
    const auto pid = cardinalProperty(conn->c, *window, conn->wmPid, XCB_ATOM_CARDINAL);
    return WindowTarget{*window, pid.value_or(0)};
}

bool X11WindowActivator::isTerminated(const WindowTarget &target)
{
    Connection *conn = connection();
    if (!conn || target.window == XCB_WINDOW_NONE)
        return true;
    // The window alone decides: a pid may belong to a program on another host.
    xcb_generic_error_t *error = nullptr;
    XcbReply<xcb_get_window_attributes_reply_t> reply(
        xcb_get_window_attributes_reply(conn->c, xcb_get_window_attributes(conn->c, target.window), &error));
    std::free(error);
    return !reply;
}

void X11WindowActivator::activate(const WindowTarget &target)
{
    Connection *conn = connection();
    if (!conn || target.window == XCB_WINDOW_NONE || conn->activeWindow == XCB_ATOM_NONE)
        return;
    // Source 2 ("pager"): a request on the user's behalf, which window managers honour even
    // when they would refuse an application taking the focus for itself.
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = target.window;
    event.type = conn->activeWindow;
    event.data.data32[0] = 2;
    event.data.data32[1] = conn->serverTime();
    event.data.data32[2] = XCB_WINDOW_NONE;
    xcb_send_event(conn->c, 0, conn->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&event));
    xcb_flush(conn->c);
}

bool X11WindowActivator::isFrontmost(const WindowTarget &target)
{
    const auto active = activeWindow();
    if (!active)
        return false;
    return active->window == target.window || (target.pid > 0 && active->pid == target.pid);
}

bool X11WindowActivator::hasKeyboardFocus(const WindowTarget &target)
{
    Connection *conn = connection();
    if (!conn || target.window == XCB_WINDOW_NONE)
        return false;
    XcbReply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(conn->c, xcb_get_input_focus(conn->c), nullptr));
    const xcb_window_t focus = reply ? reply->focus : xcb_window_t(XCB_WINDOW_NONE);
    if (focus == XCB_WINDOW_NONE || focus == XCB_INPUT_FOCUS_POINTER_ROOT || focus == conn->root)
        return false;
    const auto within = [conn](xcb_window_t inner, xcb_window_t outer) {
        for (xcb_window_t w = inner; w != XCB_WINDOW_NONE && w != conn->root;) {
            if (w == outer)
                return true;
            XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(conn->c, xcb_query_tree(conn->c, w), nullptr));
            w = tree ? tree->parent : xcb_window_t(XCB_WINDOW_NONE);
        }
        return false;
    };
    // Programs often focus a window of their own inside the top-level one; some window managers
    // keep the focus on their frame around it.
    return within(focus, target.window) || within(target.window, focus);
}

} // namespace quillmere

namespace quillmere {

WindowClass X11WindowActivator::windowClass(const WindowTarget &target)
{
    Connection *conn = connection();
    if (!conn || target.window == XCB_WINDOW_NONE)
        return {};
    xcb_generic_error_t *error = nullptr;
    XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        conn->c, xcb_get_property(conn->c, 0, target.window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256), &error));
    std::free(error);
    if (!reply || reply->format != 8)
        return {};
    // Two strings, each ended by a NUL.
    const QByteArray value(static_cast<const char *>(xcb_get_property_value(reply.get())),
                           xcb_get_property_value_length(reply.get()));
    const QList<QByteArray> parts = value.split('\0');
    WindowClass out;
    out.instance = QString::fromLocal8Bit(parts.value(0));
    out.className = QString::fromLocal8Bit(parts.value(1));
    return out;
}

} // namespace quillmere
