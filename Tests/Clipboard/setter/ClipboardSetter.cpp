// A program that copies texts one after another to the CLIPBOARD, the way a person copying fast
// would, but that changes it only once the clipboard manager has fetched the text it offers: every
// copy was read, so every copy must be kept.
//
// clipboard_setter COUNT INTERVAL_MS PREFIX [PAD_BYTES]
// Offers "PREFIX <i>" (padded with dots to PAD_BYTES) for i = 0..COUNT-1, at most one per
// INTERVAL_MS, each until it was fetched (or 5 s passed). Prints "fetched N of COUNT" and exits 0
// when every copy was fetched, 1 otherwise. With CLIPBOARD_SETTER_TIMES set, also prints
// "copy <i> at <ms>" on stderr as each copy is offered (the monotonic clock, in milliseconds).

#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t intern(xcb_connection_t *c, const char *name)
{
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : XCB_NONE;
}

class Setter {
public:
    Setter() = default;
    Setter(const Setter &) = delete;
    Setter &operator=(const Setter &) = delete;
    ~Setter()
    {
        if (m_c)
            xcb_disconnect(m_c);
    }

    bool open()
    {
        m_c = xcb_connect(nullptr, nullptr);
        if (!m_c || xcb_connection_has_error(m_c))
            return false;
        xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data;
        m_window = xcb_generate_id(m_c);
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
        m_clipboard = intern(m_c, "CLIPBOARD");
        m_targets = intern(m_c, "TARGETS");
        m_timestamp = intern(m_c, "TIMESTAMP");
        m_utf8 = intern(m_c, "UTF8_STRING");
        m_plain = intern(m_c, "text/plain;charset=utf-8");
        m_stamp = intern(m_c, "_QUILLMERE_SETTER_STAMP");
        xcb_flush(m_c);
        return true;
    }

    // Takes the CLIPBOARD for `text` at a server time later than every earlier ownership.
    bool take(const std::string &text)
    {
        m_text = text;
        m_fetched = false;
        xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, m_window, m_stamp, XCB_ATOM_INTEGER, 32, 0, nullptr);
        xcb_flush(m_c);
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        m_time = XCB_CURRENT_TIME;
        serve(deadline, [this] { return m_time != XCB_CURRENT_TIME; });
        if (m_time == XCB_CURRENT_TIME)
            return false;
        xcb_set_selection_owner(m_c, m_window, m_clipboard, m_time);
        xcb_flush(m_c);
        return true;
    }

    // Answers requests until `deadline`, or until `done` holds.
    void serve(Clock::time_point deadline, const std::function<bool()> &done = {})
    {
        while (Clock::now() < deadline && !(done && done())) {
            xcb_generic_event_t *raw = xcb_poll_for_event(m_c);
            if (!raw) {
                if (xcb_connection_has_error(m_c))
                    return;
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                pollfd fd{xcb_get_file_descriptor(m_c), POLLIN, 0};
                ::poll(&fd, 1, int(std::max<long long>(1, left.count())));
                continue;
            }
            std::unique_ptr<xcb_generic_event_t, FreeDeleter> event(raw);
            switch (event->response_type & 0x7f) {
            case XCB_PROPERTY_NOTIFY: {
                const auto *notify = reinterpret_cast<xcb_property_notify_event_t *>(event.get());
                if (notify->window == m_window && notify->atom == m_stamp && m_time == XCB_CURRENT_TIME)
                    m_time = notify->time;
                break;
            }
            case XCB_SELECTION_REQUEST:
                answer(*reinterpret_cast<xcb_selection_request_event_t *>(event.get()));
                break;
            default:
                break;
            }
        }
    }

    bool fetched() const { return m_fetched; }

private:
    void answer(const xcb_selection_request_event_t &request)
    {
        xcb_atom_t property = request.property == XCB_NONE ? request.target : request.property;
        if (std::getenv("CLIPBOARD_SETTER_TRACE"))
            std::fprintf(stderr, "request target %u time %u (ours %u)\n", request.target, request.time, m_time);
        const bool current = request.time == XCB_CURRENT_TIME || request.time >= m_time;
        if (!current || request.selection != m_clipboard) {
            property = XCB_NONE;
        } else if (request.target == m_targets) {
            const xcb_atom_t list[] = {m_targets, m_timestamp, m_utf8, m_plain};
            xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32, 4, list);
        } else if (request.target == m_timestamp) {
            xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_INTEGER, 32, 1,
                                &m_time);
        } else if (request.target == m_utf8 || request.target == m_plain) {
            xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, request.requestor, property, request.target, 8,
                                uint32_t(m_text.size()), m_text.data());
            m_fetched = true;
        } else {
            property = XCB_NONE;
        }
        xcb_selection_notify_event_t notify{};
        notify.response_type = XCB_SELECTION_NOTIFY;
        notify.time = request.time;
        notify.requestor = request.requestor;
        notify.selection = request.selection;
        notify.target = request.target;
        notify.property = property;
        xcb_send_event(m_c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&notify));
        xcb_flush(m_c);
    }

    xcb_connection_t *m_c = nullptr;
    xcb_window_t m_window = 0;
    xcb_atom_t m_clipboard = 0, m_targets = 0, m_timestamp = 0, m_utf8 = 0, m_plain = 0, m_stamp = 0;
    xcb_timestamp_t m_time = XCB_CURRENT_TIME;
    std::string m_text;
    bool m_fetched = false;
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: clipboard_setter COUNT INTERVAL_MS PREFIX [PAD_BYTES]\n");
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const auto interval = std::chrono::milliseconds(std::atoi(argv[2]));
    const std::string prefix = argv[3];
    const size_t pad = argc > 4 ? size_t(std::atoi(argv[4])) : 0;
    Setter setter;
    if (!setter.open()) {
        std::fprintf(stderr, "clipboard_setter: cannot open the display\n");
        return 2;
    }
    int fetched = 0;
    const bool printTimes = std::getenv("CLIPBOARD_SETTER_TIMES") != nullptr;
    Clock::time_point next = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::string text = prefix + " " + std::to_string(i);
        if (text.size() < pad)
            text += ' ' + std::string(pad - text.size() - 1, '.');
        setter.serve(next); // keeps the pace: one copy per interval at most
        if (!setter.take(text)) {
            std::fprintf(stderr, "clipboard_setter: no server time for copy %d\n", i);
            return 2;
        }
        const Clock::time_point offered = Clock::now();
        next = offered + interval;
        if (printTimes) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(offered.time_since_epoch());
            std::fprintf(stderr, "copy %d at %lld\n", i, static_cast<long long>(ms.count()));
        }
        setter.serve(Clock::now() + std::chrono::seconds(5), [&] { return setter.fetched(); });
        if (setter.fetched())
            ++fetched;
        else
            std::fprintf(stderr, "clipboard_setter: copy %d was not fetched within 5 s\n", i);
    }
    // The last copy stays offered a little longer, for a manager that reads it again.
    setter.serve(Clock::now() + std::chrono::milliseconds(300));
    std::printf("fetched %d of %d\n", fetched, count);
    std::fflush(stdout);
    return fetched == count ? 0 : 1;
}
