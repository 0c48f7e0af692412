#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/ReadConnection.h"

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreQueries.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Model/StoreSchema.h"
#include "Quillmere/Model/StoreSyncer.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"
#include "Quillmere/Platform/Core/UnixSignals.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QStandardPaths>
#include <QTimer>
#include <atomic>
#include <sqlite3.h>
#include <sys/stat.h>

namespace quillmere {
namespace {

std::atomic<int> g_connectionCounter{0};

// How long a statement on the store's own connection waits for a lock another process holds. The
// connection serves the main thread: a save that meets a lock fails at once, its changes stay in
// memory and are tried again from the event loop.
constexpr int kLockWaitMs = 5;

constexpr QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner;

// The history holds whatever the user copied: its folder and files are for the user alone. SQLite
// gives a new "-wal" and "-shm" the mode of the store file, so a private store keeps them private.
bool makePrivate(const QString &path, QString *error)
{
    const QString folder = QFileInfo(path).absolutePath();
    // A folder made here, or the program's own one, is tightened; a store kept elsewhere (a test's,
    // say) leaves the folder that holds it alone.
    const bool ownFolder = !QFileInfo::exists(folder) || QFileInfo(folder).fileName() == QLatin1String("Quillmere");
    if (!makePrivatePath(folder)) {
        if (error)
            *error = QStringLiteral("Cannot create %1").arg(folder);
        return false;
    }
    // Only others' access is taken away: a folder its owner made read-only stays so, and the store
    // in it waits for the owner rather than being written behind their back.
    struct stat info {};
    const QByteArray native = QFile::encodeName(folder);
    if (ownFolder && ::stat(native.constData(), &info) == 0 && (info.st_mode & 077) != 0
        && ::chmod(native.constData(), info.st_mode & 0700) != 0)
        qCWarning(lcPersistence, "Could not make %s private", qPrintable(folder));
    if (!QFileInfo::exists(path)) {
        // An empty file is an empty database to SQLite; made here, it never has a looser mode.
        QFile store(path);
        if (!store.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly) && !QFileInfo::exists(path)) {
            if (error)
                *error = QStringLiteral("Cannot create %1: %2").arg(path, store.errorString());
            return false;
        }
    }
    for (const QString &file : {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")})
        if (QFileInfo::exists(file) && !QFile::setPermissions(file, kOwnerOnly))
            qCWarning(lcPersistence, "Could not make %s private", qPrintable(file));
    return true;
}

} // namespace

void ModelContainer::committedElsewhere()
{
    if (m_syncer)
        m_syncer->committed();
}

void ModelContainer::whenSynced(QObject *receiver, std::function<void()> then)
{
    if (m_syncer)
        m_syncer->whenSynced(receiver, std::move(then));
    else if (receiver)
        QMetaObject::invokeMethod(receiver, std::move(then), Qt::QueuedConnection);
}

quint64 ModelContainer::syncs() const
{
    return m_syncer ? m_syncer->syncs() : 0;
}

ModelContainer::~ModelContainer()
{
    m_captureOrderFill.reset();
    m_context.reset();
    m_syncer.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

int ModelContainer::schemaVersion()
{
    return StoreSchema::currentVersion();
}

QLatin1String ModelContainer::syncPragma()
{
    // Once the end's limit runs, a commit waits for no sync: the kernel keeps what it wrote after
    // the process is gone, where a sync cut off by the limit would take the commit with it.
    return UnixSignals::timeToEnd() ? QLatin1String("PRAGMA synchronous=OFF")
                                    : QLatin1String("PRAGMA synchronous=NORMAL");
}

bool ModelContainer::setUpConnection(QSqlDatabase &db, bool onDisk, QSqlError *error)
{
    QSqlQuery q(db);
    QSqlError first;
    // Each one whatever the others did: a connection that goes on must still zero what it deletes.
    const auto set = [&](QLatin1String pragma) {
        if (!q.exec(pragma) && !first.isValid())
            first = q.lastError();
    };
    // Deleted clips (one-time codes, passwords) leave zeros behind, not their bytes.
    set(QLatin1String("PRAGMA secure_delete = ON"));
    if (onDisk)
        set(QLatin1String("PRAGMA journal_mode=WAL"));
    set(syncPragma());
    if (error)
        *error = first;
    return !first.isValid();
}

ModelContainer::OpenFailure ModelContainer::failureOf(const QSqlError &error)
{
    switch (sqliteCode(error)) {
    case 11: // SQLITE_CORRUPT
    case 26: // SQLITE_NOTADB
        return OpenFailure::corrupt;
    case 3:  // SQLITE_PERM
    case 8:  // SQLITE_READONLY
    case 10: // SQLITE_IOERR
    case 13: // SQLITE_FULL
    case 14: // SQLITE_CANTOPEN
        return OpenFailure::unwritable;
    default:
        return OpenFailure::other;
    }
}

ModelContainer::FileKind ModelContainer::kindOf(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return FileKind::missing;
    // Opened to read, a FIFO would hold the thread until something writes to it.
    if (!S_ISREG(info.st_mode))
        return FileKind::unknown;
    sqlite3 *db = nullptr;
    FileKind kind = FileKind::unknown;
    // Read-only: a reader never rolls a journal back nor folds a log in.
    int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_stmt *q = nullptr;
        // Every store of ours, from the first, has its clips with their content hash; an empty
        // database becomes a store. Any other file with tables belongs to another program, whatever
        // its tables are called or its version says.
        rc = sqlite3_prepare_v2(db,
                                "SELECT EXISTS(SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'clips' "
                                "COLLATE NOCASE) AND EXISTS(SELECT 1 FROM pragma_table_info('clips') WHERE name = "
                                "'contentHash' COLLATE NOCASE), EXISTS(SELECT 1 FROM sqlite_master WHERE type = "
                                "'table')",
                                -1, &q, nullptr);
        if (rc == SQLITE_OK)
            rc = sqlite3_step(q);
        if (rc == SQLITE_ROW)
            kind = sqlite3_column_int(q, 0) ? FileKind::ours
                : sqlite3_column_int(q, 1)  ? FileKind::foreign
                                            : FileKind::empty;
        sqlite3_finalize(q);
    }
    sqlite3_close(db);
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
        return FileKind::locked;
    return kind;
}

std::unique_ptr<ModelContainer> ModelContainer::open(const QString &path, Clock clock, QString *error,
                                                     OpenFailure *failure)
{
    std::unique_ptr<ModelContainer> container(new ModelContainer);
    container->m_path = path;
    container->m_connectionName = QStringLiteral("quillmere-%1").arg(++g_connectionCounter);
    auto fail = [&](OpenFailure why, const QString &message) -> std::unique_ptr<ModelContainer> {
        if (error)
            *error = message;
        if (failure)
            *failure = why;
        return nullptr;
    };
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), container->m_connectionName);
    if (!db.isValid())
        return fail(OpenFailure::other, QStringLiteral("The SQLite driver is not available"));
    if (path.isEmpty()) {
        db.setDatabaseName(QStringLiteral(":memory:"));
    } else {
        // Before anything is written to it, its mode included.
        const FileKind kind = kindOf(path);
        if (kind == FileKind::foreign)
            return fail(OpenFailure::foreign, QStringLiteral("%1 is another program's database").arg(path));
        // Whose it is cannot be told now, so it is neither written nor made private: tried again later.
        if (kind == FileKind::locked)
            return fail(OpenFailure::other, QStringLiteral("another process holds it locked"));
        QString why;
        if (!makePrivate(path, &why))
            return fail(OpenFailure::unwritable, why);
        db.setDatabaseName(path);
    }
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kLockWaitMs));
    if (!db.open())
        return fail(failureOf(db.lastError()), describe(db.lastError()));
    container->m_openedFile = path.isEmpty() ? std::nullopt : FileIdentity::of(path);

    QSqlQuery q(db);
    // A new store only.
    q.exec(QStringLiteral("PRAGMA page_size = %1").arg(StoreSchema::pageBytes));
    if (QSqlError e; !setUpConnection(db, !path.isEmpty(), &e))
        return fail(failureOf(e), describe(e));
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return fail(failureOf(q.lastError()), describe(q.lastError()));
    const int version = q.value(0).toInt();
    q.finish();
    if (version > schemaVersion())
        return fail(OpenFailure::newerSchema,
                    QStringLiteral("The store was written by a newer version (schema %1)").arg(version));
    // At the current version too: a column lost since is added back.
    // BEGIN and COMMIT as queries of their own: the driver's calls drop SQLite's error code, and a
    // full disk in WAL mode shows first at COMMIT.
    const auto migrate = [&](StoreSchema::Rows rows, QSqlError *e) {
        if (q.exec(QStringLiteral("BEGIN")) && StoreSchema::migrate(db, version, rows, e)
            && q.exec(QStringLiteral("PRAGMA user_version = %1").arg(schemaVersion()))
            && q.exec(QStringLiteral("COMMIT"))) {
            q.finish();
            return true;
        }
        if (!e->isValid())
            *e = q.lastError();
        q.exec(QStringLiteral("ROLLBACK"));
        q.finish();
        return false;
    };
    bool rowsLater = false;
    if (QSqlError e; !migrate(StoreSchema::Rows::now, &e)) {
        // A store of this version on a disk without room for its rows opens as it is, and they
        // follow after the start; the log gives back what the try took.
        if (sqliteCode(e) == 13 && version == schemaVersion()) {
            q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
            q.finish();
            QSqlError again;
            rowsLater = migrate(StoreSchema::Rows::later, &again);
        }
        // Only a damaged or foreign file is set aside; one that could not be written now (full,
        // read-only) or whose step failed otherwise is kept as it is and tried again later.
        const OpenFailure why = failureOf(e);
        // Every clip of an older store stays in it as it was, to be brought up to date by a later
        // try with room; the user hears how many wait there.
        if (!rowsLater && sqliteCode(e) == 13 && version < schemaVersion()) {
            const bool counted = q.exec(QStringLiteral("SELECT count(*) FROM clips")) && q.next();
            const qint64 clips = counted ? q.value(0).toLongLong() : -1;
            q.finish();
            return fail(OpenFailure::noRoomToUpdate,
                        QStringLiteral("its disk has no room to bring it up to date for this version; %1 kept in it "
                                       "as %2, and %3 back once there is room")
                            .arg(clips < 0        ? QStringLiteral("its clips are")
                                     : clips == 1 ? QStringLiteral("its one clip is")
                                                  : QStringLiteral("its %1 clips are").arg(clips),
                                 clips == 1 ? QStringLiteral("it was") : QStringLiteral("they were"),
                                 clips == 1 ? QStringLiteral("comes") : QStringLiteral("come")));
        }
        if (!rowsLater)
            return fail(why,
                        why == OpenFailure::other
                            ? QStringLiteral("its tables could not be brought up to date, so it was left as "
                                             "it is: %1")
                                  .arg(describe(e))
                            : describe(e));
        qCWarning(lcPersistence,
                  "No room to give the clips of the store their capture order; it follows after the start");
    }
    // After the move, or later when that rewrite did not finish; a store that cannot be rewritten
    // now (full disk) stays as it is.
    if (!rowsLater && (StoreSchema::rewriteAfterMigrating(version) || StoreSchema::mostlyFree(db))) {
        QElapsedTimer timer;
        timer.start();
        // The rewrite passes through the write-ahead log, which would otherwise stay that large.
        if (q.exec(QStringLiteral("VACUUM")) && q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")))
            qCInfo(lcPersistence, "Rewrote the store in %lld ms", qint64(timer.elapsed()));
        else
            qCWarning(lcPersistence, "Could not rewrite the store: %s", qPrintable(describe(q.lastError())));
        q.finish();
    }

    container->m_context = std::make_unique<ModelContext>(db, std::move(clock));
    if (!path.isEmpty()) {
        container->m_syncer = std::make_unique<StoreSyncer>(path);
        container->m_context->setCommitHandler([syncer = container->m_syncer.get()] { syncer->committed(); });
    }
    QString loadError;
    if (!container->m_context->load(&loadError))
        return fail(container->m_context->damageFound() ? OpenFailure::corrupt : OpenFailure::other, loadError);
    if (rowsLater)
        container->scheduleCaptureOrderFill(std::chrono::milliseconds(0));
    return container;
}

