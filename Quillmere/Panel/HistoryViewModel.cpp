#include "Quillmere/Panel/HistoryViewModel.h"

#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <cmath>
#include <limits>
#include <malloc.h>
#include <utility>

namespace quillmere {

void HistoryViewModel::endBatch()
{
    if (--m_batchDepth > 0)
        return;
    settle();
    Q_EMIT changed();
}

HistoryViewModel::HistoryViewModel(HistoryViewDependencies deps, HistoryViewCallbacks callbacks, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)), m_callbacks(std::move(callbacks)), m_search(*this)
{
    Q_ASSERT(m_deps.store && m_deps.notificationCenter && m_deps.preferences && m_deps.scheduler);
    connect(m_deps.store, &HistoryStore::changed, this, [this] { storeDidChange(); });
    connect(m_deps.preferences, &Preferences::changed, this, [this](const QString &key) {
        if (key.startsWith(QLatin1String("panel")) || key == PreferenceKeys::capturePaused)
            Q_EMIT changed();
    });
    NotificationCenter &center = *m_deps.notificationCenter;
    center.addObserver(Notices::panelDidShow, this, [this](const Notification &) { resetForPanelShow(); });
    center.addObserver(Notices::panelKeyPressed, this,
                       [this](const Notification &note) { handlePanelKeyPressed(note.userInfo); });
    center.addObserver(Notices::clipCaptured, this, [this](const Notification &) {
        // A capture kept after a failed save reached the live history without a save notice.
        if (!std::exchange(m_storeChangedSinceCapture, false)) {
            m_stale = true;
            ++m_storeGeneration;
        }
        scheduleLatestSavedRefresh();
    });
    center.addObserver(Notices::cloudImportDidSucceed, this,
                       [this](const Notification &) { scheduleCloudImportRefresh(); });

    // No snapshot yet: the lists are read when the panel first shows.
    m_seen = observe();
}

HistoryViewModel::~HistoryViewModel()
{
    *m_alive = false;
    stopSearchRead(); // the pool is waited for at exit
    m_deps.scheduler->cancel(m_latestSavedRefresh);
    m_deps.scheduler->cancel(m_cloudImportRefresh);
}

void HistoryViewModel::defer(std::chrono::milliseconds delay, std::function<void()> work)
{
    std::weak_ptr<bool> alive = m_alive;
    m_deps.scheduler->schedule(delay, [alive, work = std::move(work)] {
        if (alive.lock())
            work();
    });
}

// ---- Derived state --------------------------------------------------------------------------

PanelKeyboardMode HistoryViewModel::interactionMode() const
{
    if (isKeyboardCapturePaused())
        return PanelKeyboardMode::paused;
    if (isSelectedPageLocked())
        return PanelKeyboardMode::unlocking;
    return m_state.isSearchExpanded ? PanelKeyboardMode::searching : PanelKeyboardMode::browsing;
}

bool HistoryViewModel::isKeyboardCapturePaused() const
{
    const HistoryViewState &s = m_state;
    return s.isShowingClearConfirmation || s.isShowingManualNoteSheet || s.isShowingManualAddError || s.renamingItem
        || s.editingTextItem || s.lockSetupBoard || s.removeLockBoard;
}

const PageSnapshot *HistoryViewModel::selectedPage() const
{
    return m_state.selectedTab.isHistory() ? nullptr : m_lists.findPage(*m_state.selectedTab.board);
}

bool HistoryViewModel::isSelectedPageLocked() const
{
    const PageSnapshot *page = selectedPage();
    return page && page->isLocked && !m_state.unlockedBoardIDs.contains(page->id);
}

bool HistoryViewModel::canPasteSelection() const
{
    // Whatever dialog is open owns the keyboard, the Page-lock sheets included.
    return !isKeyboardCapturePaused() && !isSelectedPageLocked();
}

QString HistoryViewModel::lockedPromptTitle() const
{
    const PageSnapshot *page = selectedPage();
    return (page ? page->displayName() : QStringLiteral("Page")) + QStringLiteral(" is locked");
}

EmptyStateContent HistoryViewModel::emptyState() const
{
    return emptyStateContent(m_state.isSearchExpanded, m_state.query, m_state.filters.imageInboxOnly, selectedPage(),
                             m_deps.storeUnusableNotice ? m_deps.storeUnusableNotice() : QString());
}

std::vector<const ClipSnapshot *> HistoryViewModel::pasteStackItems() const
{
    if (!m_deps.pasteStack)
        return {};
    return m_lists.pasteStackItems(m_deps.pasteStack->stack(), m_state.unlockedBoardIDs);
}

