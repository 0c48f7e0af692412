#include "Quillmere/Platform/DragWatcher.h"

#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/XcbSupport.h"

#include <QSocketNotifier>
#include <cstdlib>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

namespace quillmere {

struct DragWatcher::X11 {
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    uint8_t xfixesEventBase = 0;
    std::unique_ptr<QSocketNotifier> notifier;

    ~X11()
    {
        notifier.reset();
        if (connection)
            xcb_disconnect(connection);
    }
};

DragWatcher::DragWatcher(QObject *parent) : QObject(parent), m_x11(std::make_unique<X11>())
{
    // A connection of our own: selection-owner events never interfere with Qt's clipboard.
    int screenNumber = 0;
    xcb_connection_t *c = xcb_connect(nullptr, &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        if (c)
            xcb_disconnect(c);
        return;
    }
    m_x11->connection = c;
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_xfixes_id);
    if (!ext || !ext->present) {
        qCWarning(lcApp, "The X server has no XFixes; file drops at the top of the screen are off");
        return;
    }
    m_x11->xfixesEventBase = ext->first_event;
    XcbReply<xcb_xfixes_query_version_reply_t>(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    m_x11->root = it.data->root;
    const xcb_atom_t selection = internAtom(c, "XdndSelection");
    if (selection == XCB_ATOM_NONE)
        return;
    xcb_xfixes_select_selection_input(c, m_x11->root, selection, XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER);
    xcb_flush(c);
    m_x11->notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
    connect(m_x11->notifier.get(), &QSocketNotifier::activated, this, &DragWatcher::readEvents);
    m_pointerPoll.setInterval(100);
    connect(&m_pointerPoll, &QTimer::timeout, this, &DragWatcher::pollPointer);
}

DragWatcher::~DragWatcher() = default;

bool DragWatcher::isAvailable() const
{
    return m_x11->notifier != nullptr;
}

void DragWatcher::readEvents()
{
    while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(m_x11->connection)}) {
        const uint8_t type = event->response_type & 0x7f;
        if (type == m_x11->xfixesEventBase + XCB_XFIXES_SELECTION_NOTIFY) {
            auto *notify = reinterpret_cast<xcb_xfixes_selection_notify_event_t *>(event.get());
            if (notify->owner != XCB_NONE && !m_dragging) {
                m_dragging = true;
                m_pointerPoll.start();
                Q_EMIT dragStarted();
            }
        }
    }
}

void DragWatcher::pollPointer()
{
    const XcbReply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(m_x11->connection, xcb_query_pointer(m_x11->connection, m_x11->root), nullptr));
    const bool buttonsDown = reply && (reply->mask & (XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3));
    if (buttonsDown)
        return;
    m_pointerPoll.stop();
    m_dragging = false;
    Q_EMIT dragEnded();
}

} // namespace quillmere