void ModelContainer::scheduleCaptureOrderFill(std::chrono::milliseconds delay)
{
    if (!m_captureOrderFill) {
        m_captureOrderFill = std::make_unique<QTimer>();
        m_captureOrderFill->setSingleShot(true);
        QObject::connect(m_captureOrderFill.get(), &QTimer::timeout, m_captureOrderFill.get(),
                         [this] { runCaptureOrderFill(); });
    }
    m_captureOrderFill->start(delay);
}

void ModelContainer::runCaptureOrderFill()
{
    // A damaged file takes no more writes; what is read back from it is brought up to date when
    // that store opens.
    if (m_context->damageFound())
        return;
    QSqlDatabase db = m_context->database();
    // Closed while its file is set aside or replaced, or saves are held: the fill waits with them.
    if (!db.isOpen() || (m_captureOrderFillHeld && m_captureOrderFillHeld())) {
        scheduleCaptureOrderFill(kCaptureOrderFillRetry);
        return;
    }
    bool done = false;
    QSqlError e;
    if (!StoreSchema::captureOrderFillSlice(db, kCaptureOrderFillSlice, &done, &e)) {
        m_context->noteError(e);
        const int code = sqliteCode(e);
        // SQLITE_FULL, SQLITE_BUSY, SQLITE_LOCKED: there may be room, or the store free, later.
        if (code != 13 && code != 5 && code != 6) {
            qCWarning(lcPersistence, "Stopped giving clips of the store their capture order: %s",
                      qPrintable(describe(e)));
            return;
        }
        if (!std::exchange(m_captureOrderFillWaits, true))
            qCWarning(lcPersistence, "Could not give clips of the store their capture order yet: %s",
                      qPrintable(describe(e)));
        // The log gives back what no reader still needs; a truncating checkpoint would wait for them.
        QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
        scheduleCaptureOrderFill(kCaptureOrderFillRetry);
        return;
    }
    m_captureOrderFillWaits = false;
    // The next slice reuses the log's room rather than growing it on a disk that has little.
    QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
    if (done)
        qCInfo(lcPersistence, "Gave every clip of the store its capture order");
    else
        scheduleCaptureOrderFill(kCaptureOrderFillPause);
}