bool HistoryViewModel::isCapturePaused() const
{
    return m_deps.preferences->get(PreferenceKeys::capturePaused);
}

void HistoryViewModel::setCapturePaused(bool paused)
{
    m_deps.preferences->setBool(PreferenceKeys::capturePaused, paused);
}

QString HistoryViewModel::panelOpenBehaviorRawValue() const
{
    return m_deps.preferences->string(PreferenceKeys::panelOpenBehavior).value_or(QStringLiteral("history"));
}

QString HistoryViewModel::panelOpenPageID() const
{
    return m_deps.preferences->string(PreferenceKeys::panelOpenPageID).value_or(QString());
}

QString HistoryViewModel::panelLastUsedTarget() const
{
    return m_deps.preferences->string(PreferenceKeys::panelLastUsedTarget).value_or(QString());
}

// ---- Observers --------------------------------------------------------------------------------

HistoryViewModel::Observed HistoryViewModel::observe() const
{
    Observed o;
    o.query = m_state.query;
    o.filters = m_state.filters;
    o.searchExpanded = m_state.isSearchExpanded;
    o.tab = m_state.selectedTab;
    o.pageLocked = isSelectedPageLocked();
    o.unlocked = m_state.unlockedBoardIDs;
    for (const PageSnapshot &page : m_lists.pages())
        o.pageIDs.push_back(page.id);
    o.paused = isKeyboardCapturePaused();
    o.mode = interactionMode();
    return o;
}

namespace {

bool sameIdentifiers(const std::vector<PersistentIdentifier> &a, const std::vector<PersistentIdentifier> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), sameIdentifier);
}

} // namespace

void HistoryViewModel::settle()
{
    ++m_batchDepth; // what the handlers change is seen by the next round, not by a nested settle
    // Each round runs the first handler whose value moved, then starts again from the top, until
    // nothing moves. A handler that keeps changing its own value is cut off after a few rounds.
    for (int round = 0; round < 32; ++round) {
        Observed &seen = m_seen;
        if (m_state.query != seen.query || m_state.filters != seen.filters) {
            seen.query = m_state.query;
            seen.filters = m_state.filters;
            m_state.selectedIndex = 0;
            refreshVisibleItems(true);
            m_search.refreshSemanticResults();
        } else if (m_state.isSearchExpanded != seen.searchExpanded) {
            seen.searchExpanded = m_state.isSearchExpanded;
            if (!m_state.isSearchExpanded)
                m_search.clearSemanticResults();
            refreshVisibleItems(true);
        } else if (!sameIdentifiers(m_state.relatedItemIDs, seen.related)) {
            seen.related = m_state.relatedItemIDs;
            refreshRelatedItems();
            clampSelection();
        } else if (m_state.selectedTab != seen.tab) {
            seen.tab = m_state.selectedTab;
            m_tabs.handleTabChange();
        } else if (isSelectedPageLocked() != seen.pageLocked) {
            seen.pageLocked = !seen.pageLocked;
            restoreFocus();
        } else if (!(m_state.unlockedBoardIDs == seen.unlocked)) {
            seen.unlocked = m_state.unlockedBoardIDs;
            refreshVisibleItems(false);
            clampSelection();
            pruneStaleStackEntries();
        } else if (const Observed now = observe(); now.pageIDs != seen.pageIDs) {
            seen.pageIDs = now.pageIDs;
            m_tabs.reconcilePages();
        } else if (now.paused != seen.paused) {
            seen.paused = now.paused;
            postKeyboardCaptureState();
        } else if (now.mode != seen.mode) {
            seen.mode = now.mode;
            postInteractionMode();
        } else {
            break;
        }
    }
    --m_batchDepth;
}

// ---- Lists ------------------------------------------------------------------------------------

ClipLists::Query HistoryViewModel::listQuery() const
{
    return {m_state.selectedTab, m_state.unlockedBoardIDs, m_state.query, m_state.filters, m_deps.clock()};
}

