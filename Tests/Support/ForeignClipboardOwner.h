#pragma once

// Another X client that owns the CLIPBOARD selection and offers any set of targets, the way a
// second program would. It runs on its own thread with its own display connection.

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QList>
#include <QPair>

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <poll.h>
#include <thread>
#include <vector>

namespace quillmere::test {

class ForeignClipboardOwner {
public:
    using Offer = QPair<QByteArray, QByteArray>; // target name, bytes

    struct Behaviour {
        // False plays an owner that hangs: it lists its targets but never sends them.
        bool answerData = true;
        // Above 0: content longer than this goes out in pieces of this size (INCR).
        int pieceBytes = 0;
        // How long each piece is held back once the reader has asked for it.
        int pieceDelayMs = 0;
        // Above 0: takes the selection again every so many milliseconds, as some programs do.
        int retakeEveryMs = 0;
        // Takes the selection with the very time stamp of the owner before it. Otherwise it waits
        // until the server clock has moved past every earlier ownership: an owner whose time
        // equals its own may take the newer one for a stale notice.
        bool sameTimeAsPreviousOwner = false;
    };

    explicit ForeignClipboardOwner(QList<Offer> offers, bool answerData = true)
        : ForeignClipboardOwner(std::move(offers), Behaviour{answerData})
    {
    }
    ForeignClipboardOwner(QList<Offer> offers, Behaviour behaviour)
        : m_offers(std::move(offers)), m_behaviour(behaviour)
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

    // True once the selection is ours; false when no display could be opened. Our own event loop
    // keeps running meanwhile, so that the owner before can answer.
    bool waitUntilOwner()
    {
        if (m_ready.valid()) {
            const QDeadlineTimer deadline(10000);
            while (m_ready.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready
                   && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            m_readyValue = m_ready.wait_for(std::chrono::seconds(0)) == std::future_status::ready && m_ready.get();
        }
        return m_readyValue;
    }
    // When the ownership request went to the server.
    std::chrono::steady_clock::time_point ownedAt() const { return m_ownedAt; }
    // Requests for content (not for the target list) that reached us.
    int dataRequests() const { return m_dataRequests; }
    int retakes() const { return m_retakes; }

    // A plain text offer as most programs make it.
    static QList<Offer> text(const QByteArray &utf8)
    {
        return {{"UTF8_STRING", utf8}, {"text/plain;charset=utf-8", utf8}};
    }

private:
    struct Transfer {
        xcb_window_t requestor;
        xcb_atom_t property;
        xcb_atom_t type;
        QByteArray bytes;
        qsizetype sent = 0;
        bool asked = false;
        std::chrono::steady_clock::time_point due;
    };

    static xcb_atom_t atom(xcb_connection_t *c, const QByteArray &name)
    {
        xcb_intern_atom_reply_t *reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.constData()), nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return value;
    }

    static xcb_window_t eventWindow(const xcb_generic_event_t *event)
    {
        switch (event->response_type & 0x7f) {
        case XCB_PROPERTY_NOTIFY:
            return reinterpret_cast<const xcb_property_notify_event_t *>(event)->window;
        case XCB_SELECTION_NOTIFY:
            return reinterpret_cast<const xcb_selection_notify_event_t *>(event)->requestor;
        default:
            return XCB_WINDOW_NONE;
        }
    }

