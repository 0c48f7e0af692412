#include "Quillmere/Panel/HistoryTabController.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Panel/FileClipReader.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Preferences.h"

namespace quillmere {

void HistoryTabController::selectTab(const PanelTab &tab, bool remember)
{
    HistoryViewModel::Batch batch(m_model);
    HistoryViewState &state = m_model.m_state;
    if (tab == state.selectedTab) {
        if (remember)
            rememberTab(tab);
        return;
    }
    if (!remember)
        state.suppressNextTabMemory = true;
    state.suppressSelectionScroll = true;
    state.selectedIndex = 0;
    state.wheelAccumulator = 0;
    state.selectedTab = tab;
    m_model.refreshVisibleItems(true);
    m_model.defer(std::chrono::milliseconds(0), [this] {
        HistoryViewModel::Batch later(m_model);
        m_model.m_state.suppressSelectionScroll = false;
    });
}

KeyPressResult HistoryTabController::moveTab(int delta)
{
    HistoryViewModel::Batch batch(m_model);
    HistoryViewState &state = m_model.m_state;
    const std::vector<PageSnapshot> &pages = m_model.m_lists.pages();
    const int current = PanelTabs::currentStop(state.isSearchExpanded, state.selectedTab, pages);
    const int next = PanelTabs::stepStop(current, delta, int(pages.size()));
    if (next == 0) {
        state.isSearchExpanded = true;
        state.query.clear();
        state.isSearchFocused = false;
        return KeyPressResult::handled;
    }
    if (state.isSearchExpanded) {
        state.query.clear();
        state.isSearchExpanded = false;
    }
    selectTab(next == 1 ? PanelTab::history() : PanelTab::page(pages[next - 2].id), true);
    state.isSearchFocused = false;
    m_model.focusLater(false);
    return KeyPressResult::handled;
}

void HistoryTabController::handleTabChange()
{
    HistoryViewState &state = m_model.m_state;
    if (state.isSearchExpanded) {
        state.query.clear();
        state.isSearchExpanded = false;
    }
    m_model.m_search.clearSemanticResults();
    state.isSearchFocused = false;
    state.inlineUnlockPassword.clear();
    state.inlineUnlockError.clear();
    m_model.refreshVisibleItems(true);
    if (state.suppressNextTabMemory)
        state.suppressNextTabMemory = false;
    else
        rememberTab(state.selectedTab);
    m_model.restoreFocus();
}

void HistoryTabController::rememberTab(const PanelTab &tab)
{
    m_model.m_deps.preferences->setString(PreferenceKeys::panelLastUsedTarget,
                                          PanelTabs::memoryText(tab, m_model.m_lists.pages()));
}

void HistoryTabController::reconcilePages()
{
    HistoryViewState &state = m_model.m_state;
    IdentifierSet kept;
    for (const PersistentIdentifier &id : state.unlockedBoardIDs.values()) {
        if (m_model.m_lists.findPage(id))
            kept.insert(id);
    }
    state.unlockedBoardIDs = kept;
    if (!state.selectedTab.isHistory() && !m_model.m_lists.findPage(*state.selectedTab.board))
        selectTab(PanelTab::history(), false);
}

void HistoryTabController::chooseInitialTab()
{
    selectTab(PanelTabs::initialTab(m_model.panelOpenBehaviorRawValue(), m_model.panelOpenPageID(),
                                    m_model.panelLastUsedTarget(), m_model.m_lists.pages()),
              false);
}

void HistoryTabController::setInlineUnlockPassword(const QString &password)
{
    HistoryViewModel::Batch batch(m_model);
    m_model.m_state.inlineUnlockPassword = password;
}

void HistoryTabController::appendToInlineUnlockPassword(const QString &text)
{
    HistoryViewModel::Batch batch(m_model);
    m_model.m_state.inlineUnlockPassword += text;
    m_model.m_state.inlineUnlockError.clear();
}

void HistoryTabController::removeLastInlineUnlockCharacter()
{
    HistoryViewModel::Batch batch(m_model);
    QString &password = m_model.m_state.inlineUnlockPassword;
    password = withoutLastCharacter(password);
}

void HistoryTabController::submitInlineUnlock()
{
    const PageSnapshot *page = m_model.selectedPage();
    if (!page || !m_model.isSelectedPageLocked())
        return;
    HistoryViewModel::Batch batch(m_model);
    HistoryViewState &state = m_model.m_state;
    if (state.inlineUnlockPassword.isEmpty()) {
        state.inlineUnlockError.clear();
        m_model.focusLater(true);
        return;
    }
    const PersistentIdentifier id = page->id;
    const bool correct = m_model.m_deps.store->verifyPageLock(id, state.inlineUnlockPassword);
    state.inlineUnlockPassword.clear();
    if (correct) {
        state.unlockedBoardIDs.insert(id);
        state.inlineUnlockError.clear();
    } else {
        state.inlineUnlockError = QStringLiteral("Wrong password.");
    }
    m_model.focusLater(!correct);
}

void HistoryTabController::lockNow(const PersistentIdentifier &page)
{
    HistoryViewModel::Batch batch(m_model);
    m_model.m_state.unlockedBoardIDs.remove(page);
}

void HistoryTabController::addFile(const QString &path)
{
    const PageSnapshot *page = m_model.selectedPage();
    const std::optional<PersistentIdentifier> target = page ? std::optional(page->id) : std::nullopt;
    // The file may sit on a slow or hung disk: read on the pool, stored back here.
    inBackground(
        &m_model, [path] { return readFileClip(path, HistoryViewModel::maxFileBytes); },
        [this, target](const FileClipRead &read) {
            if (!read.content) {
                m_model.showManualAddError(read.errorMessage);
                return;
            }
            if (!m_model.m_deps.store->insertManualClip(*read.content, target))
                m_model.showManualAddError(QStringLiteral("The file could not be saved."));
        });
}

} // namespace quillmere