void HistoryViewModel::refreshVisibleItems(bool resetWindow)
{
    // Words and filters look through the whole history: what is held answers this keystroke at
    // once and the store is searched on a worker, or, from a store only readable here, read whole
    // right after this keystroke was drawn.
    if (wantsSearch() && m_searchRunning != currentSearch() && !narrowHeldSearch()) {
        if (HistoryStore::SearchRead read = m_deps.store->searchRead()) {
            startSearchRead(std::move(read));
        } else if (!m_wholeLoadScheduled) {
            m_wholeLoadScheduled = true;
            defer(std::chrono::milliseconds(0), [this] {
                m_wholeLoadScheduled = false;
                if (!m_shown || m_lists.isComplete())
                    return;
                Batch batch(*this);
                widenSnapshot(true);
                reconcileVisibleItems(true, false);
            });
        }
    }
    m_lists.refreshVisible(listQuery(), resetWindow, m_state.selectedIndex);
    refreshRelatedItems();
    prewarmThumbnails();
}

void HistoryViewModel::refreshRelatedItems()
{
    m_lists.refreshRelated(m_state.isSearchExpanded, m_state.relatedItemIDs, m_state.unlockedBoardIDs);
}

void HistoryViewModel::prewarmThumbnails()
{
    if (!m_callbacks.prewarmThumbnails)
        return;
    std::vector<ThumbnailRequest> requests = m_lists.thumbnailWindow(m_state.selectedIndex);
    if (!requests.empty())
        m_callbacks.prewarmThumbnails(requests);
}

void HistoryViewModel::reconcileVisibleItems(bool preserveSelection, bool resetWindow)
{
    const int old = m_state.selectedIndex;
    const std::optional<QUuid> anchor = m_lists.navigableDedupID(old);
    refreshVisibleItems(resetWindow);
    const auto &items = m_lists.items();
    const bool newestFirst =
        m_lists.isNewestClipFirst(items.empty() ? std::nullopt : std::optional(items.front().dedupID));
    const bool toTop = !preserveSelection && newestFirst;
    m_state.selectedIndex = m_lists.reanchoredSelection(old, anchor, !toTop);
    m_lists.ensureSelectionRendered(m_state.selectedIndex);
    prewarmThumbnails();
    if (toTop && m_state.selectedIndex == old)
        ++m_state.selectionScrollRevision;
}

void HistoryViewModel::handleItemOrderChange(const ItemOrderSignal &before, const ItemOrderSignal &after)
{
    const bool preserve = m_state.selectedIndex != 0 || before.newestID == after.newestID;
    reconcileVisibleItems(preserve, false);
    startSourceNamesRead();
    refreshSourceAppNames();
    pruneStaleStackEntries();
}

void HistoryViewModel::widenSnapshot(bool whole)
{
    if (m_lists.isComplete())
        return;
    if (whole)
        m_wantWhole = true;
    else
        m_pageSize = int(std::min<qint64>(qint64(m_pageSize) * 4, std::numeric_limits<int>::max() / 2));
    m_stale = true;
    takeSnapshot();
}

void HistoryViewModel::panelDidHide()
{
    m_shown = false;
    m_search.panelDidHide();
    m_deps.store->keepSearchReads(false);
    // What a showing's search and its cards freed stays with the allocator unless handed back; a
    // while after the panel went, once its windows let go of theirs too.
    defer(releaseDelay, [this] {
        if (!m_shown)
            malloc_trim(0);
    });
    if (!m_wantWhole && !m_lists.holdsMatches() && !m_lists.holdsRelated() && !m_searchRunning
        && m_pageSize == historyPageSize)
        return;
    // A search or a long scroll read much of the history; hidden, the panel keeps only a page.
    defer(std::chrono::milliseconds(0), [this] {
        if (!m_shown)
            releaseWideSnapshot();
    });
}

void HistoryViewModel::releaseWideSnapshot()
{
    Batch batch(*this);
    stopSearchRead();
    m_heldSearch.reset();
    m_wantWhole = false;
    m_pageSize = historyPageSize;
    m_stale = true;
    m_lists.setSnapshot({});
    refreshVisibleItems(true);
}

void HistoryViewModel::storeDidChange()
{
    m_stale = true;
    ++m_storeGeneration;
    m_storeChangedSinceCapture = true;
    // A hidden panel reads the store when it shows again, so a capture costs it nothing.
    if (!m_shown)
        return;
    // Every save may add, remove, move or edit clips (not only change the newest one or the
    // count), so the lists are rebuilt each time and the selection follows its clip.
    Batch batch(*this);
    const ItemOrderSignal before = m_lists.orderSignal();
    takeSnapshot();
    handleItemOrderChange(before, m_lists.orderSignal());
}

