#pragma once

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ClipAudit.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

namespace quillmere {

class NotificationCenter;
class Preferences;
class StoreFileGuard;

// Everything the store needs from outside, so tests can hand in their own.
struct ClipStoreDependencies {
    Preferences *preferences = nullptr;               // required
    NotificationCenter *notificationCenter = nullptr; // required
    Clock clock = systemClock();
    ClipAuditRecording *auditRecorder = nullptr;
};

// The main-thread store through which everything reads and changes clips and Pages.
class ClipStore : public QObject {
    Q_OBJECT
public:
    static inline const QString contentDidChangeNotification = QStringLiteral("clipStoreContentDidChange");
    static constexpr int contentChangeIntervalMs = 3000;

    ClipStore(std::shared_ptr<ModelContainer> container, ClipStoreDependencies deps, QObject *parent = nullptr);
    ~ClipStore() override;

    ModelContainer &container() const { return *m_container; }
    ModelContext &context() const { return m_container->mainContext(); }
    ClipAuditRecording *auditRecorder() const { return m_deps.auditRecorder; }
    Preferences &preferences() const { return *m_deps.preferences; }
    QDateTime now() const { return m_deps.clock(); }
    const Clock &clock() const { return m_deps.clock; }

    // Saves the main context. On success announces the change (at most once every 3 s); on
    // failure logs it and keeps the unsaved changes. `beforeCommit` as in ModelContext::save.
    // True also while saves are deferred (see SaveResult): nothing is lost or to be undone.
    bool save(const std::function<bool(qint64 saveTime)> &beforeCommit = {});

    // Saves; true when the changes stand. A store that is full or cannot be written now keeps
    // them for a later save (see saveFailed). A change the store rejects is logged with
    // `failureFormat` and dropped with every other pending change, so nothing half-done stays.
    bool saveOrRollback(const char *failureFormat);
    // `deferred`: the changes wait in memory while the store file is put back in place, and the
    // store saves them itself once it is; a loop of saves stops there.
    enum class SaveResult { saved, deferred, failed };
    // Saves at most `maxRecords` of the pending changes; see ModelContext::savePart.
    SaveResult savePart(size_t maxRecords);
    // Saves what fits of at most `maxRecords` pending records, one at a time; see
    // ModelContext::saveWhatFits. Returns how many went in. What does not fit is kept, neither
    // signalled nor warned of: the caller tries it after a failed save that said why.
    size_t saveWhatFits(size_t maxRecords);

    // Rows another connection of this process committed to the store: the history shows them
    // as after a save (see ModelContext::takeRowsWrittenElsewhere).
    void tookRowsWrittenElsewhere(const std::vector<StoredRow> &rows);

    // Moves the whole history, unsaved changes included, into `container` and saves it there.
    // For a history kept in memory whose store file can be used again.
    void moveHistoryTo(std::shared_ptr<ModelContainer> container);
    // Goes on in `container`, leaving the records of the present one behind: for a store file
    // replaced while in use, whose history was kept elsewhere first.
    void switchToContainer(std::shared_ptr<ModelContainer> container);
    // What notices that the store file was deleted or replaced (idle for a store in memory).
    StoreFileGuard &fileGuard() const { return *m_fileGuard; }
    // While held, saves leave every change waiting in memory (as when deferred): while a damaged
    // store is left (`forRepair`), while another process holds its lock, while a fallback store is
    // copied back whole. The caller saves once it lets go.
    void holdSaves(bool held, bool forRepair = false)
    {
        m_savesHeld = held;
        m_heldForRepair = held && forRepair;
    }
    bool savesHeld() const { return m_savesHeld; }
    // Another connection of this program writes the store's file now (a slice of a move-in), or
    // has done so: saves wait in memory meanwhile, rather than for its lock, and are made once no
    // such write is under way. Each `true` is ended by one `false`.
    void setWrittenElsewhere(bool written);
    // Damage in the store file met by another reader (see StoreDamage) and confirmed: the store is
    // salvaged as when its own statements meet it (see storeDamaged).
    void reportDamage() { context().noteDamage(); }
    // The history is not all readable now: its file was found damaged, or is being read back.
    bool isBeingRepaired() const { return context().damageFound() || m_heldForRepair; }

