#pragma once

#include "Quillmere/Clipboard/PasteStack.h"
#include "Quillmere/Model/Records.h"

#include <QObject>
#include <QSet>
#include <QUuid>
#include <functional>

namespace quillmere {

class ClipStore;
class PasteService;

// Owns the paste stack and pastes its entries, oldest first, into the window in front (the
// paste-next hot key). Main thread only.
class SequentialPasteController : public QObject {
    Q_OBJECT
public:
    // Finds a live clip by dedupID; none for a deleted or unknown one.
    using ClipResolver = std::function<ClipRef(const QUuid &)>;

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
    // were deleted. False (with a beep) when there was nothing to paste.
    bool pasteNext();

Q_SIGNALS:
    void stackChanged();

private:
    ClipResolver m_resolve;
    PasteService &m_pasteService;
    PasteStack m_stack;
};

} // namespace quillmere
