// The history view model: moving the selection and pasting what it picks.

#include "Quillmere/Panel/HistoryViewModel.h"

#include "Quillmere/Platform/Core/Notices.h"

#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <cmath>

namespace quillmere {

// ---- Selection and paste ----------------------------------------------------------------------

void HistoryViewModel::setSelectedIndex(int index)
{
    Batch batch(*this);
    // Close to the end of a part of the history, or of a search's answer that has more: the next
    // clips are read before they are needed.
    const bool searchIsWhole = m_heldSearch && !m_heldSearchHasMore && !wantsSearch()
        && (m_state.filters.isActive() || !SearchQuery(m_state.query).isEmpty());
    if (!m_lists.isComplete() && !searchIsWhole && index + ClipLists::renderLead >= m_lists.visibleCount()) {
        widenSnapshot(false);
        refreshVisibleItems(false);
    }
    m_state.selectedIndex = std::clamp(index, 0, std::max(m_lists.navigableCount() - 1, 0));
    m_lists.ensureSelectionRendered(m_state.selectedIndex);
    if (!m_state.suppressSelectionScroll)
        prewarmThumbnails();
}

KeyPressResult HistoryViewModel::moveSelection(int delta)
{
    const int n = m_lists.navigableCount();
    if (n == 0)
        return KeyPressResult::ignored;
    const qint64 wanted = qint64(m_state.selectedIndex) + delta;
    const int target = int(std::clamp<qint64>(wanted, 0, n - 1));
    if (target != m_state.selectedIndex)
        setSelectedIndex(target);
    return KeyPressResult::handled;
}

void HistoryViewModel::selectCard(int index)
{
    Batch batch(*this);
    m_state.selectedIndex = std::clamp(index, 0, std::max(m_lists.navigableCount() - 1, 0));
    focusLater(false);
}

void HistoryViewModel::selectAndPaste(int index)
{
    Batch batch(*this);
    m_state.selectedIndex = std::clamp(index, 0, std::max(m_lists.navigableCount() - 1, 0));
    focusLater(false);
    if (std::optional<ClipSnapshot> clip = m_lists.navigableForPaste(index); clip && m_callbacks.onPaste)
        m_callbacks.onPaste(std::move(*clip));
}

void HistoryViewModel::handleWheelScroll(double delta)
{
    const int n = m_lists.navigableCount();
    if (!std::isfinite(delta) || n == 0)
        return;
    Batch batch(*this);
    const double total = m_state.wheelAccumulator + delta;
    // The whole steps at once, never more than the list is long; the remainder stays.
    const double steps = std::min(std::floor(std::abs(total) / wheelStep), double(n));
    m_state.wheelAccumulator = std::fmod(total, wheelStep);
    if (steps < 1)
        return;
    const qint64 target = qint64(m_state.selectedIndex) + (total > 0 ? 1 : -1) * qint64(steps);
    const int clamped = int(std::clamp<qint64>(target, 0, n - 1));
    if (clamped != m_state.selectedIndex)
        setSelectedIndex(clamped);
}

KeyPressResult HistoryViewModel::pasteSelection()
{
    if (isSelectedPageLocked())
        return KeyPressResult::handled;
    std::optional<ClipSnapshot> clip = m_lists.navigableForPaste(m_state.selectedIndex);
    if (!clip)
        return KeyPressResult::ignored;
    if (m_callbacks.onPaste)
        m_callbacks.onPaste(std::move(*clip));
    return KeyPressResult::handled;
}

void HistoryViewModel::quickPaste(int index)
{
    if (index < 0 || index >= m_lists.visibleCount() || !canPasteSelection())
        return;
    if (m_callbacks.onPaste)
        m_callbacks.onPaste(m_lists.visibleAt(index));
}

void HistoryViewModel::pasteStackAsText()
{
    QStringList parts;
    for (const ClipSnapshot *clip : pasteStackItems()) {
        if (clip->primaryText)
            parts << *clip->primaryText;
    }
    if (parts.isEmpty()) {
        if (m_callbacks.beep)
            m_callbacks.beep();
        return;
    }
    // A paste that was not handed on leaves the queue as it was.
    if (m_callbacks.onPasteText && m_callbacks.onPasteText(parts.join(QStringLiteral("\n\n"))) && m_deps.pasteStack)
        m_deps.pasteStack->setStack({});
}

void HistoryViewModel::close()
{
    if (m_callbacks.onClose)
        m_callbacks.onClose();
}

void HistoryViewModel::checkForUpdates()
{
    if (m_callbacks.onCheckForUpdates)
        m_callbacks.onCheckForUpdates();
}

bool HistoryViewModel::pasteText(const QString &text)
{
    return m_callbacks.onPasteText && m_callbacks.onPasteText(text);
}

void HistoryViewModel::pasteStackChanged()
{
    Q_EMIT changed();
}

void HistoryViewModel::unlockPage(const PersistentIdentifier &page)
{
    Batch batch(*this);
    m_state.unlockedBoardIDs.insert(page);
}

void HistoryViewModel::openSettings()
{
    if (m_callbacks.openSettings)
        m_callbacks.openSettings();
}

void HistoryViewModel::typeThrough(const QString &text)
{
    if (m_callbacks.typeThrough)
        m_callbacks.typeThrough(text);
}

void HistoryViewModel::requestAreaCapture()
{
    m_deps.notificationCenter->post(Notices::requestAreaCapture);
}

} // namespace quillmere
