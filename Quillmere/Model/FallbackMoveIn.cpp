#include "Quillmere/Model/FallbackMoveIn.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/OwnConnection.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Model/StoreSyncer.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <algorithm>
#include <sqlite3.h>

namespace quillmere {

namespace {

constexpr qint64 kSliceBytes = 512 * 1024;
// The logs of both stores move into their files off the main thread after this many slices.
constexpr int kSlicesPerCheckpoint = 8;

// The next slice of `from`, past the clips at rows `passed` (moved, not left yet): its newest clips, sliceClips at most and past the first no more than
// kSliceBytes of content; once none is left, its Pages and brands (a Page made in the fallback
// store may hold no clip).
std::vector<std::shared_ptr<PersistentModel>> nextSlice(ModelContext &from, const std::vector<qint64> &passed)
{
    std::vector<std::shared_ptr<PersistentModel>> records;
    qint64 bytes = 0;
    ClipQuery query{.order = ClipQuery::Order::newestFirst, .limit = FallbackMoveIn::sliceClips};
    if (!passed.empty()) {
        QStringList marks;
        for (qint64 row : passed) {
            marks << QStringLiteral("?");
            query.values << row;
        }
        query.where = QStringLiteral("id NOT IN (%1)").arg(marks.join(QLatin1Char(',')));
        query.matches = [&passed](const ClipItem &clip) {
            return std::ranges::find(passed, clip.persistentModelID().rowID) == passed.end();
        };
    }
    for (const ClipRef &clip : from.fetchClips(query)) {
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

// A copy of `brand` that belongs to no context, for another thread to take in.
std::shared_ptr<SourceAppBrand> detachedBrand(const SourceAppBrand &brand)
{
    auto copy = std::make_shared<SourceAppBrand>();
    copy->setBundleID(brand.bundleID());
    copy->setAppName(brand.appName());
    copy->setColorHex(brand.colorHex());
    copy->setIconPNG(brand.iconPNG());
    copy->setUpdatedAt(brand.updatedAt());
    copy->setRecordID(brand.recordID());
    return copy;
}

// The brands among `records`, taken out as copies: the main thread takes them in itself, seeing
// those it has made and not saved yet.
std::vector<std::shared_ptr<SourceAppBrand>> takeBrandsOut(std::vector<std::shared_ptr<PersistentModel>> &records)
{
    std::vector<std::shared_ptr<SourceAppBrand>> brands;
    std::erase_if(records, [&brands](const std::shared_ptr<PersistentModel> &record) {
        if (record->entity() != Entity::brand)
            return false;
        brands.push_back(detachedBrand(static_cast<const SourceAppBrand &>(*record)));
        return true;
    });
    return brands;
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
QString placeCaptureOrders(const QString &path, const QString &storePath, qint64 now, std::atomic<bool> &cancelled)
{
    const OwnConnection own(path);
    sqlite3 *db = own.db();
    if (!db)
        return own.error();
    QString error;
    sqlite3_progress_handler(
        db, 1000, [](void *flag) { return int(static_cast<std::atomic<bool> *>(flag)->load()); }, &cancelled);
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
    // Not IMMEDIATE, which would hold the store's write lock too: the store is only read here.
    done = done && (error = run(db, "PRAGMA temp_store = MEMORY; BEGIN")).isEmpty() && sqlite3_step(due) == SQLITE_ROW;
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
    return error;
}

} // namespace

// A worker's own connection to a store file that is there (it never makes one), set up as every
// connection to it is, with a context over it; for one job on the thread that made it.
class WorkerStore {
public:
    WorkerStore(const QString &path, Clock clock, std::optional<FileIdentity> expected = std::nullopt)
        : m_name(QStringLiteral("quillmere-move-in-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=5000"));
        db.setDatabaseName(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
        if (!db.open()) {
            m_error = describe(db.lastError());
            return;
        }
        // Its close leaves the log to the checkpoints, and the companions the store's guard watches alone.
        OwnConnection::closeAsOwn(sqliteHandle(db));
        if (expected && FileIdentity::of(path) != expected) {
            m_error = QStringLiteral("the store file is not the one at its path");
            return;
        }
        if (QSqlError e; !ModelContainer::setUpConnection(db, true, &e)) {
            m_error = describe(e);
            return;
        }
        // No checkpoint inside its commits, which cancel() may be waiting on: the move-in runs them
        // between slices.
        QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_autocheckpoint = 0"));
        // Read before the context is, so that no commit after it goes unseen.
        m_loadedVersion = dataVersion();
        m_context = std::make_unique<ModelContext>(db, std::move(clock));
        if (!m_context->load(&m_error))
            m_context.reset();
    }
    ~WorkerStore()
    {
        m_context.reset();
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    WorkerStore(const WorkerStore &) = delete;
    WorkerStore &operator=(const WorkerStore &) = delete;

    // None when it could not be opened: error() says why.
    ModelContext *context() const { return m_context.get(); }
    // Moves whenever another connection commits to the file; -1 when unread.
    qint64 dataVersion() const
    {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        return q.exec(QStringLiteral("PRAGMA data_version")) && q.next() ? q.value(0).toLongLong() : -1;
    }
    QString error() const { return m_error.isEmpty() ? QStringLiteral("it could not be read") : m_error; }
    // The data version its context was read at.
    qint64 loadedVersion() const { return m_loadedVersion; }

private:
    QString m_name;
    QString m_error;
    qint64 m_loadedVersion = -1;
    std::unique_ptr<ModelContext> m_context;
};

FallbackMoveIn::Connections::Connections() = default;
FallbackMoveIn::Connections::~Connections() = default;

namespace {

// Saves `context` unless the move-in was cancelled: the check and the commit are one step for cancel().
bool saveUnlessCancelled(ModelContext &context, FallbackMoveIn::Cancel &cancel, QString *error,
                         const std::function<void()> &beforeCommit = {})
{
    std::unique_lock lock(cancel.commit, std::defer_lock);
    return context.save(error, [&](qint64) {
        if (beforeCommit)
            beforeCommit();
        lock.lock();
        return !cancel.set.load();
    });
}

struct Opened {
    QString error;
    // None while another running program writes it (`heldElsewhere`), or once it is gone.
    std::shared_ptr<FallbackStore::Hold> hold;
    bool heldElsewhere = false;
    qint64 lift = 0;
    qint64 pages = 0;
};

// Places the fallback store at `path` in the store's capture order and reads what its slices need.
Opened openFallback(const QString &path, std::shared_ptr<FallbackStore::Hold> held, const QString &storePath,
                    const QDateTime &now, FallbackMoveIn::Cancel &cancel)
{
    Opened opened;
    // The one held already may have been made under another name.
    if (!(opened.hold = held && held->isAt(path) ? std::move(held) : FallbackStore::Hold::take(path))) {
        opened.heldElsewhere = QFileInfo::exists(path);
        return opened;
    }
    // Brings a fallback store of an older release up to date first; its close moves its log in.
    if (!ModelContainer::open(
            path, [now] { return now; }, &opened.error))
        return opened;
    opened.error = placeCaptureOrders(path, storePath, now.toMSecsSinceEpoch(), cancel.set);
    if (!opened.error.isEmpty())
        return opened;
    WorkerStore from(path, [now] { return now; });
    if (!from.context()) {
        opened.error = from.error();
        return opened;
    }
    QSqlQuery q(from.context()->database());
    if (q.exec(QStringLiteral("SELECT lift FROM fallback_lift")) && q.next())
        opened.lift = q.value(0).toLongLong();
    else
        opened.error = q.lastError().isValid() ? describe(q.lastError()) : QStringLiteral("its capture order is unset");
    opened.pages = qint64(from.context()->pinboards().size());
    return opened;
}

// Deletes `rows`, which the store holds and has synced, from the fallback store `from`.
QString leaveFallback(ModelContext &from, const std::vector<StoredRow> &rows, FallbackMoveIn::Cancel &cancel)
{
    const auto byRow = [](const auto &records, qint64 row) {
        const auto at =
            std::ranges::find_if(records, [row](const auto &r) { return r->persistentModelID().rowID == row; });
        return at == records.end() ? nullptr : std::shared_ptr<PersistentModel>(*at);
    };
    for (const StoredRow &row : rows) {
        std::shared_ptr<PersistentModel> record;
        if (row.entity == Entity::clip)
            record = from.clip({StoreRows::of(Entity::clip).name, row.rowID});
        else if (row.entity == Entity::page)
            record = byRow(from.pinboards(), row.rowID);
        else if (row.entity == Entity::brand)
            record = byRow(from.sourceAppBrands(), row.rowID);
        if (record)
            from.remove(record);
    }
    QString error;
    if (!saveUnlessCancelled(from, cancel, &error) && error.isEmpty() && !cancel.set.load())
        error = QStringLiteral("the fallback store kept them");
    return error;
}

// One turn of a worker: the rows of the slice before, synced, leave the fallback store; then the
// next slice goes into the store in one short transaction, its new rows taking the ids from
// `firstRow` on that the main context kept for them (`rowCount` of each entity).
struct SliceJob {
    QString path;
    QString storePath;
    std::optional<FileIdentity> storeFile;
    // The store connection's page limit, which holds for these writes too; none when 0.
    qint64 pageLimit = 0;
    QDateTime now;
    qint64 lift = 0;
    std::array<qint64, 4> firstRow{};
    std::array<qint64, 4> rowCount{};
    std::vector<StoredRow> leaving;
    // Clips moved in whose rows have not left yet.
    std::vector<qint64> passed;
    std::function<void()> inTransaction;
};

// The worker's connection to the store, opened afresh when the store's file changed or another
// connection committed since. The main thread writes nothing to the store while a slice is out:
// what its commits before the slice changed (a Page renamed) is read here, by the slice that writes.
WorkerStore &storeConnection(const SliceJob &job, FallbackMoveIn::Connections &kept, const Clock &clock)
{
    if (!kept.into || kept.intoFile != job.storeFile || kept.into->dataVersion() != kept.intoVersion) {
        kept.into.reset();
        kept.into = std::make_unique<WorkerStore>(job.storePath, clock, job.storeFile);
        kept.intoFile = job.storeFile;
        kept.intoVersion = kept.into->loadedVersion();
    }
    return *kept.into;
}

FallbackMoveIn::SliceMoved moveSlice(const SliceJob &job, FallbackMoveIn::Connections &kept,
                                     FallbackMoveIn::Cancel &cancel)
{
    FallbackMoveIn::SliceMoved moved;
    kept.now = job.now;
    const Clock clock = [&kept] { return kept.now; };
    if (!kept.from || kept.fromPath != job.path) {
        kept.from = std::make_unique<WorkerStore>(job.path, clock);
        kept.fromPath = job.path;
    }
    if (!kept.from->context()) {
        moved.error = kept.from->error();
        kept.from.reset();
        kept.into.reset();
        return moved;
    }
    WorkerStore &from = *kept.from;
    // Whatever goes wrong, the next turn starts on connections of its own.
    struct Drop {
        FallbackMoveIn::Connections &kept;
        const FallbackMoveIn::SliceMoved &moved;
        ~Drop()
        {
            if (!moved.error.isEmpty() || moved.cancelled) {
                kept.from.reset();
                kept.into.reset();
            }
        }
    } drop{kept, moved};
    if (!job.leaving.empty()) {
        // Should this fail, the store holds them: the next move finds them there by their dedupID.
        if (moved.error = leaveFallback(*from.context(), job.leaving, cancel); !moved.error.isEmpty())
            return moved;
        moved.left = !cancel.set.load();
    }
    auto records = nextSlice(*from.context(), job.passed);
    moved.last = records.empty() || records.front()->entity() != Entity::clip;
    moved.brands = takeBrandsOut(records);
    WorkerStore &into = storeConnection(job, kept, clock);
    if (!into.context()) {
        moved.error = into.error();
        return moved;
    }
    if (job.pageLimit > 0)
        QSqlQuery(into.context()->database()).exec(QStringLiteral("PRAGMA max_page_count = %1").arg(job.pageLimit));
    for (Entity entity : StoreRows::entities)
        into.context()->useRowsFrom(entity, job.firstRow[size_t(entity)]);
    moved.added = FallbackStore::takeIn(*into.context(), records, job.lift);
    for (const auto &record : into.context()->unsavedRecords()) {
        const size_t entity = size_t(record->entity());
        const qint64 row = record->persistentModelID().rowID;
        if (row >= job.firstRow[entity] + job.rowCount[entity]) {
            moved.error = QStringLiteral("the slice needs more rows than were kept for it");
            return moved;
        }
        moved.written.push_back({record->entity(), row});
    }
    for (const auto &record : records)
        moved.taken.push_back({record->entity(), record->persistentModelID().rowID});
    if (records.empty())
        return moved;
    if (!saveUnlessCancelled(*into.context(), cancel, &moved.error, job.inTransaction) && !cancel.set.load()
        && moved.error.isEmpty())
        moved.error = QStringLiteral("the store did not take the copies");
    moved.cancelled = cancel.set.load();
    return moved;
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
    qCWarning(lcPersistence, "The fallback store waits to move into the store: %s; tried again in %d s",
              qPrintable(error), int(m_retryMs / 1000));
    Q_EMIT stopped(error);
    // Tried again by itself: a retry of the caretaker's ends whenever a save works.
    if (!m_retry.isActive()) {
        m_retry.start(m_retryMs);
        m_retryMs = std::min(m_retryMs * 2, kLongestRetryMs);
    }
}

FallbackMoveIn::FallbackMoveIn(ClipStore &store, QStringList paths, std::shared_ptr<FallbackStore::Hold> held)
    : m_store(store), m_paths(std::move(paths)), m_held(std::move(held)), m_storePath(store.container().storeURL()),
      m_kept(std::make_shared<Connections>())
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &FallbackMoveIn::start);
}

FallbackMoveIn::~FallbackMoveIn()
{
    cancel();
    // Its connections close on their own thread, and the thread ends without the main one waiting.
    runOn(*m_worker.pool(), [kept = std::move(m_kept)]() mutable { kept.reset(); });
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
        closeConnections();
        Q_EMIT finished(m_moved);
        return;
    }
    const QString path = m_paths.takeFirst();
    if (!QFileInfo::exists(path))
        return next();
    m_fallbackPath = path;
    inBackground(
        this,
        [path, held = m_held, store = m_storePath, now = m_store.now(), cancel = m_cancelShared] {
            return openFallback(path, held, store, now, *cancel);
        },
        [this](const Opened &result) {
            if (m_cancelled)
                return;
            if (!result.hold) {
                if (result.heldElsewhere)
                    qCInfo(lcPersistence, "The fallback store at %s is another running program's: it stays",
                           qPrintable(m_fallbackPath));
                m_fallbackPath.clear();
                return next();
            }
            m_fallbackHold = result.hold;
            m_lift = result.lift;
            // A slice of clips brings a Page with each at most; the last brings every Page (its brands
            // the main thread takes in).
            m_rowsPerSlice = {};
            m_rowsPerSlice[size_t(Entity::clip)] = sliceClips;
            m_rowsPerSlice[size_t(Entity::page)] = result.pages;
            opened(result.error);
        });
}

void FallbackMoveIn::opened(QString error)
{
    if (!error.isEmpty()) {
        // Kept as it is: it may open once what keeps it from opening is gone.
        qCCritical(lcPersistence, "The fallback store at %s cannot be opened, so it is kept: %s",
                   qPrintable(m_fallbackPath), qPrintable(error));
        m_fallbackPath.clear();
        m_fallbackHold.reset();
    }
    next();
}

void FallbackMoveIn::cancel()
{
    m_cancelled = true;
    {
        // A worker's commit under way ends first; none begins after.
        const std::lock_guard lock(m_cancelShared->commit);
        m_cancelShared->set = true;
    }
    m_running = false;
    m_retry.stop();
    m_fallbackPath.clear();
    // Written no more: the next start, or the next move-in, may take it once the worker's
    // connections to it have closed (a hold's close after theirs leaves their locks alone).
    runOn(*m_worker.pool(),
          [kept = m_kept, holds = std::array{std::exchange(m_fallbackHold, nullptr), std::exchange(m_held, nullptr)}] {
              kept->from.reset();
              kept->into.reset();
          });
    // The slice out may still hold the store's write lock until it has rolled back: saves wait for
    // the worker to be done with it.
    if (std::exchange(m_sliceOut, false))
        inBackground(
            &m_store, [] { return true; }, [store = &m_store](bool) { store->setWrittenElsewhere(false); },
            m_worker.pool());
}

void FallbackMoveIn::closeConnections()
{
    runOn(*m_worker.pool(), [kept = m_kept] {
        kept->from.reset();
        kept->into.reset();
    });
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
    if (m_fallbackPath.isEmpty())
        return openNext();
    SliceJob job{m_fallbackPath, m_storePath, m_store.fileGuard().heldFile()};
    // Another file at the store's path: what went into the one before stays here too, and moves
    // into this one again, found by its dedupID where it is there already.
    if (job.storeFile != m_movedInto) {
        m_movedInto = job.storeFile;
        m_leaving.clear();
        m_leavingAdded = 0;
        m_awaitingSync.clear();
        ++m_round;
    }
    job.leaving = m_leaving;
    for (const std::vector<StoredRow> *rows : {&m_leaving, &m_awaitingSync})
        for (const StoredRow &row : *rows)
            if (row.entity == Entity::clip)
                job.passed.push_back(row.rowID);
    m_leavingSent = {m_leaving.size(), m_leavingAdded};
    QSqlQuery limit(m_store.context().database());
    if (limit.exec(QStringLiteral("PRAGMA max_page_count")) && limit.next())
        job.pageLimit = limit.value(0).toLongLong();
    limit.finish();
    job.now = m_store.now();
    job.lift = m_lift;
    job.inTransaction = m_inTransaction;
    job.rowCount = m_rowsPerSlice;
    // Kept from the main context's new records, which take ids of their own meanwhile.
    for (Entity entity : StoreRows::entities)
        job.firstRow[size_t(entity)] = m_store.context().reserveRows(entity, m_rowsPerSlice[size_t(entity)]);
    // Saves wait their turn meanwhile instead of meeting the worker's lock.
    m_sliceOut = true;
    m_store.setWrittenElsewhere(true);
    inBackground(
        this, [job = std::move(job), kept = m_kept, cancel = m_cancelShared] { return moveSlice(job, *kept, *cancel); },
        [this, path = m_fallbackPath](const SliceMoved &moved) {
            if (std::exchange(m_sliceOut, false))
                m_store.setWrittenElsewhere(false);
            if (!m_cancelled && !moved.cancelled && m_fallbackPath == path)
                sliceMoved(moved);
        },
        m_worker.pool());
}

void FallbackMoveIn::sliceMoved(const SliceMoved &moved)
{
    if (moved.left) {
        // Those synced since the turn began leave with the next.
        m_leaving.erase(m_leaving.begin(), m_leaving.begin() + qsizetype(m_leavingSent.first));
        m_leavingAdded -= m_leavingSent.second;
        m_moved += m_leavingSent.second;
    }
    if (m_sliceSaved && (moved.left || moved.error.isEmpty()))
        m_sliceSaved();
    if (m_cancelled)
        return;
    if (!moved.error.isEmpty())
        return stop(moved.error);
    m_retryMs = kFirstRetryMs;
    // Whatever the store's file is now, the history reads them from it: they were committed there.
    m_store.tookRowsWrittenElsewhere(moved.written);
    if (!moved.brands.empty()) {
        // The fallback store goes once synced, and these with it: not before the store saved them.
        FallbackStore::takeIn(m_store.context(),
                              std::vector<std::shared_ptr<PersistentModel>>(moved.brands.begin(), moved.brands.end()));
        if (!m_store.save() || m_store.context().hasChanges())
            return stop(QStringLiteral("the store did not take its brands yet"));
    }
    // Only what the store has committed, and synced, leaves the fallback store, with a later slice;
    // the next slice goes on meanwhile.
    m_awaitingSync.insert(m_awaitingSync.end(), moved.taken.begin(), moved.taken.end());
    m_store.container().committedElsewhere();
    m_store.container().whenSynced(this, [this, moved, path = m_fallbackPath, round = m_round] {
        if (!m_cancelled && m_fallbackPath == path && m_round == round)
            sliceSynced(moved);
    });
    if (moved.last)
        return;
    if (++m_slices % kSlicesPerCheckpoint != 0)
        return slice();
    inBackground(
        this,
        [paths = QStringList{m_storePath, m_fallbackPath}] {
            for (const QString &path : paths)
                StoreSyncer::checkpoint(path);
            return true;
        },
        [this](bool) { slice(); });
}

void FallbackMoveIn::sliceSynced(const SliceMoved &moved)
{
    // Synced in the order they were committed.
    m_awaitingSync.erase(m_awaitingSync.begin(), m_awaitingSync.begin() + qsizetype(moved.taken.size()));
    // What the store holds of them now goes wherever its file went; they stay here meanwhile.
    if (!storeAtItsPath() || m_store.fileGuard().heldFile() != m_movedInto)
        return moved.last ? stop(QStringLiteral("the store file is not the one at its path")) : void();
    if (moved.last) {
        // Every slice before it is synced too: all the fallback store holds is in the store.
        m_moved += std::exchange(m_leavingAdded, 0) + moved.added;
        m_leaving.clear();
        const QString path = std::exchange(m_fallbackPath, QString());
        if (!FallbackStore::remove(path))
            qCWarning(lcPersistence, "Could not remove the fallback store at %s", qPrintable(path));
        m_fallbackHold.reset();
        // The slices not left yet went with the file.
        if (m_sliceSaved)
            m_sliceSaved();
        return m_cancelled ? void() : next();
    }
    m_leaving.insert(m_leaving.end(), moved.taken.begin(), moved.taken.end());
    m_leavingAdded += moved.added;
}

} // namespace quillmere
