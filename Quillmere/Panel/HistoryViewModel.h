#pragma once

#include "Quillmere/Panel/ClipLists.h"
#include "Quillmere/Panel/HistoryKeyRouter.h"
#include "Quillmere/Panel/HistorySearchController.h"
#include "Quillmere/Panel/HistoryStore.h"
#include "Quillmere/Panel/HistoryTabController.h"
#include "Quillmere/Panel/HistoryViewState.h"
#include "Quillmere/Panel/PanelKeys.h"
#include "Quillmere/Panel/PanelTabs.h"
#include "Quillmere/Panel/SemanticSearch.h"
#include "Quillmere/Panel/TaskScheduler.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>

namespace quillmere {

class NotificationCenter;
class Preferences;

// The paste-next queue as the history view sees it: clip dedupIDs, first pasted first.
class PasteStackAccess {
public:
    virtual ~PasteStackAccess() = default;
    virtual std::vector<QUuid> stack() const = 0;
    virtual void setStack(const std::vector<QUuid> &ids) = 0;
    // Keeps only the ids in `existing`, in order.
    virtual void retainOnly(const QSet<QUuid> &existing) = 0;
};

struct HistoryViewDependencies {
    HistoryStore *store = nullptr;
    NotificationCenter *notificationCenter = nullptr;
    Preferences *preferences = nullptr;
    TaskScheduler *scheduler = nullptr;
    SemanticScorer *semanticEngine = nullptr; // none: nothing is ever related
    PasteStackAccess *pasteStack = nullptr;
    Clock clock = systemClock();
    // Why the history's store cannot be used now, while its clips wait in it; empty when it can.
    std::function<QString()> storeUnusableNotice;
};

// What the view asks of the panel and the desktop. Unset callbacks do nothing.
struct HistoryViewCallbacks {
    // Given a copy: a paste may save the store, which replaces the snapshots. A related clip whose
    // contents are not held yet comes with its identifier only.
    std::function<void(ClipSnapshot)> onPaste;
    // True when the text was handed on to be pasted.
    std::function<bool(const QString &)> onPasteText;
    std::function<void()> onClose;
    std::function<void()> onCheckForUpdates;
    std::function<void()> openSettings;
    // Types the text into whatever window has the keyboard.
    std::function<void(const QString &)> typeThrough;
    std::function<void()> beep;
    // Thumbnails the strip will soon draw; the receiver skips those it has.
    std::function<void(const std::vector<ThumbnailRequest> &)> prewarmThumbnails;
};

// The history panel's one place of decision: it holds the view state, derives every list from
// snapshots of the store, runs the search, posts the mode notices and handles keys. Widgets
// render what it holds and forward input. Main thread only.
class HistoryViewModel : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds latestSavedRefreshDelay{80};
    static constexpr std::chrono::milliseconds cloudImportRefreshDelay{350};
    // After the panel went: the memory its showing freed is handed back to the system.
    static constexpr std::chrono::milliseconds releaseDelay{2000};
    static constexpr double wheelStep = 42;
    static constexpr qint64 maxFileBytes = 8388608;
    // The newest clips read when the panel shows; scrolling near the end reads four times more.
    // A search or filter asks the store for as many of the newest clips that pass.
    static constexpr int historyPageSize = 400;

    HistoryViewModel(HistoryViewDependencies deps, HistoryViewCallbacks callbacks, QObject *parent = nullptr);
    ~HistoryViewModel() override;

    const HistoryViewState &state() const { return m_state; }
    const ClipLists &lists() const { return m_lists; }
    // The query, the filters and the semantic layer.
    HistorySearchController &search() { return m_search; }
    // Tabs, Page locks and adding files.
    HistoryTabController &tabs() { return m_tabs; }

