#pragma once

#include "Quillmere/Model/FallbackMoveIn.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/StoreTrouble.h"
#include "Quillmere/Platform/Core/InBackground.h"

#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <set>

namespace quillmere {

class ClipStore;

// Tells of store trouble once per kind and session (of each file set aside, once per file), and keeps every copy on disk: a failed save is
// retried on a back-off while what a full disk or a lock kept from the store waits in a fallback
// store. A store that cannot take copies is reopened on a back-off while the history goes on in a
// fallback store, which moves into it once it can.
class StoreCaretaker : public QObject {
    Q_OBJECT
public:
    // Room comes back when the user frees it, a lock when its process lets go: looked at more often.
    static constexpr int longestDiskFullRetryMs = 10 * 1000;
    static constexpr size_t retryBatch = 8;

    StoreCaretaker(ClipStore &store, const PersistenceSetup &setup, QObject *parent = nullptr);
    ~StoreCaretaker() override
    {
        m_quitting->store(true);
        m_salvageStop->store(true);
    }

    // Tells of the trouble met while opening and starts what it calls for.
    void start();
    void setRetryDelays(int firstMs, int longestMs);

    // The history is kept in a fallback store, or in memory where no folder takes one.
    bool hasLeftStore() const { return !m_storePath.isEmpty(); }
    // What changes where the history lives, one at a time: the retry and the move-in wait for none
    // to be under way, and damage stops them before it begins.
    enum class Step {
        none,
        leavingDamaged, // the history leaves a damaged store for a fallback store
        salvaging,      // what can be read of the damaged store is read back into a new one
        copyingWhole,   // a fallback store is copied whole to the store's path, where no file is
    };
    Step step() const { return m_step; }
    // Once the store is left: its file, and why it cannot be used now where that is known (an older
    // store on a disk without room to bring it up to date, its lock held by another process, a
    // salvage that could not finish); else empty.
    QString leftStoreReason() const { return hasLeftStore() ? m_unavailableReason : QString(); }
    QString leftStorePath() const { return m_storePath; }
    // The folder of the fallback store the history goes on in, once start() has looked; none in memory.
    std::optional<FallbackStore::Place> fallbackPlace() const { return m_fallbackPlace; }
    // The program's end, however it ends (an exit() from inside the event loop never emits
    // aboutToQuit): stops a salvage, finishes the store file's copy, then keepAtQuit().
    void end();
    // A last try, then what is left goes to a fallback store; how many records could be kept nowhere.
    int keepAtQuit();
    // This process no longer holds the store's lock (`why`): nothing more is written to the store,
    // what it would take is kept in a fallback store, and a retry goes back once the lock is held.
    void lockLost(const QString &why);
    // Called after each slice a move-in commits, for kill tests.
    void setSliceSavedHook(std::function<void()> hook) { m_sliceSaved = std::move(hook); }

Q_SIGNALS:
    void troubleOccurred(const quillmere::StoreTrouble &trouble);

private:
    void report(const StoreTrouble &trouble);
    void reportSetAside(const StoreOpening &opening);
    void scheduleRetry();
    void retry();
    // The store may be written only while this process holds its lock; `why` when it does not.
    bool holdsLock(QString *why) const;
    // Ends the move-in under way for good; the next moveInAll() takes up what it left.
    void stopMoveIn();
    // Saves the backlog a few records at a time, or only the records that fit on a full disk.
    void saveInSteps(bool whatFits);
    // True when m_fallback, the fallback store of what the store refused, opened at once with `now` else on a worker, holds every change.
    bool keepInFallback(bool now = false);
    bool openFallback(const std::optional<std::pair<QString, FallbackStore::Place>> &place);
    // Its file is removed once the store holds what it holds, else a move-in takes it.
    void letFallbackGo(bool storeHoldsIt);
    // letFallbackGo(true) once what the history's store file holds now is synced, if m_fallback is
    // still the one it is now and, with `changes`, the history has changed no more by then.
    void letFallbackGoOnceSynced(std::optional<quint64> changes = std::nullopt);
    // The history goes on in `container`, taking what waits in memory, its present file let go of;
    // the hold on that file when it is a fallback store.
    std::shared_ptr<FallbackStore::Hold> goOnIn(std::shared_ptr<ModelContainer> container);
    // The guard copied a deleted store to the fallback store at `path`: the history goes on there.
    void goOnInFallback(const QString &path, std::shared_ptr<FallbackStore::Hold> hold);
    // A fallback store the history goes on in is copied whole to the store's path, where no file is,
    // so that it takes the room it took before; false when that is not the way back.
    bool copyWholeToStore();
    void copiedWhole(const QString &fallback, const FallbackStore::WholeCopy &copy);
    // The history is back in its store file: nothing more to tell of the fallback session.
    void backAtStore();
    // Tells what the opening set aside, then goes on in its store file, else tries again later.
    bool useStoreFile(std::unique_ptr<ModelContainer> container, const StoreOpening &opening);
    void damageFound();
    // The damaged store is left for the fallback store at `place`, or for memory, and read back.
    void leaveDamaged(const std::optional<FallbackStore::Held> &place);
    void salvageOnWorker();
    // Tells where the history is kept.
    void tellFallbackSession();
    // Every fallback store of the store's moves into it, and `left`, the one the history just left
    // (held by `leftHold`), which the guard may have named after another fallback store, deleted.
    void moveInAll(const QString &left = {}, std::shared_ptr<FallbackStore::Hold> leftHold = {});
    // Names the recovery files earlier releases left, each once: they are no longer read.
    void tellOldRecoveryFiles();
    void moveIn(QStringList paths, const std::function<void(int moved)> &then,
                std::shared_ptr<FallbackStore::Hold> held = {});

