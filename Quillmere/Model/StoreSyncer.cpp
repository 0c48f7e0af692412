#include "Quillmere/Model/StoreSyncer.h"

#include "Quillmere/Model/OwnConnection.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/HandOver.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/UnixSignals.h"

#include <QFile>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace quillmere {
namespace {

void deliver(QObject *receiver, std::function<void()> then)
{
    if (receiver)
        QMetaObject::invokeMethod(receiver, std::move(then), Qt::QueuedConnection);
}

// The log of the store at `path`, synced through SQLite's file layer (so that whatever layer the
// store's connections write through sees it) on a handle of its own: a connection of its own would
// keep the store's last close from moving the log into the file. True where there is no log.
bool syncLog(const QString &path)
{
    sqlite3_vfs *vfs = sqlite3_vfs_find(nullptr);
    if (!vfs)
        return false;
    std::vector<char> name(size_t(vfs->mxPathname) + 1, '\0');
    if (vfs->xFullPathname(vfs, QFile::encodeName(path).constData(), int(name.size()), name.data()) != SQLITE_OK)
        return false;
    const std::string log = std::string(name.data()) + "-wal";
    int exists = 0;
    if (vfs->xAccess(vfs, log.c_str(), SQLITE_ACCESS_EXISTS, &exists) != SQLITE_OK)
        return false;
    if (!exists)
        return true;
    std::vector<std::max_align_t> space((size_t(vfs->szOsFile) + sizeof(std::max_align_t) - 1)
                                        / sizeof(std::max_align_t));
    auto *file = reinterpret_cast<sqlite3_file *>(space.data());
    int flags = 0;
    if (vfs->xOpen(vfs, log.c_str(), file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_WAL, &flags) != SQLITE_OK)
        return false;
    const bool synced = file->pMethods->xSync(file, SQLITE_SYNC_NORMAL) == SQLITE_OK;
    file->pMethods->xClose(file);
    return synced;
}

} // namespace

struct StoreSyncer::Shared {
    Shared(QString store, StoreSyncer *syncer) : path(std::move(store)), owner(syncer) {}

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
        else if (!ok && !wasFailing && !s.stop)
            qCWarning(lcPersistence, "Could not sync the store at %s; trying again", qPrintable(s.path));
        // Told of a closed store only while its file is there: one that went with it (moved on
        // from, or removed) has nothing left to sync.
        else if (!ok && s.stop && FileIdentity::of(s.path))
            qCWarning(lcPersistence, "Could not sync the store at %s as it closed", qPrintable(s.path));
        if (ok) {
            s.synced = target;
            if (StoreSyncer *owner = s.owner)
                QMetaObject::invokeMethod(owner,
                                          QUILLMERE_HANDED_OVER(nullptr, [owner, target] { owner->synced(target); }),
                                          Qt::QueuedConnection);
        }
        if (last || (s.stop && !ok))
            break;
    }
}

bool StoreSyncer::syncFile(const QString &path)
{
    // With no store at the path (deleted, or on its way back) its log holds nothing a start would
    // read; the file guard keeps that history. The log alone: a checkpoint would empty it, and the
    // store's next commit into an emptied log syncs its header on the main thread.
    const std::optional<FileIdentity> before = FileIdentity::of(path);
    return before && syncLog(path) && FileIdentity::of(path) == before;
}

bool StoreSyncer::checkpoint(const QString &path)
{
    // Once it has read the store's log.
    const OwnConnection own(path, 0, 0);
    int logged = 0;
    int moved = 0;
    return own.db() && sqlite3_exec(own.db(), "PRAGMA schema_version", nullptr, nullptr, nullptr) == SQLITE_OK
        && sqlite3_wal_checkpoint_v2(own.db(), nullptr, SQLITE_CHECKPOINT_PASSIVE, &logged, &moved) == SQLITE_OK
        && moved == logged;
}

} // namespace quillmere
