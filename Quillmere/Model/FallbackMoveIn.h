#pragma once

#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/InBackground.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace quillmere {

class ClipStore;

// Moves fallback stores into the store a slice at a time, newest clips first, each slice written on
// a worker with connections of its own and committed to the store and synced before it leaves the
// fallback store, which is removed once empty; the main thread only reads back the rows the store
// gained, saves nothing while a slice is out, and takes the brands in itself: a move cut short
// anywhere is taken up again by the next, losing no copy and doubling no clip, Page or brand. Only
// fallback stores this program holds, and only into the file at the store's path: a store file
// deleted or replaced meanwhile takes nothing more.
class FallbackMoveIn : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype sliceClips = 32;
    // After a stop, until a slice moves again.
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLongestRetryMs = 60 * 1000;

    // `held`: a hold this program has on one of them already.
    FallbackMoveIn(ClipStore &store, QStringList paths, std::shared_ptr<FallbackStore::Hold> held = {});
    ~FallbackMoveIn() override;
    // Begins, or goes on after a save failed.
    void start();
    // Ends it at once, for good, before any step still due: what moved stays moved, the rest waits
    // in its file. Waits for a worker's commit under way, never longer: none follows.
    void cancel();
    // Called after each step a kill may follow: a slice committed to the store (the ones before it
    // leaving the fallback store in the same turn), and the fallback store's file removed.
    void setSliceSavedHook(std::function<void()> hook) { m_sliceSaved = std::move(hook); }
    // Called on the worker inside each slice's write to the store, for tests that hold it open.
    void setInTransactionHook(std::function<void()> hook) { m_inTransaction = std::move(hook); }

Q_SIGNALS:
    // Every fallback store has moved in, `moved` clips new to the store.
    void finished(int moved);
    // The store took no more for now (full, say); start() goes on later.
    void stopped(const QString &error);

public:
    // Set by cancel(); a worker commits only under `commit`, having found `set` false.
    struct Cancel {
        std::atomic<bool> set{false};
        std::mutex commit;
    };
    // The worker's connections to the fallback store and the store, kept from slice to slice and
    // used on the worker's thread alone.
    struct Connections {
        std::unique_ptr<class WorkerStore> from;
        std::unique_ptr<class WorkerStore> into;
        QString fromPath;
        std::optional<FileIdentity> intoFile;
        // The store's data version `into` was read at: another connection committed when it
        // moved, and `into` no longer knows the store's Pages and brands.
        qint64 intoVersion = -1;
        // What the clock of their contexts says: the time the turn under way was asked for.
        QDateTime now;
        Connections();
        ~Connections();
    };
    // What a worker did with a slice.
    struct SliceMoved {
        QString error;
        bool cancelled = false;
        bool last = false;
        // The rows of the slice before left the fallback store first.
        bool left = false;
        int added = 0;
        // Rows the store gained or took fields into, and the fallback store's rows they came from.
        std::vector<StoredRow> written;
        std::vector<StoredRow> taken;
        // With the last slice: the fallback store's brands, for the main thread to take in.
        std::vector<std::shared_ptr<SourceAppBrand>> brands;
    };

private:
    void openNext();
    void opened(QString error);
    void slice();
    void sliceMoved(const SliceMoved &moved);
    // The store has synced the slice: it leaves the fallback store with the next one.
    void sliceSynced(const SliceMoved &moved);
    void next();
    void stop(const QString &error);
    bool storeAtItsPath() const;
    // On the worker, after what is under way there.
    void closeConnections();

    ClipStore &m_store;
    QStringList m_paths;
    std::shared_ptr<FallbackStore::Hold> m_held;
    const QString m_storePath;
    // The fallback store moving in now, and this program's hold on it; empty between them.
    QString m_fallbackPath;
    std::shared_ptr<FallbackStore::Hold> m_fallbackHold;
    std::shared_ptr<Cancel> m_cancelShared = std::make_shared<Cancel>();
    std::shared_ptr<Connections> m_kept;
    // One thread that never ends while the move does, so that its connections stay open.
    ThreadOfItsOwn m_worker;
    qint64 m_lift = 0;
    // The store file the slices go into, and how often that changed.
    std::optional<FileIdentity> m_movedInto;
    int m_round = 0;
    // The rows of the slices the store has synced, which leave the fallback store with the next
    // slice, and the clips among them new to the store.
    std::vector<StoredRow> m_leaving;
    int m_leavingAdded = 0;
    // The rows of the slices committed and not synced yet.
    std::vector<StoredRow> m_awaitingSync;
    // How many of them, and of those clips, the turn under way takes.
    std::pair<size_t, int> m_leavingSent;
    // Row ids the slices of the present fallback store may need, by entity.
    std::array<qint64, 4> m_rowsPerSlice{};
    int m_moved = 0;
    int m_slices = 0;
    bool m_running = false;
    bool m_cancelled = false;
    // A slice is on the worker: the store's saves wait for it.
    bool m_sliceOut = false;
    int m_retryMs = kFirstRetryMs;
    QTimer m_retry;
    std::function<void()> m_sliceSaved;
    std::function<void()> m_inTransaction;
};

} // namespace quillmere