void HistoryViewModel::scheduleLatestSavedRefresh()
{
    if (!m_shown)
        return;
    const bool atTop = m_state.selectedIndex == 0;
    m_deps.scheduler->cancel(m_latestSavedRefresh);
    m_latestSavedRefresh = m_deps.scheduler->schedule(latestSavedRefreshDelay, [this, atTop] {
        m_latestSavedRefresh = 0;
        Batch batch(*this);
        takeSnapshot();
        reconcileVisibleItems(atTop ? m_state.selectedIndex != 0 : true, false);
        refreshSourceAppNames();
        pruneStaleStackEntries();
    });
}

void HistoryViewModel::scheduleCloudImportRefresh()
{
    m_stale = true;
    ++m_storeGeneration;
    if (!m_shown)
        return;
    const bool atTop = m_state.selectedIndex == 0;
    const ItemOrderSignal before = m_lists.orderSignal();
    m_deps.scheduler->cancel(m_cloudImportRefresh);
    m_cloudImportRefresh = m_deps.scheduler->schedule(cloudImportRefreshDelay, [this, atTop, before] {
        m_cloudImportRefresh = 0;
        Batch batch(*this);
        m_stale = true;
        takeSnapshot();
        const bool same = before.newestID == m_lists.orderSignal().newestID;
        reconcileVisibleItems(!atTop || m_state.selectedIndex != 0 || same, false);
        refreshSourceAppNames();
        pruneStaleStackEntries();
    });
}

void HistoryViewModel::setSyncImporting(bool importing)
{
    const bool finished = m_importing && !importing;
    m_importing = importing;
    if (finished)
        scheduleCloudImportRefresh();
}

void HistoryViewModel::refreshSourceAppNames()
{
    m_state.sourceAppNames = m_lists.sourceAppNames(m_storedSourceNames);
}

void HistoryViewModel::pruneStaleStackEntries()
{
    if (!m_deps.pasteStack || m_deps.pasteStack->stack().empty())
        return;
    m_deps.pasteStack->retainOnly(m_lists.pasteableDedupIDs(m_state.unlockedBoardIDs));
}

void HistoryViewModel::clampSelection()
{
    const int n = m_lists.navigableCount();
    m_state.selectedIndex = n < 1 ? 0 : std::min(n - 1, std::max(m_state.selectedIndex, 0));
}

void HistoryViewModel::showingPositions(int first, int last)
{
    m_shownPositions = {first, last};
    readRelatedContents();
}

void HistoryViewModel::readRelatedContents()
{
    if (!m_shown || m_contentsReadRunning)
        return;
    const auto [first, last] = m_shownPositions;
    const bool stale = m_contentsGeneration != m_storeGeneration;
    std::vector<qint64> missing = m_lists.relatedRowsWithoutContents(first, last);
    // Rows a read just asked for and did not get are gone from the store: not asked for again.
    if (!stale && (missing.empty() || missing == m_contentsAsked))
        return;
    HistoryStore::ClipsRead read = m_deps.store->clipsRead();
    if (!read)
        return;
    // Every related card shown is read again, so what the lists hold is this window and no more.
    std::vector<qint64> window = m_lists.relatedRowsWithoutContents(first, last, true);
    m_contentsAsked = std::move(missing);
    m_contentsReadRunning = true;
    const quint64 generation = m_storeGeneration;
    inBackground(
        this, [read = std::move(read), window = std::move(window)] { return read(window); },
        [this, generation](std::optional<ClipLists::ClipVector> clips) {
            m_contentsReadRunning = false;
            m_contentsGeneration = generation;
            if (!m_shown)
                return;
            if (clips) {
                Batch batch(*this);
                m_lists.holdRelatedContents(std::move(*clips));
            }
            readRelatedContents(); // the strip may have moved on meanwhile
        });
}

// ---- Focus and notices ------------------------------------------------------------------------

void HistoryViewModel::restoreFocus()
{
    focusLater(isSelectedPageLocked());
}

void HistoryViewModel::focusLater(bool inlineUnlock)
{
    // Two turns: the old focus is dropped in one update, the new one taken in the next.
    defer(std::chrono::milliseconds(0), [this, inlineUnlock] {
        {
            Batch batch(*this);
            m_state.isSearchFocused = m_state.isGridFocused = m_state.isInlineUnlockFocused = false;
        }
        defer(std::chrono::milliseconds(0), [this, inlineUnlock] {
            Batch batch(*this);
            (inlineUnlock ? m_state.isInlineUnlockFocused : m_state.isGridFocused) = true;
        });
    });
}

void HistoryViewModel::postInteractionMode()
{
    m_deps.notificationCenter->post(Notices::panelInteractionModeChanged, nullptr,
                                    {{QStringLiteral("mode"), rawValue(interactionMode())}});
}

