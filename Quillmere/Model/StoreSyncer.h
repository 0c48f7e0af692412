#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace quillmere {

// Makes the commits on a store file hold through a power cut, off the main thread. The store's
// connection commits without waiting for the disk; a worker of this syncer's own then syncs the log,
// at once after a quiet spell and at most once a group interval during a burst, so that a commit
// holds within about a second at one sync for many.
class StoreSyncer : public QObject {
    Q_OBJECT
public:
    // Between two syncs of a burst; commits meanwhile go with the next.
    static constexpr std::chrono::milliseconds groupInterval{250};
    // After a sync that failed (the file gone or unreadable for now).
    static constexpr std::chrono::milliseconds retryInterval{1000};

    explicit StoreSyncer(QString path);
    // Never waits for the worker: it ends after the sync under way (and one more for commits not
    // synced yet), telling no one.
    ~StoreSyncer() override;
    StoreSyncer(const StoreSyncer &) = delete;
    StoreSyncer &operator=(const StoreSyncer &) = delete;

    // A commit on the store has ended.
    void committed();
    // Calls `then` on `receiver`'s thread once every commit so far holds through a power cut.
    void whenSynced(QObject *receiver, std::function<void()> then);
    // Syncs made so far.
    quint64 syncs() const;

    // Syncs the log of the store at `path`, changing nothing; true when every commit it held now
    // holds through a power cut, false while no store is at the path. Blocks: for a worker.
    static bool syncFile(const QString &path);
    // Moves the log of the store at `path` into its file from a connection of its own (left to the
    // store's connection, it comes due in the middle of a save: a copy of the log and two syncs);
    // true when all of it moved. Blocks: for a worker.
    static bool checkpoint(const QString &path);

private:
    struct Shared;
    struct Waiter {
        quint64 commit;
        QPointer<QObject> receiver;
        std::function<void()> then;
    };
    static void work(const std::shared_ptr<Shared> &shared);
    void synced(quint64 commit);

    std::shared_ptr<Shared> m_shared;
    // The commits made so far and those known to be synced, counted on this thread alone.
    quint64 m_committed = 0;
    quint64 m_synced = 0;
    std::vector<Waiter> m_waiters;
};

} // namespace quillmere
