#pragma once

#include "Quillmere/Clipboard/PasteService.h"
#include "Quillmere/Clipboard/PasteStack.h"
#include "Quillmere/Model/Records.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QUuid>
#include <functional>

namespace quillmere {

class ClipStore;

// Owns the paste stack and pastes its entries, oldest first, into the window in front (the
// paste-next hot key). An entry leaves the stack only once its paste chord was posted; a press
// first waits for another program's window to be in front with the keyboard focus. Main thread
// only.
class SequentialPasteController : public QObject {
    Q_OBJECT
public:
    // Finds a live clip by dedupID; none for a deleted or unknown one.
    using ClipResolver = std::function<ClipRef(const QUuid &)>;

    struct TargetWait {
        int pollMs = 20;
        int settleMs = 60; // focus just handed over: some toolkits drop keys that come at once
        int limitMs = 2000;
    };

    SequentialPasteController(ClipStore &store, PasteService &pasteService, QObject *parent = nullptr);
    SequentialPasteController(ClipResolver resolver, PasteService &pasteService, QObject *parent = nullptr);

    const PasteStack &stack() const { return m_stack; }
    // Every assignment notifies, also one that changes nothing.
    void setStack(const PasteStack &stack);

    // Appends the clip unless it is already queued; observers hear of it either way.
    void enqueue(const QUuid &dedupID);
    // Keeps only the queued ids in `existing`; notifies only when that drops something.
    void retainOnly(const QSet<QUuid> &existing);

    // Pastes the first queued clip that still exists, dropping the entries before it whose clips
    // were deleted. False (with a beep) when there was nothing to paste. A press that comes while
    // one is still on its way runs after it.
    bool pasteNext();
    bool isPasting() const { return m_pasting; }
    void setTargetWait(TargetWait wait) { m_wait = wait; }

Q_SIGNALS:
    void stackChanged();

private:
    // A clip put on the clipboard, waiting for its chord.
    struct Written {
        QUuid id;
        int caretBack = 0;
    };
    ClipRef dropDeletedFront();
    void takeOff(const QUuid &id);
    void waitForTarget(Written written, std::optional<quint32> seen);
    void finish(bool pressesMayGoOn);

    ClipResolver m_resolve;
    PasteService &m_pasteService;
    PasteStack m_stack;
    TargetWait m_wait;
    QElapsedTimer m_waited, m_seenFor;
    bool m_pasting = false;
    int m_pressesWaiting = 0;
};

} // namespace quillmere
