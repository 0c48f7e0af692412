#include "Quillmere/Archive/StoreMaintenance.h"

#include "Quillmere/Model/ClipStore.h"

#include <QFutureWatcher>
#include <QtConcurrent>

namespace quillmere {

qint64 storeFootprintBytes(const ClipStore &store)
{
    const QString path = store.container().storeURL();
    return path.isEmpty() ? 0 : storagestats::onDiskBytes(path);
}

void storageFacts(const ClipStore &store, int batchSize, QObject *receiver,
                  std::function<void(std::vector<ClipFact>)> done)
{
    if (!receiver || !done)
        return;
    const QString path = store.container().storeURL();
    if (path.isEmpty()) {
        // Another connection cannot see a database in memory; its clips are few and their
        // blobs stay unread, so the snapshot is taken here.
        std::vector<ClipFact> facts;
        for (const ClipRef &clip : store.context().clipsNewestFirst())
            facts.push_back(ClipFact::from(*clip));
        QMetaObject::invokeMethod(
            receiver, [done = std::move(done), facts = std::move(facts)]() mutable { done(std::move(facts)); },
            Qt::QueuedConnection);
        return;
    }
    // The watcher belongs to the receiver: when the receiver goes, so does the delivery.
    auto *watcher = new QFutureWatcher<std::vector<ClipFact>>(receiver);
    QObject::connect(watcher, &QFutureWatcherBase::finished, receiver, [watcher, done = std::move(done)] {
        done(watcher->result());
        watcher->deleteLater();
    });
    QThreadPool *pool = QThreadPool::globalInstance();
    watcher->setFuture(QtConcurrent::run(pool, [path, batchSize] { return ClipFact::fetchAll(path, batchSize); }));
}

int runDuplicateSweep(ClipStore &store, bool force)
{
    return std::max(0, store.dedupeSweep(force, store.now()));
}

int countClips(const ClipStore &store, const QDateTime &cutoff)
{
    // Counted by the database: panes ask on every history change, and loading each clip would
    // stall the window on a long history.
    return int(store.context().countClips(
        ClipQuery{QStringLiteral("createdAt >= ?"), {cutoff.toMSecsSinceEpoch()}, [cutoff](const ClipItem &clip) {
                      return clip.createdAt() >= cutoff;
                  }}));
}

} // namespace quillmere