    // Derived state.
    PanelKeyboardMode interactionMode() const;
    bool isKeyboardCapturePaused() const;
    const PageSnapshot *selectedPage() const;
    bool isSelectedPageLocked() const;
    bool canPasteSelection() const;
    EmptyStateContent emptyState() const;
    // The locked-Page prompt's title: "<Page> is locked".
    QString lockedPromptTitle() const;
    std::vector<const ClipSnapshot *> pasteStackItems() const;

    // Persisted state, shared through the preferences.
    bool isCapturePaused() const;
    void setCapturePaused(bool paused);
    QString panelOpenBehaviorRawValue() const;
    QString panelOpenPageID() const;
    QString panelLastUsedTarget() const;

    // Selection and paste.
    void setSelectedIndex(int index);
    KeyPressResult moveSelection(int delta);
    void selectCard(int index);
    void selectAndPaste(int index);
    void handleWheelScroll(double delta);
    KeyPressResult pasteSelection();
    void quickPaste(int index);
    // Pastes the stack's texts as one; the stack empties only when the paste was handed on.
    void pasteStackAsText();
    // Hands a text on to be pasted; true when it was.
    bool pasteText(const QString &text);
    // The queue changed outside the model: the widgets redraw what they show of it.
    void pasteStackChanged();
    void close();
    void checkForUpdates();
    void openSettings();
    void typeThrough(const QString &text);
    void requestAreaCapture();

    // Dialogs; while any is open the keyboard capture is paused.
    void setShowingClearConfirmation(bool shown);
    void setShowingManualNoteSheet(bool shown);
    void setLockSetupBoard(const std::optional<PersistentIdentifier> &page);
    void setRemoveLockBoard(const std::optional<PersistentIdentifier> &page);
    void setRenamingItem(const std::optional<PersistentIdentifier> &clip, const QString &text = {});
    void setRenameText(const QString &text);
    void setEditingTextItem(const std::optional<PersistentIdentifier> &clip, const QString &text = {});
    void setEditText(const QString &text);
    // The panel's alert; its title says what failed.
    void showManualAddError(const QString &message, const QString &title = QStringLiteral("Could Not Add Item"));
    // Opens a Page until the panel is shown again.
    void unlockPage(const PersistentIdentifier &page);
    void dismissManualAddError();

    // Keys: the captured road (every key while the panel is open) and the focused card area's road.
    void handleCapturedKey(const PanelKey &key);
    KeyPressResult handleGridKeyPress(const PanelKey &key);
    KeyPressResult handleEscapeKeyPress();
    KeyPressResult handleTypedKeyPress(const PanelKey &key);

    // The strip shows the navigable positions from `first` to `last`: the contents of the related
    // clips among them that are not held are read from the store on a worker.
    void showingPositions(int first, int last);

    // The panel was shown / its content appeared.
    void resetForPanelShow();
    void handleAppear();
    // The panel went away: store changes only mark the lists stale until it shows again.
    void panelDidHide();
    // The sync status's importing flag; its end refreshes like a finished import.
    void setSyncImporting(bool importing);

Q_SIGNALS:
    // After every change of state or lists.
    void changed();

private:
    friend class HistorySearchController;
    friend class HistoryTabController;
    friend class HistoryKeyRouter;

    // Groups changes; when the outermost batch ends the observers run on what changed and the
    // widgets hear of it once.
    class Batch {
    public:
        explicit Batch(HistoryViewModel &model) : m_model(model) { ++m_model.m_batchDepth; }
        ~Batch() { m_model.endBatch(); }
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        HistoryViewModel &m_model;
    };
    void endBatch();
    template <typename T> void assign(T HistoryViewState::*field, const T &value);
    // Runs `work` later on the main thread unless this model is gone by then.
    void defer(std::chrono::milliseconds delay, std::function<void()> work);
    struct Observed {
        QString query;
        ClipSearchFilters filters;
        bool searchExpanded = false;
        std::vector<PersistentIdentifier> related;
        PanelTab tab;
        bool pageLocked = false;
        IdentifierSet unlocked;
        std::vector<PersistentIdentifier> pageIDs;
        bool paused = false;
        PanelKeyboardMode mode = PanelKeyboardMode::browsing;
    };
    Observed observe() const;
    void settle();

