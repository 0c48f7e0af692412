#pragma once

// Another X client that owns the CLIPBOARD selection and offers any set of targets, the way a
// second program would. It runs on its own thread with its own display connection.

#include <QByteArray>
#include <QList>
#include <QPair>

#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <future>
#include <poll.h>
#include <thread>

namespace quillmere::test {

class ForeignClipboardOwner {
public:
    using Offer = QPair<QByteArray, QByteArray>; // target name, bytes

    // `answerData` false plays an owner that hangs: it lists its targets but never sends them.
    explicit ForeignClipboardOwner(QList<Offer> offers, bool answerData = true)
        : m_offers(std::move(offers)), m_answerData(answerData)
    {
        std::promise<bool> ready;
        m_ready = ready.get_future();
        m_thread = std::thread([this, p = std::move(ready)]() mutable { run(std::move(p)); });
    }
    ~ForeignClipboardOwner()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    ForeignClipboardOwner(const ForeignClipboardOwner &) = delete;
    ForeignClipboardOwner &operator=(const ForeignClipboardOwner &) = delete;

    // True once the selection is ours; false when no display could be opened.
    bool waitUntilOwner() { return m_ready.valid() ? (m_readyValue = m_ready.get()) : m_readyValue; }
    // When the ownership request was flushed to the server.
    std::chrono::steady_clock::time_point ownedAt() const { return m_ownedAt; }
    // Requests for content (not for the target list) that reached us.
    int dataRequests() const { return m_dataRequests; }

    // A plain text offer as most programs make it.
    static QList<Offer> text(const QByteArray &utf8)
    {
        return {{"UTF8_STRING", utf8}, {"text/plain;charset=utf-8", utf8}};
    }

private:
    static xcb_atom_t atom(xcb_connection_t *c, const QByteArray &name)
    {
        xcb_intern_atom_reply_t *reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.constData()), nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return value;
    }

    void run(std::promise<bool> ready)
    {
        xcb_connection_t *c = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            ready.set_value(false);
            return;
        }
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_window_t window = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        const xcb_atom_t clipboard = atom(c, "CLIPBOARD");
        const xcb_atom_t targets = atom(c, "TARGETS");
        QList<xcb_atom_t> offered;
        for (const auto &offer : m_offers)
            offered.append(atom(c, offer.first));

        xcb_set_selection_owner(c, window, clipboard, XCB_CURRENT_TIME);
        xcb_flush(c);
        m_ownedAt = std::chrono::steady_clock::now();
        xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard), nullptr);
        ready.set_value(owner && owner->owner == window);
        std::free(owner);

        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        while (!m_stop) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
                const uint8_t type = event->response_type & ~0x80;
                if (type == XCB_SELECTION_REQUEST)
                    answer(c, *reinterpret_cast<xcb_selection_request_event_t *>(event), targets, offered);
                std::free(event);
            }
            ::poll(&fd, 1, 10);
        }
        xcb_destroy_window(c, window);
        xcb_flush(c);
        xcb_disconnect(c);
    }

    void answer(xcb_connection_t *c, const xcb_selection_request_event_t &request, xcb_atom_t targets,
                const QList<xcb_atom_t> &offered)
    {
        xcb_selection_notify_event_t reply{};
        reply.response_type = XCB_SELECTION_NOTIFY;
        reply.time = request.time;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.property = XCB_ATOM_NONE;
        const xcb_atom_t property = request.property != XCB_ATOM_NONE ? request.property : request.target;

        if (request.target == targets) {
            QList<xcb_atom_t> list{targets};
            list.append(offered);
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32,
                                uint32_t(list.size()), list.constData());
            reply.property = property;
        } else if (++m_dataRequests; !m_answerData) {
            return;
        } else if (const qsizetype index = offered.indexOf(request.target); index >= 0) {
            const QByteArray &bytes = m_offers.at(index).second;
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, request.target, 8,
                                uint32_t(bytes.size()), bytes.constData());
            reply.property = property;
        }
        xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&reply));
        xcb_flush(c);
    }

    QList<Offer> m_offers;
    bool m_answerData = true;
    std::atomic_int m_dataRequests{0};
    std::thread m_thread;
    std::future<bool> m_ready;
    bool m_readyValue = false;
    std::atomic_bool m_stop{false};
    std::chrono::steady_clock::time_point m_ownedAt;
};

} // namespace quillmere::test
