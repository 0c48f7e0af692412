#include "Quillmere/Platform/SelectionReader.h"

#include "Quillmere/Platform/Core/HandOver.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/XcbSupport.h"

#include <QDateTime>
#include <QMetaObject>
#include <QScopeGuard>

#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quillmere {
namespace {

using Clock = std::chrono::steady_clock;
using XcbEvent = XcbReply<xcb_generic_event_t>;

// A list of 16384 atoms is more than any owner offers.
constexpr qint64 maxTargetListBytes = 65536;
constexpr qint64 maxSecretHintBytes = 256;

bool isPlumbing(const QString &name)
{
    return name == QLatin1String("TARGETS") || name == QLatin1String("MULTIPLE") || name == QLatin1String("TIMESTAMP")
        || name == QLatin1String("SAVE_TARGETS");
}

uint32_t lengthInUnits(qint64 bytes)
{
    return uint32_t(std::min<qint64>((bytes + 3) / 4, UINT32_MAX));
}

// A cut may have split the last character.
void chopPartialCharacter(QByteArray &bytes)
{
    qsizetype lead = bytes.size() - 1;
    while (lead >= 0 && bytes.size() - lead <= 4 && (uchar(bytes[lead]) & 0xC0) == 0x80)
        --lead;
    if (lead < 0)
        return;
    const uchar first = uchar(bytes[lead]);
    const qsizetype length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    if (bytes.size() - lead < length)
        bytes.truncate(lead);
}

} // namespace

class SelectionReader::Worker {
public:
    ~Worker()
    {
        if (m_c)
            xcb_disconnect(m_c);
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
    }