std::vector<std::pair<QString, std::optional<QString>>> ModelContainer::sourceAppsStoredAt(const QString &path)
{
    SourceApps apps;
    ReadConnection connection(path);
    if (connection.isOpen()) {
        QSqlQuery q(connection.db());
        q.setForwardOnly(true);
        if (q.exec(SourceApps::query({})))
            apps.read(q);
        if (q.lastError().isValid())
            connection.noteError(q.lastError());
    }
    return apps.newestFirst();
}

QString persistenceModeName(PersistenceMode mode)
{
    switch (mode) {
    case PersistenceMode::cloudKit:
        return QStringLiteral("cloudKit");
    case PersistenceMode::localOnly:
        return QStringLiteral("localOnly");
    case PersistenceMode::inMemory:
        return QStringLiteral("inMemory");
    }
    return {};
}

QString ModelContainerFactory::defaultStorePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Quillmere/default.store");
}

std::shared_ptr<ModelContainer> ModelContainerFactory::makeInMemoryContainer(const Clock &clock, QString *error)
{
    return std::shared_ptr<ModelContainer>(ModelContainer::open(QString(), clock, error).release());
}

std::unique_ptr<ModelContainer> ModelContainerFactory::openSalvaged(const QString &path, const Clock &clock,
                                                                    const StoreSalvage::Outcome &salvaged,
                                                                    StoreOpening *opening)
{
    if (path.isEmpty() || salvaged.unfinished) {
        // Nothing stands where the history was: a later try finishes the salvage first.
        opening->failure = ModelContainer::OpenFailure::other;
        opening->error = path.isEmpty() ? QStringLiteral("no store file is named")
            : salvaged.aside.isEmpty()
            ? QStringLiteral("it is damaged and could not be set aside: %1").arg(salvaged.error)
            : QStringLiteral("it is damaged, and what can still be read of it (set aside as %1) could not be "
                             "read into a new history yet: %2")
                  .arg(salvaged.aside, salvaged.error);
        return nullptr;
    }
    opening->movedAsidePath = salvaged.aside;
    opening->salvageResumed = salvaged.resumed;
    opening->salvageLoss = salvaged.loss;
    auto container = ModelContainer::open(path, clock, &opening->error, &opening->failure);
    // A salvage that could not make the clips table again placed a store that does not look like
    // ours, yet is no other program's: it goes aside too, kept rather than removed (a file put at
    // the path after a start cut short could not be told from it), and the history starts afresh.
    if (!container && salvaged.placed && opening->failure == ModelContainer::OpenFailure::foreign) {
        QString why;
        const QString kept = StoreSalvage::setAside(path, clock(), &why);
        if (kept.isEmpty()) {
            opening->failure = ModelContainer::OpenFailure::other;
            opening->error = QStringLiteral("what could be read of it could not be set aside: %1").arg(why);
            return nullptr;
        }
        qCCritical(lcPersistence, "The rows read from %s hold no clips table; they were kept as %s",
                   qPrintable(salvaged.aside), qPrintable(kept));
        container = ModelContainer::open(path, clock, &opening->error, &opening->failure);
    } else if (!container && salvaged.placed && opening->failure == ModelContainer::OpenFailure::corrupt) {
        // What was read back does not make a store after all: the damaged file stays aside.
        qCCritical(lcPersistence, "The rows read from %s do not open as a store (%s); starting afresh",
                   qPrintable(salvaged.aside), qPrintable(opening->error));
        for (const char *suffix : {"", "-wal", "-shm"})
            QFile::remove(path + QLatin1String(suffix));
        container = ModelContainer::open(path, clock, &opening->error, &opening->failure);
    } else if (container && salvaged.placed) {
        opening->salvagedClips = int(container->mainContext().clipCount());
    }
    return container;
}

