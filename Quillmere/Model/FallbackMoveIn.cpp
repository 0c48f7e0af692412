#include "Quillmere/Model/FallbackMoveIn.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Model/StoreSyncer.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTimer>
#include <sqlite3.h>

namespace quillmere {

namespace {

constexpr qint64 kSliceBytes = 512 * 1024;
// The logs of both stores move into their files off the main thread after this many slices.
constexpr int kSlicesPerCheckpoint = 8;

// The next slice of `from`: its newest clips, sliceClips at most and past the first no more than
// kSliceBytes of content; once none is left, its Pages and brands (a Page made in the fallback
// store may hold no clip).
std::vector<std::shared_ptr<PersistentModel>> nextSlice(ModelContext &from)
{
    std::vector<std::shared_ptr<PersistentModel>> records;
    qint64 bytes = 0;
    for (const ClipRef &clip :
         from.fetchClips({QString(), {}, {}, ClipQuery::Order::newestFirst, FallbackMoveIn::sliceClips})) {
        bytes += clip->imageDataSize() + clip->fileDataSize();
        if (!records.empty() && bytes > kSliceBytes)
            break;
        records.push_back(clip);
    }
    if (records.empty()) {
        for (const PageRef &page : from.pinboards())
            records.push_back(page);
        for (const BrandRef &brand : from.sourceAppBrands())
            records.push_back(brand);
    }
    return records;
}

} // namespace

void FallbackMoveIn::start()
{
    if (!m_cancelled && !std::exchange(m_running, true))
        QTimer::singleShot(0, this, &FallbackMoveIn::slice);
}

void FallbackMoveIn::stop(const QString &error)
{
    m_running = false;
    qCWarning(lcPersistence, "The fallback store waits to move into the store: %s", qPrintable(error));
    Q_EMIT stopped(error);
}

void FallbackMoveIn::openNext()
{
    if (m_paths.isEmpty()) {
        m_running = false;
        qCInfo(lcPersistence, "The fallback store moved into the store: %d copies", m_moved);
        Q_EMIT finished(m_moved);
        return;
    }
    const QString path = m_paths.takeFirst();
    if (QString error; QFileInfo::exists(path) && !open(path, &error)) {
        // Kept as it is: it may open once what keeps it from opening is gone.
        m_fallback.reset();
        qCCritical(lcPersistence, "The fallback store at %s cannot be opened, so it is kept: %s", qPrintable(path),
                   qPrintable(error));
    }
    QTimer::singleShot(0, this, &FallbackMoveIn::slice);
}

bool FallbackMoveIn::open(const QString &path, QString *error)
{
    m_fallback = ModelContainer::open(path, m_store.clock(), error);
    if (!m_fallback)
        return false;
    // Fixed by the first move, so that the clips keep their order among themselves in every slice
    // and every later move.
    QSqlQuery q(m_fallback->mainContext().database());
    const bool read = q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS fallback_lift (lift INTEGER NOT NULL)"))
        && q.exec(QStringLiteral("SELECT MIN(captureOrder) FROM clips")) && q.next();
    const qint64 lift = !read || q.value(0).isNull()
        ? 0
        : ClipItem::captureOrderLift(q.value(0).toLongLong(), m_store.context().lastCaptureOrder());
    if (read
        && q.prepare(
            QStringLiteral("INSERT INTO fallback_lift SELECT ? WHERE NOT EXISTS (SELECT * FROM fallback_lift)"))
        && execWith(q, {lift}, nullptr) && q.exec(QStringLiteral("SELECT lift FROM fallback_lift")) && q.next()) {
        m_lift = q.value(0).toLongLong();
        return true;
    }
    *error = describe(q.lastError());
    return false;
}

void FallbackMoveIn::cancel()
{
    m_cancelled = true;
    m_running = false;
    m_fallback.reset();
}

void FallbackMoveIn::slice()
{
    if (m_cancelled)
        return;
    if (!m_fallback)
        return openNext();
    ModelContext &from = m_fallback->mainContext();
    const auto records = nextSlice(from);
    const bool last = records.empty() || records.front()->entity() != Entity::clip;
    const int added = FallbackStore::takeIn(m_store.context(), records, m_lift);
    // Only what the store has committed leaves the fallback store.
    if (!m_store.save() || m_store.context().hasChanges())
        return stop(QStringLiteral("the store did not take the copies"));
    if (last) {
        const QString path = m_fallback->storeURL();
        m_fallback.reset();
        if (!FallbackStore::remove(path))
            qCWarning(lcPersistence, "Could not remove the fallback store at %s", qPrintable(path));
    } else {
        for (const auto &record : records)
            from.remove(record);
        // Should this fail, the store holds them: the next move finds them there by their dedupID.
        if (QString error; !from.save(&error))
            return stop(error);
        m_moved += added;
        if (m_sliceSaved)
            m_sliceSaved();
    }
    if (last || ++m_slices % kSlicesPerCheckpoint != 0) {
        QTimer::singleShot(0, this, &FallbackMoveIn::slice);
        return;
    }
    inBackground(
        this,
        [paths = QStringList{m_store.container().storeURL(), m_fallback->storeURL()}] {
            for (const QString &path : paths)
                StoreSyncer::checkpoint(path);
            return true;
        },
        [this](bool) { slice(); });
}

} // namespace quillmere
