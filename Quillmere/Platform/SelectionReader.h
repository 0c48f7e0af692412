#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

struct xcb_connection_t;

namespace quillmere {

// What the CLIPBOARD owner offered at one change.
struct SelectionSnapshot {
    quint32 owner = 0;
    // Target names in the owner's order; selection plumbing and targets it refused are left out.
    QStringList targets;
    // Bytes of the targets that were read, under the owner's spelling of the name.
    QHash<QString, QByteArray> data;
    // What was on the clipboard when the reader started: not a change.
    bool initial = false;
    // When the owner announced the change (ms since the epoch), whenever the main thread gets it.
    qint64 seenAtMs = 0;
};

// Which targets a change is read for, and how much of each is taken.
struct SelectionReadPlan {
    struct Read {
        // The first of these the owner offers is read; when it refuses, the next one.
        QStringList targets;
        qint64 maxBytes = 0;
        // Text comes out as UTF-8 whatever the target, and one over the cap keeps its head.
        // Anything else over the cap is not read at all.
        bool text = false;
    };
    std::vector<Read> reads;
    // When the owner lists one of these, no content is fetched.
    QStringList concealingTargets;
    // Read before everything else; the value "secret" withholds the rest.
    QString secretHintTarget;
};

// Reads the CLIPBOARD selection on a thread of its own with an X connection of its own, so an
// owner that is slow, hangs or keeps retaking the selection never holds up the main thread.
// Every change of owner is read once; a newer change abandons a read in progress. Changes to
// no owner and to a window of `ownConnection` (our own writes) are not read.
class SelectionReader : public QObject {
    Q_OBJECT
public:
    // An owner that sends nothing for this long (no answer, or no next piece of a long transfer)
    // is taken as hung: what was read so far is the snapshot, and it is asked nothing more.
    static constexpr int answerTimeoutMs = 1500;
    // The most one change may take altogether.
    static constexpr int readBudgetMs = 10000;

    class Worker;

    // Nothing when the display cannot be opened or has no XFixes. `display` empty means $DISPLAY.
    static std::unique_ptr<SelectionReader> start(const QByteArray &display, xcb_connection_t *ownConnection,
                                                  SelectionReadPlan plan);
    // Made by start() only.
    SelectionReader(std::unique_ptr<Worker> worker, xcb_connection_t *ownConnection);
    ~SelectionReader() override;

    // Called on the thread the reader was made on, once per snapshot.
    std::function<void(const SelectionSnapshot &)> onSnapshot;

    // True when another window owns the CLIPBOARD by now: our own write, or a newer owner whose
    // snapshot follows. One whose owner has since exited still tells of the last copy.
    bool isOvertaken(const SelectionSnapshot &snapshot) const;

private:
    void deliver(SelectionSnapshot snapshot);

    std::unique_ptr<Worker> m_worker;
    xcb_connection_t *m_ownConnection = nullptr;
    std::thread m_thread;
};

} // namespace quillmere