    bool open(const QByteArray &display, xcb_connection_t *own, SelectionReadPlan plan)
    {
        m_plan = std::move(plan);
        m_c = xcb_connect(display.isEmpty() ? nullptr : display.constData(), nullptr);
        if (xcb_connection_has_error(m_c))
            return false;
        const xcb_query_extension_reply_t *xfixes = xcb_get_extension_data(m_c, &xcb_xfixes_id);
        if (!xfixes || !xfixes->present)
            return false;
        m_xfixesEvent = xfixes->first_event;
        XcbReply<xcb_xfixes_query_version_reply_t> version(
            xcb_xfixes_query_version_reply(m_c, xcb_xfixes_query_version(m_c, 1, 0), nullptr));
        if (!version)
            return false;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root;
        m_clipboard = internAtom(m_c, "CLIPBOARD");
        m_targets = internAtom(m_c, "TARGETS");
        m_incr = internAtom(m_c, "INCR");
        m_compoundText = internAtom(m_c, "COMPOUND_TEXT");
        m_property = internAtom(m_c, "_QUILLMERE_SELECTION");
        if (own) {
            const xcb_setup_t *setup = xcb_get_setup(own);
            m_ownBase = setup->resource_id_base;
            m_ownMask = setup->resource_id_mask;
        }
        xcb_xfixes_select_selection_input(m_c, m_root, m_clipboard,
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER
                                              | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY
                                              | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
        // Asked after selecting the events: a change from here on is either seen now or notified.
        XcbReply<xcb_get_selection_owner_reply_t> owner(
            xcb_get_selection_owner_reply(m_c, xcb_get_selection_owner(m_c, m_clipboard), nullptr));
        if (!owner)
            return false;
        m_pending = Change{owner->owner, XCB_CURRENT_TIME, true};
        m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        return m_wakeFd >= 0;
    }

    xcb_atom_t clipboardAtom() const { return m_clipboard; }

    void requestStop()
    {
        m_stop = true;
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
    }

    void run(const std::function<void(SelectionSnapshot)> &deliver)
    {
        while (!m_stop) {
            if (m_pending) {
                const Change change = *m_pending;
                m_pending.reset();
                // No owner is the owner exiting or clearing: no new copy.
                if (change.owner == XCB_NONE || isOwn(change.owner))
                    continue;
                if (auto snapshot = read(change))
                    deliver(std::move(*snapshot));
                continue;
            }
            XcbEvent ignored;
            nextEvent(Clock::time_point::max(), ignored);
        }
    }

private:
    struct Change {
        xcb_window_t owner = XCB_NONE;
        xcb_timestamp_t time = XCB_CURRENT_TIME;
        bool initial = false;
    };
    enum class Wait { event, timedOut, interrupted };
    enum class Outcome { ok, refused, tooLarge, timedOut, interrupted };
    struct Transfer {
        Outcome outcome = Outcome::refused;
        QByteArray bytes;
        xcb_atom_t type = XCB_NONE;
        uint8_t format = 8;
        bool truncated = false;
    };
    struct Target {
        QString name;
        xcb_atom_t atom;
    };

    bool isOwn(xcb_window_t window) const { return m_ownMask && (window & ~m_ownMask) == m_ownBase; }

    // The next event of interest. Interrupted by a stop or by any newer owner change, which is
    // kept in m_pending.
    Wait nextEvent(Clock::time_point deadline, XcbEvent &out)
    {
        for (;;) {
            if (m_stop)
                return Wait::interrupted;
            while (XcbEvent event{xcb_poll_for_event(m_c)}) {
                const uint8_t type = event->response_type & 0x7f;
                if (type == m_xfixesEvent + XCB_XFIXES_SELECTION_NOTIFY) {
                    const auto *notify = reinterpret_cast<const xcb_xfixes_selection_notify_event_t *>(event.get());
                    if (notify->selection != m_clipboard)
                        continue;
                    m_pending = Change{notify->owner, notify->timestamp, false};
                    return Wait::interrupted;
                }
                if (type == 0) // an error, such as an owner gone before it answered
                    continue;
                out = std::move(event);
                return Wait::event;
            }
            if (xcb_connection_has_error(m_c)) {
                qCWarning(lcClipboard, "Lost the X connection that watches the clipboard");
                m_stop = true;
                return Wait::interrupted;
            }
            int timeout = -1;
            if (deadline != Clock::time_point::max()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                if (left <= 0)
                    return Wait::timedOut;
                timeout = int(left);
            }
            pollfd fds[2]{{xcb_get_file_descriptor(m_c), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
            ::poll(fds, 2, timeout);
            if (fds[1].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] const auto got = ::read(m_wakeFd, &count, sizeof count);
            }
        }
    }

    Clock::time_point answerDeadline(Clock::time_point budget) const
    {
        return std::min(budget, Clock::now() + std::chrono::milliseconds(answerTimeoutMs));
    }

    std::optional<SelectionSnapshot> read(const Change &change)
    {
        const xcb_window_t requestor = xcb_generate_id(m_c);
        const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, requestor, m_root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
        // A window per read: late answers to an abandoned one go nowhere.
        const auto destroy = qScopeGuard([&] {
            xcb_destroy_window(m_c, requestor);
            xcb_flush(m_c);
        });
        const Clock::time_point budget = Clock::now() + std::chrono::milliseconds(readBudgetMs);

        SelectionSnapshot snapshot;
        snapshot.owner = change.owner;
        snapshot.initial = change.initial;
        snapshot.seenAtMs = QDateTime::currentMSecsSinceEpoch();

        const Transfer list = convert(requestor, m_targets, change.time, maxTargetListBytes, false, budget);
        if (list.outcome == Outcome::interrupted)
            return std::nullopt;
        if (list.outcome == Outcome::timedOut)
            qCWarning(lcClipboard, "Clipboard owner did not list its types within %d ms; skipping this change",
                      answerTimeoutMs);
        if (list.outcome != Outcome::ok || list.format != 32)
            return snapshot;

        std::vector<Target> offered = targetsIn(list.bytes);
        for (const Target &target : offered)
            snapshot.targets.append(target.name);
        const auto find = [&](const QString &wanted) -> std::optional<Target> {
            for (const Target &target : offered)
                if (target.name.compare(wanted, Qt::CaseInsensitive) == 0)
                    return target;
            return std::nullopt;
        };
        const auto fetch = [&](const Target &target, qint64 maxBytes, bool text) {
            Transfer got = convert(requestor, target.atom, change.time, maxBytes, text, budget);
            // An owner may answer TEXT in the compound encoding, which is not UTF-8: ask by another name.
            if (text && got.outcome == Outcome::ok && got.type == m_compoundText)
                got.outcome = Outcome::refused;
            switch (got.outcome) {
            case Outcome::ok:
                if (text && got.type == XCB_ATOM_STRING)
                    got.bytes = QString::fromLatin1(got.bytes).toUtf8();
                else if (got.truncated)
                    chopPartialCharacter(got.bytes);
                if (got.truncated)
                    qCInfo(lcClipboard, "Clipboard text is over %lld bytes; reading its beginning only", maxBytes);
                snapshot.data.insert(target.name, got.bytes);
                break;
            case Outcome::refused:
                snapshot.targets.removeAll(target.name);
                break;
            case Outcome::tooLarge:
                qCInfo(lcClipboard, "Not reading the clipboard's %s: over %lld bytes", qUtf8Printable(target.name),
                       maxBytes);
                break;
            case Outcome::timedOut:
                qCWarning(lcClipboard, "Clipboard owner did not answer within %d ms; skipping the rest of this change",
                          answerTimeoutMs);
                break;
            case Outcome::interrupted:
                break;
            }
            return got.outcome;
        };

        for (const QString &concealing : m_plan.concealingTargets)
            if (find(concealing))
                return snapshot;
        if (const auto hint = find(m_plan.secretHintTarget); hint && !m_plan.secretHintTarget.isEmpty()) {
            const Outcome outcome = fetch(*hint, maxSecretHintBytes, false);
            if (outcome == Outcome::interrupted)
                return std::nullopt;
            if (outcome == Outcome::timedOut || snapshot.data.value(hint->name).trimmed() == "secret")
                return snapshot;
        }
        for (const SelectionReadPlan::Read &read : m_plan.reads) {
            for (const QString &candidate : read.targets) {
                const auto target = find(candidate);
                if (!target)
                    continue;
                const Outcome outcome = fetch(*target, read.maxBytes, read.text);
                if (outcome == Outcome::interrupted)
                    return std::nullopt;
                if (outcome == Outcome::timedOut)
                    return snapshot;
                if (outcome != Outcome::refused)
                    break;
            }
        }
        return snapshot;
    }

    std::vector<Target> targetsIn(const QByteArray &list)
    {
        std::vector<xcb_atom_t> atoms(size_t(list.size() / 4));
        std::memcpy(atoms.data(), list.constData(), atoms.size() * 4);
        std::vector<std::pair<xcb_atom_t, xcb_get_atom_name_cookie_t>> asked;
        for (const xcb_atom_t atom : atoms)
            if (atom != XCB_ATOM_NONE && !m_names.contains(atom))
                asked.emplace_back(atom, xcb_get_atom_name(m_c, atom));
        for (const auto &[atom, cookie] : asked) {
            XcbReply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(m_c, cookie, nullptr));
            if (reply)
                m_names.insert(atom,
                               QString::fromLatin1(xcb_get_atom_name_name(reply.get()),
                                                   xcb_get_atom_name_name_length(reply.get())));
        }
        std::vector<Target> targets;
        for (const xcb_atom_t atom : atoms) {
            const QString name = m_names.value(atom);
            if (name.isEmpty() || isPlumbing(name))
                continue;
            if (std::none_of(targets.begin(), targets.end(), [&](const Target &t) { return t.atom == atom; }))
                targets.push_back({name, atom});
        }
        return targets;
    }

    // Waits for an event of `type` that `matches`: ok when it came, else why it did not.
    template <class Event, class Matches> Outcome awaitEvent(Clock::time_point deadline, uint8_t type, Matches matches)
    {
        for (;;) {
            XcbEvent event;
            switch (nextEvent(deadline, event)) {
            case Wait::timedOut:
                return Outcome::timedOut;
            case Wait::interrupted:
                return Outcome::interrupted;
            case Wait::event:
                break;
            }
            if ((event->response_type & 0x7f) == type && matches(*reinterpret_cast<const Event *>(event.get())))
                return Outcome::ok;
        }
    }

    // Asks the owner for `target` and takes the answer, in pieces when it sends it so.
    Transfer convert(xcb_window_t requestor, xcb_atom_t target, xcb_timestamp_t time, qint64 maxBytes, bool keepHead,
                     Clock::time_point budget)
    {
        xcb_convert_selection(m_c, requestor, m_clipboard, target, m_property, time);
        xcb_flush(m_c);
        bool refused = false;
        const auto answered = awaitEvent<xcb_selection_notify_event_t>(
            answerDeadline(budget), XCB_SELECTION_NOTIFY, [&](const xcb_selection_notify_event_t &notify) {
                refused = notify.property == XCB_ATOM_NONE;
                return notify.requestor == requestor && notify.selection == m_clipboard && notify.target == target;
            });
        if (answered != Outcome::ok)
            return {answered};
        if (refused)
            return {Outcome::refused};
        XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            m_c,
            xcb_get_property(m_c, 1, requestor, m_property, XCB_GET_PROPERTY_TYPE_ANY, 0, lengthInUnits(maxBytes) + 1),
            nullptr));
        if (!reply)
            return {Outcome::refused};
        if (reply->type == m_incr)
            return incremental(requestor, maxBytes, keepHead, budget);
        Transfer transfer{Outcome::ok};
        transfer.type = reply->type;
        transfer.format = reply->format;
        transfer.bytes = QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())),
                                    xcb_get_property_value_length(reply.get()));
        if (reply->bytes_after > 0 || transfer.bytes.size() > maxBytes) {
            xcb_delete_property(m_c, requestor, m_property);
            if (!keepHead)
                return {Outcome::tooLarge};
            transfer.bytes.truncate(maxBytes);
            transfer.truncated = true;
        }
        return transfer;
    }

    // The INCR protocol: deleting the property asks for the next piece (reading the INCR notice
    // deleted it already); an empty piece ends it.
    Transfer incremental(xcb_window_t requestor, qint64 maxBytes, bool keepHead, Clock::time_point budget)
    {
        Transfer transfer{Outcome::ok};
        for (;;) {
            const auto offered = awaitEvent<xcb_property_notify_event_t>(
                answerDeadline(budget), XCB_PROPERTY_NOTIFY, [&](const xcb_property_notify_event_t &notify) {
                    return notify.window == requestor && notify.atom == m_property
                        && notify.state == XCB_PROPERTY_NEW_VALUE;
                });
            if (offered != Outcome::ok)
                return {offered};
            const qint64 room = maxBytes - transfer.bytes.size();
            XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
                m_c,
                xcb_get_property(m_c, 1, requestor, m_property, XCB_GET_PROPERTY_TYPE_ANY, 0, lengthInUnits(room) + 1),
                nullptr));
            if (!reply)
                return {Outcome::refused};
            const int length = xcb_get_property_value_length(reply.get());
            if (length == 0 && reply->bytes_after == 0)
                return transfer;
            if (transfer.type == XCB_NONE) {
                transfer.type = reply->type;
                transfer.format = reply->format;
            }
            const char *piece = static_cast<const char *>(xcb_get_property_value(reply.get()));
            if (reply->bytes_after > 0 || length > room) {
                // The owner is left waiting for a delete that does not come; the window goes.
                if (!keepHead)
                    return {Outcome::tooLarge};
                transfer.bytes.append(piece, room);
                transfer.truncated = true;
                return transfer;
            }
            transfer.bytes.append(piece, length);
        }
    }

    xcb_connection_t *m_c = nullptr;
    SelectionReadPlan m_plan;
    xcb_window_t m_root = XCB_NONE;
    uint8_t m_xfixesEvent = 0;
    xcb_atom_t m_clipboard = XCB_ATOM_NONE;
    xcb_atom_t m_targets = XCB_ATOM_NONE;
    xcb_atom_t m_incr = XCB_ATOM_NONE;
    xcb_atom_t m_compoundText = XCB_ATOM_NONE;
    xcb_atom_t m_property = XCB_ATOM_NONE;
    uint32_t m_ownBase = 0;
    uint32_t m_ownMask = 0;
    int m_wakeFd = -1;
    std::atomic_bool m_stop{false};
    std::optional<Change> m_pending;
    QHash<xcb_atom_t, QString> m_names;
};

