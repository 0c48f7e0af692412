#pragma once

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/StoreTrouble.h"
#include "Quillmere/Model/UnsavedRecovery.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <set>

namespace quillmere {

class ClipStore;
class FallbackMoveIn;

// Tells of store trouble once per kind and session, and keeps every copy on disk: changes a save
// could not write are tried again on a back-off, a few records per transaction, then one at a time,
// smallest first; what a full disk or a lock kept from the store is in a fallback store meanwhile.
// A store that cannot take copies (it cannot be opened, is salvaged on a worker, or was deleted and
// copied to a fallback store) is reopened on a back-off while the history goes on in the fallback
// store, which moves into it once it can (see FallbackStore). Recovery files an older release left
// are converted into a fallback store by the first start that has the store, and move in last.
class StoreCaretaker : public QObject {
    Q_OBJECT
public:
    static constexpr int firstRetryMs = 5 * 1000;
    static constexpr int longestRetryMs = 5 * 60 * 1000;
    // A full disk or a store another process holds is looked at more often: room comes back when
    // the user frees it, the lock when the other process lets go.
    static constexpr int longestDiskFullRetryMs = 10 * 1000;
    static constexpr size_t retryBatch = 8;

    StoreCaretaker(ClipStore &store, const PersistenceSetup &setup, QObject *parent = nullptr);
    ~StoreCaretaker() override;

    // Tells of the trouble met while opening and starts what it calls for.
    void start();
    void setRetryDelays(int firstMs, int longestMs);

    // The history is kept in a fallback store, or in memory where no folder takes one.
    bool isAwayFromStore() const { return !m_storePath.isEmpty(); }
    // A salvage of the damaged store file runs on a worker.
    bool isSalvaging() const { return m_salvaging; }
    // The folder of the fallback store the history is kept in, once start() has looked; none
    // before, or when it is kept in memory.
    std::optional<FallbackStore::Place> fallbackPlace() const { return m_fallbackPlace; }
    // The program's end, from its last steps however it ends (an exit() from inside the event loop
    // never emits aboutToQuit): stops a salvage, finishes the store file's copy, then keepAtQuit().
    void end();
    // At quit: a last try, then whatever is left goes to a fallback store, said in the log.
    // Returns how many records could be kept nowhere.
    int keepAtQuit();
    // Called each time a slice is committed while recovery files are converted (on a worker) or a
    // fallback store moves in, for a test that stops the process between the steps.
    void setSliceSavedHook(std::function<void()> hook) { m_sliceSaved = std::move(hook); }

Q_SIGNALS:
    void troubleOccurred(const quillmere::StoreTrouble &trouble);

private:
    void report(const StoreTrouble &trouble);
    void reportSetAside(const StoreOpening &opening);
    void scheduleRetry();
    void retry();
    void saveBatch();
    void saveWhatFits();
    std::shared_ptr<ModelContainer> openFallback(const QString &path, QString *error) const;
    // What a full disk or a lock kept the store from taking goes into a fallback store too, until
    // the store takes it; `now` opens one on this thread when none is open. True when it holds
    // every change.
    bool keepInFallback(bool now = false);
    // Opens a new file of its own in `place` as m_pending.
    void openPending(const std::optional<std::pair<QString, FallbackStore::Place>> &place);
    // Closes m_pending, its file removed when what it holds is held elsewhere.
    void letPendingGo(bool heldElsewhere);
    bool tryStoreFile();
    // The guard copied a deleted store to the fallback store at `path`: the history goes on there.
    void goOnInFallback(const QString &path);
    // Goes on in the store file opened, or tells why there is none; false when there is none.
    bool useStoreFile(std::unique_ptr<ModelContainer> container, const StoreOpening &opening);
    // The history leaves a store file a statement found damaged, and the store is salvaged.
    void damageFound();
    void salvageOnWorker();
    void storeChanged();
    // Tells where the history is kept, and which recovery files wait for the store.
    void tellMemoryOnly();
    // Moves the fallback stores left into the store, then converts the recovery files and moves
    // them in last: they hold the oldest copies, matched against what the others brought.
    void bringBackAll();
    void convertUnsaved();
    void moveIn(const QStringList &paths, const std::function<void(int moved)> &then);
    // Tells what came back and which files are still kept, once all have been tried.
    void tellUnsaved(const UnsavedRecovery::Conversion &conversion, int broughtBack,
                     const UnsavedRecovery::Settled &settled);

    ClipStore &m_store;
    // What the opening at the start set aside, told by start().
    StoreOpening m_setAside;
    QString m_unavailableReason;
    // The store file to go back to while the history is kept away from it.
    QString m_storePath;
    QTimer m_retry;
    int m_firstRetryMs = firstRetryMs;
    int m_longestRetryMs = longestRetryMs;
    int m_nextRetryMs = firstRetryMs;
    bool m_retrySoon = false;
    bool m_fitQueued = false;
    std::optional<FallbackStore::Place> m_fallbackPlace;
    std::set<StoreTrouble::Kind> m_reported;
    std::function<void()> m_sliceSaved;
    // Fallback stores and recovery files are being brought back; a store moved into meanwhile
    // leaves them to the move-in under way.
    bool m_bringingBack = false;
    bool m_salvagePending = false;
    bool m_salvaging = false;
    std::unique_ptr<FallbackMoveIn> m_moveIn;
    // Holds the changes the store's full disk has not taken yet.
    std::shared_ptr<ModelContainer> m_pending;
    bool m_pendingOpening = false;
    // Damage was met while the store's path did not name its open file: the only copy of the
    // history is that file until the guard has put it back at the path.
    bool m_damageWaits = false;
    // Set at quit: a salvage stops and is finished by the next start.
    std::shared_ptr<std::atomic<bool>> m_stopSalvage = std::make_shared<std::atomic<bool>>(false);
};

} // namespace quillmere