    // ---- Capture road, clip edits and pruning (ClipStoreCapture.cpp) -----------------------

    static constexpr qint64 sensitiveExpirySeconds = 300;
    static constexpr qint64 defaultTemporaryLifetimeSeconds = 24 * 3600;
    static constexpr qint64 maxLinkPictureBytes = 8388608;
    static constexpr qint64 defaultHistoryLimit = 500;

    // Stores a capture, or reuses the newest clip with the same content (dated now, expiry
    // cleared, source app replaced). None when a capture rule refuses it or the save fails.
    ClipRef insertClip(const CapturedContent &content);
    // A capture that lives for `lifetimeSeconds` unless pinned or filed.
    ClipRef insertTemporaryClip(const CapturedContent &content,
                                qint64 lifetimeSeconds = defaultTemporaryLifetimeSeconds);
    // Gives a sensitive clip an expiry 300 s after `now`, unless the user turned that off or the
    // clip is pinned, filed or already expiring.
    void applySensitiveExpiry(const ClipRef &clip, const QDateTime &now);
    // Deletes the clips whose expiry has come (at or before `now`); pinned or filed ones lose the
    // expiry instead. Returns how many were deleted.
    int deleteExpiredTemporaryClips(const QDateTime &now);

    // Later results for the newest clip with that content hash.
    void updateRecognizedText(const QString &contentHash, const std::optional<QString> &text);
    void updateFilePreview(const QString &contentHash, const std::optional<QByteArray> &previewPNG,
                           const std::optional<QString> &recognizedText);
    void updateLinkMetadata(const ClipRef &clip, const std::optional<QString> &title,
                            const std::optional<QByteArray> &picture);

    // A copy made again: dated `date` (see markCaptured) and the last captured, so the history
    // limit takes it last. It shows first unless a clip carries a later date (the clock was put
    // back, or ran ahead where that clip was made).
    void bumpToTop(const ClipRef &clip, const QDateTime &date);
    void togglePin(const ClipRef &clip);
    void renameClip(const ClipRef &clip, const QString &text);
    void editClipText(const ClipRef &clip, const QString &text);
    void deleteClip(const ClipRef &clip);
    // Deletes every clip that is neither pinned nor on or saved to a Page.
    void clearHistory();

    // Every clip, newest first (the history order). Blobs stay unloaded.
    std::vector<ClipRef> historyNewestFirst() const;

    // Building blocks the other store operations share.
    // Whether the capture rules stored now refuse this content.
    bool captureRulesRefuse(const CapturedContent &content) const;
    // A new, not yet inserted clip for this content: fresh dedupID, dated now, hash and size set.
    // `knownHash`: the content's hash when the caller has worked it out already.
    ClipRef makeClip(const CapturedContent &content, const QString &knownHash = QString()) const;
    // Files an unfiled clip by the auto-Page rules stored now; true when it was filed.
    bool applyAutoPageRules(const ClipRef &clip);
    // Deletes the first captured clips beyond a positive history limit and saves; returns how many went.
    int pruneOverHistoryLimit();
    // Pinned, on a Page or saved to one: never pruned, cleared or expired away.
    static bool isKept(const ClipItem &clip);

    // ---- History settings and app brands (ClipStoreSettings.cpp) ---------------------------

    // The single settings record (duplicates merged), or none.
    SettingsRef resolveSettings();
    // The chosen limit; 500 when none was chosen. -1 is unlimited.
    qint64 historyLimit();
    // A positive number of clips, or -1 for unlimited. Mirrored to the "historyLimit" preference.
    void setHistoryLimit(qint64 limit);

    void upsertSourceAppBrand(const QString &bundleID, const std::optional<QString> &appName, const QString &colorText,
                              const std::optional<QByteArray> &iconPNG);

    // ---- Pages, manual clips and the duplicate sweep (ClipStorePages.cpp) ------------------

    static constexpr int minimumLockPasswordLength = 4;
    static constexpr qint64 dedupeSweepIntervalSeconds = 1800;

