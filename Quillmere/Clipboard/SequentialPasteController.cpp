#include "Quillmere/Clipboard/SequentialPasteController.h"

#include "Quillmere/Clipboard/PasteService.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QPointer>
#include <QTimer>
#include <utility>

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

ClipRef SequentialPasteController::dropDeletedFront()
{
    // Entries whose clips were deleted are dropped on the way, so one press always pastes
    // something when anything live is queued.
    PasteStack remaining = m_stack;
    ClipRef clip;
    while (!remaining.isEmpty()) {
        clip = m_resolve(remaining.ids.front());
        if (clip)
            break;
        qCInfo(lcPaste) << "Skipping a queued clip that no longer exists";
        remaining = remaining.popFirst().second;
    }
    if (remaining != m_stack)
        setStack(remaining);
    return clip;
}

bool SequentialPasteController::pasteNext()
{
    if (m_pasting) {
        ++m_pressesWaiting;
        return true;
    }
    const ClipRef clip = dropDeletedFront();
    if (!clip) {
        m_pasteService.beep();
        return false;
    }
    const auto caretBack = m_pasteService.writeToPasteboard(*clip);
    if (!caretBack) {
        // Nothing in it can ever be written; left first it would block every later entry.
        takeOff(clip->dedupID());
        return false;
    }
    // Without XTest the clipboard is all a press can give.
    if (!m_pasteService.isTrusted()) {
        takeOff(clip->dedupID());
        return true;
    }
    m_pasting = true;
    m_waited.start();
    waitForTarget({clip->dedupID(), *caretBack}, std::nullopt);
    return true;
}

void SequentialPasteController::takeOff(const QUuid &id)
{
    if (!m_stack.isEmpty() && m_stack.ids.front() == id)
        setStack(m_stack.popFirst().second);
}

void SequentialPasteController::waitForTarget(Written written, std::optional<quint32> seen)
{
    // Right after a hot key our own window may still be in front, or the one the user just chose
    // may not have the focus yet: a chord sent then is lost.
    const auto target = m_pasteService.frontmostTarget();
    const bool ready = target && m_pasteService.isReadyForKeys(*target);
    const std::optional<quint32> now = ready ? std::optional<quint32>(target->app.window) : std::nullopt;
    if (!now || now != seen)
        m_seenFor.start();
    if (now && m_seenFor.elapsed() >= m_wait.settleMs) {
        // A copy made while we waited would be pasted in the clip's place, and the clip lost.
        if (!m_pasteService.clipboardHoldsLastWrite()) {
            const ClipRef clip = m_resolve(written.id);
            const std::optional<int> caretBack = clip ? m_pasteService.writeToPasteboard(*clip) : std::nullopt;
            if (!caretBack) {
                finish(false);
                return;
            }
            written.caretBack = *caretBack;
        }
        QPointer<SequentialPasteController> self(this);
        m_pasteService.deliverPaste(target, written.caretBack, [self, id = written.id](bool posted) {
            if (!self)
                return;
            if (posted)
                self->takeOff(id);
            else
                qCWarning(lcPaste) << "The paste chord could not be posted; the clip stays first on the stack";
            self->finish(posted);
        });
        return;
    }
    if (m_waited.elapsed() >= m_wait.limitMs) {
        qCWarning(lcPaste) << "Nothing pasted: no other program's window had the keyboard within" << m_wait.limitMs
                           << "ms; the clip stays first on the stack";
        m_pasteService.beep();
        finish(false);
        return;
    }
    QTimer::singleShot(std::max(1, m_wait.pollMs), this, [this, written, now] { waitForTarget(written, now); });
}

void SequentialPasteController::finish(bool pressesMayGoOn)
{
    m_pasting = false;
    const int waiting = std::exchange(m_pressesWaiting, 0);
    if (pressesMayGoOn && waiting > 0) {
        m_pressesWaiting = waiting - 1;
        if (!pasteNext())
            m_pressesWaiting = 0;
    }
}

} // namespace quillmere