std::unique_ptr<SelectionReader> SelectionReader::start(const QByteArray &display, xcb_connection_t *ownConnection,
                                                        SelectionReadPlan plan)
{
    auto worker = std::make_unique<Worker>();
    if (!worker->open(display, ownConnection, std::move(plan))) {
        qCWarning(lcClipboard, "Cannot watch the clipboard: the X display cannot be opened or has no XFixes");
        return nullptr;
    }
    return std::make_unique<SelectionReader>(std::move(worker), ownConnection);
}

SelectionReader::SelectionReader(std::unique_ptr<Worker> worker, xcb_connection_t *ownConnection)
    : m_worker(std::move(worker)), m_ownConnection(ownConnection)
{
    m_thread =
        std::thread([this] { m_worker->run([this](SelectionSnapshot snapshot) { deliver(std::move(snapshot)); }); });
}

SelectionReader::~SelectionReader()
{
    m_worker->requestStop();
    m_thread.join();
}

void SelectionReader::deliver(SelectionSnapshot snapshot)
{
    // Posted to this object: Qt drops the call if the reader is gone by then.
    QMetaObject::invokeMethod(this,
                              QUILLMERE_HANDED_OVER(nullptr,
                                                    [this, snapshot = std::move(snapshot)] {
                                                        if (onSnapshot)
                                                            onSnapshot(snapshot);
                                                    }),
                              Qt::QueuedConnection);
}

bool SelectionReader::isOvertaken(const SelectionSnapshot &snapshot) const
{
    if (!m_ownConnection)
        return false;
    XcbReply<xcb_get_selection_owner_reply_t> reply(xcb_get_selection_owner_reply(
        m_ownConnection, xcb_get_selection_owner(m_ownConnection, m_worker->clipboardAtom()), nullptr));
    return reply && reply->owner != XCB_NONE && reply->owner != snapshot.owner;
}

} // namespace quillmere
