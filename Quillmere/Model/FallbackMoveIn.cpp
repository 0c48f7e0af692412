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

// Runs `sql` on `db`; the error, empty when none.
QString run(sqlite3 *db, const QString &sql)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message) == SQLITE_OK)
        return {};
    QString error = QString::fromUtf8(message ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    return error;
}

// A capture order an older release left unset reads as the clip's date.
constexpr char kOrderOf[] = "iif(typeof(captureOrder) = 'integer', captureOrder, createdAt)";
// A clip dated past the present (%1) was captured before any clip of a fallback store, whatever its date says.
constexpr char kDateBefore[] = "iif(createdAt > %1, -9223372036854775807, createdAt)";

// Gives the clips of the fallback store at `path` capture orders in the store's terms, once: each
// comes after every clip of the store at `storePath` captured before it, that is dated before it
// or past `now` (by a clock that ran ahead then), and after the fallback store's own clips captured
// before it, so that what was copied apart falls in among the store's by when it was copied. The
// marker left with them in the same transaction keeps a move cut short, and every later one, from
// placing them again. The error, empty when none.
QString placeCaptureOrders(const QString &path, const QString &storePath, qint64 now,
                           const std::shared_ptr<std::atomic<bool>> &cancelled)
{
    sqlite3 *db = nullptr;
    QString error;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        error = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close_v2(db);
        return error;
    }
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    StoreFileGuard::keepCompanionsAtClose(db);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_progress_handler(
        db, 1000, [](void *flag) { return int(static_cast<std::atomic<bool> *>(flag)->load()); }, cancelled.get());
    const QByteArray store = QFile::encodeName(storePath);
    std::vector<sqlite3_stmt *> statements;
    const auto prepare = [&](const QString &sql) {
        sqlite3_stmt *statement = nullptr;
        if (error.isEmpty() && sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &statement, nullptr) != SQLITE_OK)
            error = QString::fromUtf8(sqlite3_errmsg(db));
        statements.push_back(statement);
        return statement;
    };
    const auto fail = [&] {
        if (error.isEmpty())
            error = QString::fromUtf8(sqlite3_errmsg(db));
        return false;
    };
    sqlite3_stmt *attach = prepare(QStringLiteral("ATTACH ?1 AS store"));
    bool done = error.isEmpty()
        && (sqlite3_bind_text(attach, 1, store.constData(), int(store.size()), SQLITE_STATIC) == SQLITE_OK
            && sqlite3_step(attach) == SQLITE_DONE);
    // Placed already when the marker is there (an earlier move, or one of an older release that
    // stored a lift for the whole file instead).
    sqlite3_stmt *due =
        prepare(QStringLiteral("SELECT NOT EXISTS (SELECT * FROM main.sqlite_master WHERE name = 'fallback_lift')"));
    done = done && (error = run(db, "PRAGMA temp_store = MEMORY; BEGIN IMMEDIATE")).isEmpty()
        && sqlite3_step(due) == SQLITE_ROW;
    if (done && sqlite3_column_int(due, 0) == 1) {
        const QString before =
            QString::fromLatin1(kDateBefore).arg(ClipItem::liftedCaptureOrder(now, ClipItem::captureDateLeadMs));
        error = run(db,
                    QStringLiteral("CREATE TABLE fallback_lift (lift INTEGER NOT NULL);"
                                   "INSERT INTO fallback_lift VALUES (0);"
                                   "CREATE TEMP TABLE store_orders AS"
                                   " SELECT %1 AS at, MAX(%2) OVER (ORDER BY %1, id) AS upTo FROM store.clips;"
                                   "CREATE INDEX temp.store_orders_at ON store_orders (at, upTo);")
                        .arg(before, QLatin1String(kOrderOf)));
        done = error.isEmpty();
        sqlite3_stmt *clips = prepare(
            QStringLiteral("SELECT id, %1, createdAt FROM main.clips ORDER BY 2, id").arg(QLatin1String(kOrderOf)));
        sqlite3_stmt *after =
            prepare(QStringLiteral("SELECT upTo FROM store_orders WHERE at < ?1 ORDER BY at DESC, upTo DESC LIMIT 1"));
        sqlite3_stmt *update = prepare(QStringLiteral("UPDATE main.clips SET captureOrder = ?2 WHERE id = ?1"));
        // How far the clips before have been raised: later ones are raised at least as far.
        qint64 raised = 0;
        int step = SQLITE_DONE;
        while (done && (step = sqlite3_step(clips)) == SQLITE_ROW) {
            const qint64 id = sqlite3_column_int64(clips, 0), order = sqlite3_column_int64(clips, 1);
            qint64 placed = ClipItem::liftedCaptureOrder(order, raised);
            sqlite3_reset(after);
            sqlite3_bind_int64(after, 1, sqlite3_column_int64(clips, 2));
            if (const int rc = sqlite3_step(after); rc == SQLITE_ROW)
                placed = std::max(placed, ClipItem::liftedCaptureOrder(sqlite3_column_int64(after, 0), 1));
            else if (rc != SQLITE_DONE)
                done = fail();
            raised = std::max(raised, placed - order);
            if (done && placed != order) {
                sqlite3_reset(update);
                done = (sqlite3_bind_int64(update, 1, id) == SQLITE_OK
                        && sqlite3_bind_int64(update, 2, placed) == SQLITE_OK && sqlite3_step(update) == SQLITE_DONE)
                    || fail();
            }
        }
        done = done && (step == SQLITE_DONE || fail());
    }
    for (sqlite3_stmt *statement : statements)
        sqlite3_finalize(statement);
    if (done && (error = run(db, "COMMIT")).isEmpty())
        qCInfo(lcPersistence, "The fallback store at %s has its place in the store's capture order", qPrintable(path));
    else
        run(db, "ROLLBACK");
    if (error.isEmpty() && !done)
        error = QStringLiteral("its capture order could not be placed");
    sqlite3_close_v2(db);
    return error;
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