    // Every Page, by sort order then creation date.
    std::vector<PageRef> pages() const;
    // A new Page after all others; colour and icon default to "magenta" and "square.grid.2x2".
    PageRef createPage(const QString &name, const std::optional<QString> &colorName = std::nullopt,
                       const std::optional<QString> &iconName = std::nullopt);
    // Puts the clip on `page` (saved to it, expiry cleared), or back into the history with none.
    void assignClip(const ClipRef &clip, const PageRef &page);
    // Passwords of fewer than four characters are refused. Only a fresh salt and the digest are kept.
    bool setPageLock(const PageRef &page, const QString &password);
    bool verifyPageLock(const PageRef &page, const QString &password) const;
    bool renamePage(const PageRef &page, const QString &name);
    bool setPageColor(const PageRef &page, const QString &colorName);
    bool setPageIcon(const PageRef &page, const QString &iconName);
    // The Page goes; its clips return to the history, keeping their pins.
    bool deletePage(const PageRef &page);
    // Renumbers the Pages 0, 1, 2... in this order; Pages left out follow in their present order.
    bool reorderPages(const std::vector<PageRef> &order);
    // Moves a Page `offset` places up (negative) or down, within bounds.
    bool movePage(const PageRef &page, int offset);

    // A typed note or added file: pinned, never expiring, never merged with another clip. None
    // when its text is blank, a capture rule refuses it or the save fails.
    ClipRef insertManualClip(const CapturedContent &content, const PageRef &page, std::optional<QString> title);

    // Merges clips of equal content into the newest one (pins, Page, titles carried over);
    // copies on different Pages stay. Without `force` it runs at most once per 30 minutes.
    // Returns how many clips were deleted.
    int dedupeSweep(bool force, const QDateTime &now);

Q_SIGNALS:
    // Every successful save that wrote something.
    void didSave();
    // A save that failed because the store was full, locked by another process or could not be
    // written. The changes stay in the live history and go with the next save that works.
    void saveFailed(bool diskFull, const QString &error);
    // The store file was deleted or replaced while in use; the words tell what was done about it.
    void storeFileChanged(const QString &message);
    // A save left its changes waiting in memory while saves are held (see holdSaves).
    void changesHeld();
    // A statement met damage in the store file (see ModelContext::damageFound), in the middle of
    // whatever met it: a receiver acts on it from the event loop.
    void storeDamaged();
    // The history went on in another container (moveHistoryTo, switchToContainer): what reads
    // the store file by its own means reads the new one.
    void containerChanged();

private:
    ClipRef insertCaptured(const CapturedContent &content, std::optional<qint64> lifetimeSeconds);
    // Dates a copy `at`, or up to a second later to show after a copy made at the same moment, and
    // makes it the last captured.
    void markCaptured(ClipItem &clip, const QDateTime &at) const;
    // Marks the first captured clips beyond a positive limit deleted, without saving; returns how many.
    // `added`, the clip being inserted, is never among them, whatever its date.
    int removeOverHistoryLimit(const ClipItem *added = nullptr);
    // Clips that are not kept (see isKept), other than `besides`.
    static ClipQuery unkeptClips(const ClipItem *besides = nullptr);
    // The record the limit is read from, without merging duplicates.
    SettingsRef preferredSettings() const;
    void announceChange();
    // True when the failed save's changes are kept for later.
    bool keepAfterFailedSave(const QString &error);
    // A save waits: the guard puts the store file back, or another connection writes it.
    bool savesWaitForFile();
    // Reports damage another reader met at `path` once the file there is found to be the one held
    // and unsound, off the main thread.
    void verifyDamage(const QString &path);
    // Tells storeDamaged for the context in use now, and holds its container's capture order
    // fill while saves wait.
    void watchContainer();

    std::shared_ptr<ModelContainer> m_container;
    ClipStoreDependencies m_deps;
    QTimer m_pendingNotice;
    std::optional<QDateTime> m_lastNoticeAt;
    std::optional<QDateTime> m_lastDedupeSweepAt;
    std::unique_ptr<StoreFileGuard> m_fileGuard;
    bool m_savesHeld = false;
    bool m_heldForRepair = false;
    // How many writes of other connections are under way.
    int m_writtenElsewhere = 0;
};

} // namespace quillmere
