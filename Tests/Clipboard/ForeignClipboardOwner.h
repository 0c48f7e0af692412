#pragma once

// Another X client that owns the CLIPBOARD selection and offers any set of targets, the way a
// second program would. It runs on its own thread with its own display connection.

#include <QByteArray>
#include <QList>
#include <QPair>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <poll.h>
#include <thread>

namespace quillmere::test {

class ForeignClipboardOwner {
public:
    using Offer = QPair<QByteArray, QByteArray>; // target name, bytes

    explicit ForeignClipboardOwner(QList<Offer> offers) : m_offers(std::move(offers))
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
    bool lostOwnership() const { return m_lost; }

    // A plain text offer as most programs make it.
    static QList<Offer> text(const QByteArray &utf8)
    {
        return {{"UTF8_STRING", utf8}, {"text/plain;charset=utf-8", utf8}};
    }

private:
    void run(std::promise<bool> ready)
    {
        Display *display = XOpenDisplay(nullptr);
        if (!display) {
            ready.set_value(false);
            return;
        }
        const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
        const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
        const Atom targets = XInternAtom(display, "TARGETS", False);
        QList<Atom> offered;
        for (const auto &offer : m_offers)
            offered.append(XInternAtom(display, offer.first.constData(), False));

        XSetSelectionOwner(display, clipboard, window, CurrentTime);
        XFlush(display);
        m_ownedAt = std::chrono::steady_clock::now();
        ready.set_value(XGetSelectionOwner(display, clipboard) == window);

        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        while (!m_stop) {
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type == SelectionClear) {
                    m_lost = true;
                } else if (event.type == SelectionRequest) {
                    answer(display, event.xselectionrequest, targets, offered);
                }
            }
            ::poll(&fd, 1, 10);
        }
        XDestroyWindow(display, window);
        XCloseDisplay(display);
    }

    void answer(Display *display, const XSelectionRequestEvent &request, Atom targets, const QList<Atom> &offered)
    {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = request.display;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = None;
        const Atom property = request.property != None ? request.property : request.target;

        if (request.target == targets) {
            QList<Atom> list{targets};
            list.append(offered);
            XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(list.constData()), int(list.size()));
            reply.property = property;
        } else if (const qsizetype index = offered.indexOf(request.target); index >= 0) {
            const QByteArray &bytes = m_offers.at(index).second;
            XChangeProperty(display, request.requestor, property, request.target, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(bytes.constData()), int(bytes.size()));
            reply.property = property;
        }
        XEvent event{};
        event.xselection = reply;
        XSendEvent(display, request.requestor, False, 0, &event);
        XFlush(display);
    }

    QList<Offer> m_offers;
    std::thread m_thread;
    std::future<bool> m_ready;
    bool m_readyValue = false;
    std::atomic_bool m_stop{false};
    std::atomic_bool m_lost{false};
    std::chrono::steady_clock::time_point m_ownedAt;
};

} // namespace quillmere::test