FallbackMoveIn::FallbackMoveIn(ClipStore &store, QStringList paths)
    : m_store(store), m_paths(std::move(paths)), m_storePath(store.container().storeURL())
{
}

bool FallbackMoveIn::storeAtItsPath() const
{
    return !m_storePath.isEmpty() && m_store.container().storeURL() == m_storePath
        && m_store.fileGuard().holdsFileAtPath();
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
    if (!QFileInfo::exists(path))
        return next();
    QString error;
    m_fallback = ModelContainer::open(path, m_store.clock(), &error);
    if (!m_fallback)
        return opened(error);
    inBackground(
        this,
        [path, store = m_storePath, now = m_store.now().toMSecsSinceEpoch(), cancelled = m_cancelledShared] {
            return placeCaptureOrders(path, store, now, cancelled);
        },
        [this](const QString &placeError) {
            if (!m_cancelled)
                opened(placeError);
        });
}

void FallbackMoveIn::opened(QString error)
{
    if (error.isEmpty()) {
        QSqlQuery q(m_fallback->mainContext().database());
        if (q.exec(QStringLiteral("SELECT lift FROM fallback_lift")) && q.next())
            m_lift = q.value(0).toLongLong();
        else
            error = q.lastError().isValid() ? describe(q.lastError()) : QStringLiteral("its capture order is unset");
    }
    if (!error.isEmpty()) {
        // Kept as it is: it may open once what keeps it from opening is gone.
        qCCritical(lcPersistence, "The fallback store at %s cannot be opened, so it is kept: %s",
                   qPrintable(m_fallback ? m_fallback->storeURL() : QString()), qPrintable(error));
        m_fallback.reset();
    }
    next();
}

void FallbackMoveIn::cancel()
{
    m_cancelled = true;
    *m_cancelledShared = true;
    m_running = false;
    m_fallback.reset();
}

void FallbackMoveIn::next()
{
    QTimer::singleShot(0, this, &FallbackMoveIn::slice);
}

void FallbackMoveIn::slice()
{
    if (m_cancelled)
        return;
    // A store file deleted or replaced meanwhile is no place for them: no name would reach them there.
    if (!storeAtItsPath())
        return stop(QStringLiteral("the store file is not the one at its path"));
    if (!m_fallback)
        return openNext();
    ModelContext &from = m_fallback->mainContext();
    auto records = nextSlice(from);
    const bool last = records.empty() || records.front()->entity() != Entity::clip;
    const int added = FallbackStore::takeIn(m_store.context(), records, m_lift);
    // Only what the store has committed, and synced, leaves the fallback store.
    if (!m_store.save() || m_store.context().hasChanges())
        return stop(QStringLiteral("the store did not take the copies"));
    m_store.container().whenSynced(this,
                                   [this, records = std::move(records), last, added, fallback = m_fallback.get()] {
                                       if (!m_cancelled && m_fallback.get() == fallback)
                                           sliceSynced(records, last, added);
                                   });
}

void FallbackMoveIn::sliceSynced(const std::vector<std::shared_ptr<PersistentModel>> &records, bool last, int added)
{
    // What the store holds of them now goes wherever its file went; they stay here meanwhile.
    if (!storeAtItsPath())
        return stop(QStringLiteral("the store file is not the one at its path"));
    if (last) {
        const QString path = m_fallback->storeURL();
        m_fallback.reset();
        if (!FallbackStore::remove(path))
            qCWarning(lcPersistence, "Could not remove the fallback store at %s", qPrintable(path));
        return next();
    }
    ModelContext &from = m_fallback->mainContext();
    for (const auto &record : records)
        from.remove(record);
    // Should this fail, the store holds them: the next move finds them there by their dedupID.
    if (QString error; !from.save(&error))
        return stop(error);
    m_moved += added;
    if (m_sliceSaved)
        m_sliceSaved();
    if (m_cancelled || ++m_slices % kSlicesPerCheckpoint != 0)
        return next();
    inBackground(
        this,
        [paths = QStringList{m_storePath, m_fallback->storeURL()}] {
            for (const QString &path : paths)
                StoreSyncer::checkpoint(path);
            return true;
        },
        [this](bool) { slice(); });
}

} // namespace quillmere
