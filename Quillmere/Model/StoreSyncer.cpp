#include "Quillmere/Model/StoreSyncer.h"

#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/UnixSignals.h"

#include <QFile>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sqlite3.h>
#include <system_error>
#include <thread>

namespace quillmere {
namespace {

void deliver(QObject *receiver, std::function<void()> then)
{
    if (receiver)
        QMetaObject::invokeMethod(receiver, std::move(then), Qt::QueuedConnection);
}

// The log a connection has open, synced through the connection's own file layer.
bool syncLog(sqlite3 *db)
{
    sqlite3_file *log = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK || !log || !log->pMethods)
        return false;
    return log->pMethods->xSync(log, SQLITE_SYNC_NORMAL) == SQLITE_OK;
}

} // namespace

struct StoreSyncer::Shared {
    Shared(QString file, StoreSyncer *syncer) : path(std::move(file)), owner(syncer) {}

    const QString path;
    std::mutex mutex;
    std::condition_variable wake;
    // Guarded by the mutex.
    StoreSyncer *owner;
    quint64 committed = 0;
    quint64 synced = 0;
    bool stop = false;
    // Set once the worker runs: it ends only with the syncer or the process.
    bool working = false;
    bool failing = false;
    std::atomic<quint64> syncs{0};
};

StoreSyncer::StoreSyncer(QString path) : m_shared(std::make_shared<Shared>(std::move(path), this))
{
}

StoreSyncer::~StoreSyncer()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->stop = true;
    m_shared->owner = nullptr;
    m_shared->wake.notify_all();
}

quint64 StoreSyncer::syncs() const
{
    return m_shared->syncs;
}

void StoreSyncer::committed()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->committed = ++m_committed;
    if (!m_shared->working) {
        // Started with the first commit, so that a store only read never holds a thread.
        try {
            std::thread(&StoreSyncer::work, m_shared).detach();
            m_shared->working = true;
        } catch (const std::system_error &e) {
            // Tried again at the next commit; meanwhile whoever waits for a sync keeps waiting.
            qCWarning(lcPersistence, "No thread to sync the store at %s with: %s", qPrintable(m_shared->path),
                      e.what());
        }
    }
    m_shared->wake.notify_all();
}

void StoreSyncer::whenSynced(QObject *receiver, std::function<void()> then)
{
    if (m_committed <= m_synced)
        deliver(receiver, std::move(then));
    else
        m_waiters.push_back({m_committed, receiver, std::move(then)});
}

void StoreSyncer::synced(quint64 commit)
{
    m_synced = std::max(m_synced, commit);
    const auto due =
        std::stable_partition(m_waiters.begin(), m_waiters.end(), [&](const Waiter &w) { return w.commit > m_synced; });
    std::vector<Waiter> ready(std::make_move_iterator(due), std::make_move_iterator(m_waiters.end()));
    m_waiters.erase(due, m_waiters.end());
    for (Waiter &w : ready)
        deliver(w.receiver, std::move(w.then));
}

void StoreSyncer::work(const std::shared_ptr<Shared> &shared)
{
    using SteadyClock = std::chrono::steady_clock;
    Shared &s = *shared;
    SteadyClock::time_point next = SteadyClock::now();
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&] { return s.stop || s.committed > s.synced; });
        // A burst waits out the interval since the last sync; the end of the syncer does not.
        s.wake.wait_until(lock, next, [&] { return s.stop; });
        // Once the end has begun a commit holds when the process ends, which a sync would only put off.
        if (s.committed <= s.synced || UnixSignals::timeToEnd())
            break;
        const quint64 target = s.committed;
        const bool last = s.stop;
        lock.unlock();
        const bool ok = syncFile(s.path);
        lock.lock();
        ++s.syncs;
        next = SteadyClock::now() + (ok ? groupInterval : retryInterval);
        if (const bool wasFailing = std::exchange(s.failing, !ok); ok && wasFailing)
            qCInfo(lcPersistence, "The store at %s is synced again", qPrintable(s.path));
        else if (!ok && !wasFailing)
            qCWarning(lcPersistence, "Could not sync the store at %s; trying again", qPrintable(s.path));
        if (ok) {
            s.synced = target;
            if (StoreSyncer *owner = s.owner)
                QMetaObject::invokeMethod(
                    owner, [owner, target] { owner->synced(target); }, Qt::QueuedConnection);
        }
        if (last || (s.stop && !ok))
            break;
    }
}

bool StoreSyncer::syncFile(const QString &path)
{
    sqlite3 *db = nullptr;
    bool synced = false;
    // Never makes a file that is not there; its close leaves the log and its index alone.
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        StoreFileGuard::keepCompanionsAtClose(db);
        int logged = 0;
        int moved = 0;
        // The checkpoint syncs the log and the file whenever it moves anything; frames a reader still
        // needs stay in the log unsynced, and another checkpoint under way moves none.
        if (sqlite3_exec(db, "PRAGMA schema_version", nullptr, nullptr, nullptr) == SQLITE_OK) {
            const int rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logged, &moved);
            synced = (rc == SQLITE_OK && moved == logged) || syncLog(db);
        }
    }
    sqlite3_close_v2(db);
    return synced;
}

} // namespace quillmere