    // The next event of `type` for `window`, others dropped; nothing after `timeoutMs`.
    static xcb_generic_event_t *waitFor(xcb_connection_t *c, uint8_t type, xcb_window_t window, int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        while (std::chrono::steady_clock::now() < deadline && !xcb_connection_has_error(c)) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
                if ((event->response_type & 0x7f) == type && eventWindow(event) == window)
                    return event;
                std::free(event);
            }
            ::poll(&fd, 1, 5);
        }
        return nullptr;
    }

    static xcb_timestamp_t serverTime(xcb_connection_t *c, xcb_window_t window, xcb_atom_t property)
    {
        xcb_change_property(c, XCB_PROP_MODE_APPEND, window, property, XCB_ATOM_STRING, 8, 0, nullptr);
        xcb_flush(c);
        xcb_generic_event_t *event = waitFor(c, XCB_PROPERTY_NOTIFY, window, 5000);
        const xcb_timestamp_t time = event ? reinterpret_cast<xcb_property_notify_event_t *>(event)->time : 0;
        std::free(event);
        return time;
    }

    static xcb_timestamp_t previousOwnersTime(xcb_connection_t *c, xcb_window_t window, xcb_atom_t clipboard,
                                              xcb_atom_t property)
    {
        xcb_convert_selection(c, window, clipboard, atom(c, "TIMESTAMP"), property, XCB_CURRENT_TIME);
        xcb_flush(c);
        xcb_generic_event_t *event = waitFor(c, XCB_SELECTION_NOTIFY, window, 5000);
        const bool answered =
            event && reinterpret_cast<xcb_selection_notify_event_t *>(event)->property != XCB_ATOM_NONE;
        std::free(event);
        if (!answered)
            return XCB_CURRENT_TIME;
        xcb_get_property_reply_t *reply =
            xcb_get_property_reply(c, xcb_get_property(c, 1, window, property, XCB_ATOM_ANY, 0, 1), nullptr);
        xcb_timestamp_t time = XCB_CURRENT_TIME;
        if (reply && xcb_get_property_value_length(reply) == 4)
            time = *static_cast<const uint32_t *>(xcb_get_property_value(reply));
        std::free(reply);
        return time;
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
        const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
        const xcb_atom_t clipboard = atom(c, "CLIPBOARD");
        const xcb_atom_t targets = atom(c, "TARGETS");
        const xcb_atom_t incr = atom(c, "INCR");
        const xcb_atom_t scratch = atom(c, "_QUILLMERE_TEST_OWNER");
        QList<xcb_atom_t> offered;
        for (const auto &offer : m_offers)
            offered.append(atom(c, offer.first));

        xcb_timestamp_t time = XCB_CURRENT_TIME;
        if (m_behaviour.sameTimeAsPreviousOwner) {
            time = previousOwnersTime(c, window, clipboard, scratch);
        } else {
            const xcb_timestamp_t before = serverTime(c, window, scratch);
            do {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                time = serverTime(c, window, scratch);
            } while (time == before && !xcb_connection_has_error(c));
        }
        xcb_set_selection_owner(c, window, clipboard, time);
        xcb_flush(c);
        m_ownedAt = std::chrono::steady_clock::now();
        xcb_get_selection_owner_reply_t *owner =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard), nullptr);
        ready.set_value(owner && owner->owner == window);
        std::free(owner);

        auto lastTake = std::chrono::steady_clock::now();
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        while (!m_stop) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
                const uint8_t type = event->response_type & ~0x80;
                if (type == XCB_SELECTION_REQUEST)
                    answer(c, *reinterpret_cast<xcb_selection_request_event_t *>(event), targets, incr, offered);
                else if (type == XCB_PROPERTY_NOTIFY)
                    noteAskedForPiece(*reinterpret_cast<xcb_property_notify_event_t *>(event));
                std::free(event);
            }
            sendDuePieces(c);
            if (m_behaviour.retakeEveryMs > 0
                && std::chrono::steady_clock::now() - lastTake
                    >= std::chrono::milliseconds(m_behaviour.retakeEveryMs)) {
                xcb_set_selection_owner(c, window, clipboard, XCB_CURRENT_TIME);
                xcb_flush(c);
                lastTake = std::chrono::steady_clock::now();
                ++m_retakes;
            }
            ::poll(&fd, 1, 5);
        }
        xcb_destroy_window(c, window);
        xcb_flush(c);
        xcb_disconnect(c);
    }

    void answer(xcb_connection_t *c, const xcb_selection_request_event_t &request, xcb_atom_t targets, xcb_atom_t incr,
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
        } else if (++m_dataRequests; !m_behaviour.answerData) {
            return;
        } else if (const qsizetype index = offered.indexOf(request.target); index >= 0) {
            const QByteArray &bytes = m_offers.at(index).second;
            if (m_behaviour.pieceBytes > 0 && bytes.size() > m_behaviour.pieceBytes) {
                // Deleting the INCR property is the requestor's call for each next piece.
                const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
                xcb_change_window_attributes(c, request.requestor, XCB_CW_EVENT_MASK, &events);
                const uint32_t size = uint32_t(bytes.size());
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, incr, 32, 1, &size);
                m_transfers.push_back({request.requestor, property, request.target, bytes});
            } else {
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, request.target, 8,
                                    uint32_t(bytes.size()), bytes.constData());
            }
            reply.property = property;
        }
        xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&reply));
        xcb_flush(c);
    }

    void noteAskedForPiece(const xcb_property_notify_event_t &notify)
    {
        if (notify.state != XCB_PROPERTY_DELETE)
            return;
        for (Transfer &transfer : m_transfers) {
            if (transfer.requestor == notify.window && transfer.property == notify.atom) {
                transfer.asked = true;
                transfer.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_behaviour.pieceDelayMs);
            }
        }
    }

    void sendDuePieces(xcb_connection_t *c)
    {
        const auto now = std::chrono::steady_clock::now();
        for (auto it = m_transfers.begin(); it != m_transfers.end();) {
            if (!it->asked || it->due > now) {
                ++it;
                continue;
            }
            const QByteArray piece = it->bytes.mid(it->sent, m_behaviour.pieceBytes);
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, it->requestor, it->property, it->type, 8,
                                uint32_t(piece.size()), piece.constData());
            xcb_flush(c);
            it->sent += piece.size();
            it->asked = false;
            it = piece.isEmpty() ? m_transfers.erase(it) : it + 1;
        }
    }

    QList<Offer> m_offers;
    Behaviour m_behaviour;
    std::vector<Transfer> m_transfers;
    std::atomic_int m_dataRequests{0};
    std::atomic_int m_retakes{0};
    std::thread m_thread;
    std::future<bool> m_ready;
    bool m_readyValue = false;
    std::atomic_bool m_stop{false};
    std::chrono::steady_clock::time_point m_ownedAt;
};

} // namespace quillmere::test