namespace {

// Another program's file at the store's path goes aside as it is; the history starts at the path.
std::unique_ptr<ModelContainer> openInPlaceOfForeign(const QString &path, const Clock &clock, StoreOpening *opening)
{
    QString why;
    const QString aside = StoreSalvage::setAside(path, clock(), &why);
    if (aside.isEmpty()) {
        opening->failure = ModelContainer::OpenFailure::other;
        opening->error = QStringLiteral("it is another program's database, which could not be set aside: %1").arg(why);
        return nullptr;
    }
    qCCritical(lcPersistence, "The file at %s is another program's database; it was set aside as it is as %s",
               qPrintable(path), qPrintable(aside));
    opening->movedAsidePath = aside;
    opening->movedAsideForeign = true;
    opening->failure = ModelContainer::OpenFailure::none;
    opening->error.clear();
    return ModelContainer::open(path, clock, &opening->error, &opening->failure);
}

} // namespace

std::unique_ptr<ModelContainer> ModelContainerFactory::openStoreFile(const QString &path, const Clock &clock,
                                                                     StoreOpening *opening)
{
    if (path.isEmpty()) {
        opening->failure = ModelContainer::OpenFailure::other;
        opening->error = QStringLiteral("no store file is named");
        return nullptr;
    }
    if (StoreSalvage::hasUnfinished(path)) {
        opening->needsSalvage = true;
        opening->failure = ModelContainer::OpenFailure::corrupt;
        opening->error = QStringLiteral("a salvage of it was left unfinished");
        return nullptr;
    }
    auto container = ModelContainer::open(path, clock, &opening->error, &opening->failure);
    if (opening->failure == ModelContainer::OpenFailure::foreign)
        return openInPlaceOfForeign(path, clock, opening);
    if (container || opening->failure != ModelContainer::OpenFailure::corrupt || !QFileInfo::exists(path))
        return container;
    qCCritical(lcPersistence, "The store at %s could not be read (%s); it is set aside and read back meanwhile",
               qPrintable(path), qPrintable(opening->error));
    opening->needsSalvage = true;
    return nullptr;
}

