#include "Quillmere/Clipboard/SequentialPasteController.h"

#include "Quillmere/Clipboard/PasteService.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Logging.h"

namespace quillmere {

SequentialPasteController::SequentialPasteController(ClipStore &store, PasteService &pasteService, QObject *parent)
    : SequentialPasteController(
        [&store](const QUuid &id) -> ClipRef {
            ClipRef clip = store.context().clipWithDedupID(id);
            return clip && !clip->isDeleted() ? clip : nullptr;
        },
        pasteService, parent)
{
}

SequentialPasteController::SequentialPasteController(ClipResolver resolver, PasteService &pasteService, QObject *parent)
    : QObject(parent), m_resolve(std::move(resolver)), m_pasteService(pasteService)
{
}

void SequentialPasteController::setStack(const PasteStack &stack)
{
    m_stack = stack;
    Q_EMIT stackChanged();
}

void SequentialPasteController::enqueue(const QUuid &dedupID)
{
    PasteStack next = m_stack;
    if (!next.contains(dedupID))
        next.ids.push_back(dedupID);
    setStack(next);
}

void SequentialPasteController::retainOnly(const QSet<QUuid> &existing)
{
    PasteStack next;
    for (const QUuid &id : m_stack.ids) {
        if (existing.contains(id))
            next.ids.push_back(id);
    }
    if (next != m_stack)
        setStack(next);
}

bool SequentialPasteController::pasteNext()
{
    // Entries whose clips were deleted are dropped on the way, so one press always pastes
    // something when anything live is queued.
    PasteStack remaining = m_stack;
    ClipRef clip;
    while (!clip && !remaining.isEmpty()) {
        auto [id, rest] = remaining.popFirst();
        remaining = std::move(rest);
        clip = m_resolve(*id);
        if (!clip)
            qCInfo(lcPaste) << "Skipping a queued clip that no longer exists";
    }
    if (remaining != m_stack)
        setStack(remaining);
    if (!clip) {
        m_pasteService.beep();
        return false;
    }

    const auto target = m_pasteService.frontmostTarget();
    const auto caretBack = m_pasteService.writeToPasteboard(*clip);
    if (!caretBack)
        return false;
    m_pasteService.deliverPaste(target, *caretBack);
    return true;
}

} // namespace quillmere