void HistoryViewModel::postKeyboardCaptureState()
{
    m_deps.notificationCenter->post(Notices::panelKeyboardCaptureChanged, nullptr,
                                    {{QStringLiteral("paused"), isKeyboardCapturePaused()}});
}

void HistoryViewModel::resetForPanelShow()
{
    Batch batch(*this);
    m_shown = true;
    m_deps.store->keepSearchReads(true);
    takeSnapshot();
    startSourceNamesRead();
    refreshSourceAppNames();
    m_state.query.clear();
    m_state.isSearchExpanded = false;
    m_state.isSearchFocused = false;
    m_state.selectedIndex = 0;
    m_state.wheelAccumulator = 0;
    m_state.unlockedBoardIDs.clear();
    m_state.inlineUnlockPassword.clear();
    m_state.inlineUnlockError.clear();
    m_tabs.chooseInitialTab();
    m_tabs.reconcilePages();
    refreshVisibleItems(true);
    restoreFocus();
    postKeyboardCaptureState();
    postInteractionMode();
}

void HistoryViewModel::handleAppear()
{
    Batch batch(*this);
    m_shown = true;
    m_deps.store->keepSearchReads(true);
    takeSnapshot();
    restoreFocus();
    postInteractionMode();
    startSourceNamesRead();
    refreshSourceAppNames();
    refreshVisibleItems(true);
}

// ---- Dialogs ----------------------------------------------------------------------------------

template <typename T> void HistoryViewModel::assign(T HistoryViewState::*field, const T &value)
{
    Batch batch(*this);
    m_state.*field = value;
}

void HistoryViewModel::setShowingClearConfirmation(bool shown)
{
    assign(&HistoryViewState::isShowingClearConfirmation, shown);
}

void HistoryViewModel::setShowingManualNoteSheet(bool shown)
{
    assign(&HistoryViewState::isShowingManualNoteSheet, shown);
}

void HistoryViewModel::setLockSetupBoard(const std::optional<PersistentIdentifier> &page)
{
    assign(&HistoryViewState::lockSetupBoard, page);
}

void HistoryViewModel::setRemoveLockBoard(const std::optional<PersistentIdentifier> &page)
{
    assign(&HistoryViewState::removeLockBoard, page);
}

void HistoryViewModel::setRenameText(const QString &text)
{
    assign(&HistoryViewState::renameText, text);
}
void HistoryViewModel::setEditText(const QString &text)
{
    assign(&HistoryViewState::editText, text);
}
void HistoryViewModel::dismissManualAddError()
{
    assign(&HistoryViewState::isShowingManualAddError, false);
}

void HistoryViewModel::setRenamingItem(const std::optional<PersistentIdentifier> &clip, const QString &text)
{
    Batch batch(*this);
    m_state.renamingItem = clip;
    m_state.renameText = text;
}

void HistoryViewModel::setEditingTextItem(const std::optional<PersistentIdentifier> &clip, const QString &text)
{
    Batch batch(*this);
    m_state.editingTextItem = clip;
    m_state.editText = text;
}

void HistoryViewModel::showManualAddError(const QString &message, const QString &title)
{
    Batch batch(*this);
    m_state.manualAddErrorTitle = title;
    m_state.manualAddErrorMessage = message;
    m_state.isShowingManualAddError = true;
}

// ---- Keys -------------------------------------------------------------------------------------

void HistoryViewModel::handlePanelKeyPressed(const QVariantMap &userInfo)
{
    if (const std::optional<PanelKey> key = PanelKey::fromUserInfo(userInfo)) {
        handleCapturedKey(*key);
        return;
    }
    // The panel's own Return without a key event.
    if (canPasteSelection())
        pasteSelection();
}

void HistoryViewModel::handleCapturedKey(const PanelKey &key)
{
    if (isKeyboardCapturePaused())
        return; // the open dialog has the key
    Batch batch(*this);
    m_router.handleCaptured(key);
}

KeyPressResult HistoryViewModel::handleGridKeyPress(const PanelKey &key)
{
    Batch batch(*this);
    return m_router.handleGrid(key);
}

KeyPressResult HistoryViewModel::handleEscapeKeyPress()
{
    if (m_state.isSearchExpanded)
        m_search.collapseSearch();
    else
        close();
    return KeyPressResult::handled;
}

KeyPressResult HistoryViewModel::handleTypedKeyPress(const PanelKey &key)
{
    Batch batch(*this);
    return m_router.handleTyped(key);
}

} // namespace quillmere