std::optional<StoreSalvage::Outcome> ModelContainerFactory::salvageStoreFile(const QString &path, const QDateTime &now,
                                                                             const StoreSalvage::Limits &limits)
{
    if (path.isEmpty())
        return std::nullopt;
    if (StoreSalvage::hasUnfinished(path))
        return StoreSalvage::resumeUnfinished(path, {}, limits);
    if (!QFileInfo::exists(path))
        return std::nullopt;
    return StoreSalvage::salvage(path, now, {}, limits);
}

PersistenceSetup ModelContainerFactory::makeSetup(const PersistenceOptions &options)
{
    const QString path = options.storePath.isEmpty() ? defaultStorePath() : options.storePath;
    StoreOpening opening;
    // Never opened, nor salvaged, without the lock that keeps a second program from writing beside it.
    std::unique_ptr<ModelContainer> opened;
    if (QString why; options.lockStore && !options.lockStore(&why)) {
        opening.failure = ModelContainer::OpenFailure::other;
        opening.error = QStringLiteral("it cannot be locked against a second start: %1").arg(why);
    } else {
        opened = openStoreFile(path, options.clock, &opening);
    }
    if (auto container = std::move(opened)) {
        qCInfo(lcPersistence, "Opened the local store at %s", qPrintable(path));
        // Whether the folder is there now is the sync status's account question, not the mode's.
        const PersistenceMode mode =
            options.syncFolder.isEmpty() ? PersistenceMode::localOnly : PersistenceMode::cloudKit;
        PersistenceSetup setup{std::shared_ptr<ModelContainer>(container.release()),
                               mode,
                               opening.movedAsidePath,
                               {},
                               opening.salvagedClips};
        setup.salvageResumed = opening.salvageResumed;
        setup.salvageLoss = opening.salvageLoss;
        setup.movedAsideForeign = opening.movedAsideForeign;
        setup.lockStore = options.lockStore;
        return setup;
    }
    if (!opening.needsSalvage)
        qCCritical(lcPersistence, "The local store is unavailable (%s); the history goes on in a fallback store",
                   qPrintable(opening.error));
    // The mode stays what the start found: only where the copies are kept changes.
    QString error = QStringLiteral("no folder takes a fallback store");
    std::shared_ptr<ModelContainer> kept;
    const bool storeFolderLast = opening.failure == ModelContainer::OpenFailure::unwritable
        || opening.failure == ModelContainer::OpenFailure::noRoomToUpdate;
    // One an earlier session left goes on, unless another running program writes it; one that will
    // not open waits for the store, and the history goes on in a file of its own.
    std::optional<FallbackStore::Held> held = FallbackStore::takeOverLeft(path, storeFolderLast);
    if (held)
        kept = ModelContainer::open(held->file->path(), options.clock, &error);
    if (!kept && (held = FallbackStore::makeHeldFileIn(path, storeFolderLast))
        && !(kept = ModelContainer::open(held->file->path(), options.clock, &error)))
        FallbackStore::remove(held->file->path());
    if (kept) {
        kept->keepHold(held->file);
        qCWarning(lcPersistence, "The history goes on in the fallback store at %s", qPrintable(kept->storeURL()));
    } else {
        qCCritical(lcPersistence, "No fallback store either (%s); keeping history in memory only", qPrintable(error));
        kept = makeInMemoryContainer(options.clock, &error);
    }
    if (!kept)
        qFatal("No usable store, not even in memory: %s", qPrintable(error));
    PersistenceSetup setup{kept, PersistenceMode::inMemory, opening.movedAsidePath, path};
    setup.lockStore = options.lockStore;
    setup.salvagePending = opening.needsSalvage;
    setup.movedAsideForeign = opening.movedAsideForeign;
    // A disk that takes no writes is what the memory-only notice tells already; the salvage tells
    // of its own.
    if (opening.failure != ModelContainer::OpenFailure::unwritable && !opening.needsSalvage)
        setup.unavailableReason = opening.error;
    return setup;
}

} // namespace quillmere