    ClipStore &m_store;
    StoreOpening m_setAside;
    QString m_unavailableReason;
    // The store file to go back to once the history has left it.
    QString m_storePath;
    // It was left for the guard's copy of it, deleted: its path has no file, and no salvage is due.
    bool m_leftDeletedStore = false;
    std::function<bool(QString *why)> m_lockStore;
    Step m_step = Step::none;
    QTimer m_retry;
    int m_firstRetryMs = 5 * 1000;
    int m_longestRetryMs = 5 * 60 * 1000;
    int m_nextRetryMs = m_firstRetryMs;
    bool m_retrySoon = false;
    bool m_fitQueued = false;
    std::optional<FallbackStore::Place> m_fallbackPlace;
    std::set<StoreTrouble::Kind> m_reported;
    std::set<QString> m_toldAside;
    std::function<void()> m_sliceSaved;
    // A store moved into meanwhile leaves moving in to the one under way.
    bool m_movingInAll = false;
    bool m_salvagePending = false;
    std::unique_ptr<FallbackMoveIn> m_moveIn;
    // A move-in stopped when the store file left its path goes on once the guard has put it back.
    bool m_moveInLeftFile = false;
    // Holds the changes the store's full disk has not taken yet.
    std::shared_ptr<ModelContainer> m_fallback;
    bool m_fallbackOpening = false;
    // The store is open but another process holds its lock: saves are held until it is ours again.
    bool m_lockLost = false;
    // Damage was met while the store's path did not name its open file, the history's only copy
    // until the guard has put it back at the path.
    bool m_damageWaits = false;
    // Set at quit: a salvage under way stops and the next start finishes it; a whole copy stops, and
    // its fallback store waits for the next start.
    std::shared_ptr<std::atomic<bool>> m_quitting = std::make_shared<std::atomic<bool>>(false);
    // Set at quit, or when the lock is lost, for the salvage under way.
    std::shared_ptr<std::atomic<bool>> m_salvageStop = std::make_shared<std::atomic<bool>>(false);
    // The steps that hold saves run here, so that saves are held only while a step runs.
    ThreadOfItsOwn m_stepThread;
};

} // namespace quillmere