    ClipLists::Query listQuery() const;
    void refreshVisibleItems(bool resetWindow);
    void refreshRelatedItems();
    void prewarmThumbnails();
    void reconcileVisibleItems(bool preserveSelection, bool resetWindow);
    void handleItemOrderChange(const ItemOrderSignal &before, const ItemOrderSignal &after);
    void storeDidChange();
    // Reads the store again when it changed since the last read.
    void takeSnapshot();
    // Reads more of the history than the part held now: all of it (a store only readable here),
    // or four times as much.
    void widenSnapshot(bool whole);
    void releaseWideSnapshot();
    // A search of the store on a worker for the words and filters as they are: the newest clips
    // that pass (as many as the part holds), held beside the part. At most one read runs; a new
    // keystroke stops it and starts another.
    struct SearchOf {
        quint64 generation = 0;
        QString query;
        ClipSearchFilters filters;
        int limit = 0;
        bool operator==(const SearchOf &) const = default;
    };
    SearchOf currentSearch() const;
    bool wantsSearch() const;
    void startSearchRead(HistoryStore::SearchRead read);
    // Answers a search that only adds to the words of a whole answer held from the matches held.
    bool narrowHeldSearch();
    void searchReadFinished(const SearchOf &search, std::optional<HistorySearchAnswer> answer);
    HistorySnapshot readNewestPart() const;
    void stopSearchRead();
    void startSourceNamesRead();
    // One read at a time, for the latest positions shown.
    void readRelatedContents();
    void scheduleLatestSavedRefresh();
    void scheduleCloudImportRefresh();
    void refreshSourceAppNames();
    void pruneStaleStackEntries();
    void clampSelection();

    void restoreFocus();
    void focusLater(bool inlineUnlock);
    void postInteractionMode();
    void postKeyboardCaptureState();
    void handlePanelKeyPressed(const QVariantMap &userInfo);

    HistoryViewDependencies m_deps;
    HistoryViewCallbacks m_callbacks;
    HistoryViewState m_state;
    ClipLists m_lists;
    HistorySearchController m_search;
    HistoryTabController m_tabs{*this};
    HistoryKeyRouter m_router{*this};
    Observed m_seen;
    int m_batchDepth = 0;
    bool m_dirty = false;
    bool m_importing = false;
    bool m_shown = false;
    bool m_stale = true;
    bool m_storeChangedSinceCapture = false;
    int m_pageSize = historyPageSize;
    bool m_wantWhole = false;
    bool m_wholeLoadScheduled = false;
    // Moves with every change of the store, so a read that began before it is known as stale.
    quint64 m_storeGeneration = 0;
    // What the running search read looks for.
    std::optional<SearchOf> m_searchRunning;
    std::shared_ptr<std::atomic<bool>> m_searchStop;
    // What the matches held beside the part answer, and whether more passed beyond them.
    std::optional<SearchOf> m_heldSearch;
    bool m_heldSearchHasMore = false;
    // The held matches are the whole answer to m_heldSearch (not kept from an earlier one).
    bool m_heldSearchWhole = false;
    // The store generation the source names were last read at.
    std::optional<quint64> m_sourceNamesGeneration;
    bool m_sourceNamesReadRunning = false;
    // The related clips' contents for the cards shown: the positions, the rows last asked for and
    // the store generation of what is held.
    std::pair<int, int> m_shownPositions{0, -1};
    std::vector<qint64> m_contentsAsked;
    quint64 m_contentsGeneration = 0;
    bool m_contentsReadRunning = false;
    // The source names of every saved clip, as last read.
    QStringList m_storedSourceNames;
    TaskScheduler::TaskId m_latestSavedRefresh = 0;
    TaskScheduler::TaskId m_cloudImportRefresh = 0;
    // Outlives this model in deferred work, which checks it before touching anything.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace quillmere
