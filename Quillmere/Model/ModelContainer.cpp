#include "Quillmere/Model/ModelContainer.h"

#include "Quillmere/Model/StoreQueries.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Model/StoreSchema.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QStandardPaths>
#include <atomic>

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
    if (ownFolder && !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
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

ModelContainer::~ModelContainer()
{
    m_context.reset();
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
    auto classify = [](const QSqlError &e) {
        switch (sqliteCode(e)) {
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
    };

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), container->m_connectionName);
    if (!db.isValid())
        return fail(OpenFailure::other, QStringLiteral("The SQLite driver is not available"));
    if (path.isEmpty()) {
        db.setDatabaseName(QStringLiteral(":memory:"));
    } else {
        QString why;
        if (!makePrivate(path, &why))
            return fail(OpenFailure::unwritable, why);
        db.setDatabaseName(path);
    }
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kLockWaitMs));
    if (!db.open())
        return fail(classify(db.lastError()), describe(db.lastError()));

    QSqlQuery q(db);
    // A new store only (the size is fixed once a page is written): clip rows of a few hundred
    // bytes waste less of a larger page.
    q.exec(QStringLiteral("PRAGMA page_size = 8192"));
    if (!path.isEmpty() && !q.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
        return fail(classify(q.lastError()), describe(q.lastError()));
    q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    // Deleted clips (one-time codes, passwords) leave zeros behind, not their bytes.
    if (!q.exec(QStringLiteral("PRAGMA secure_delete = ON")))
        return fail(classify(q.lastError()), describe(q.lastError()));
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return fail(classify(q.lastError()), describe(q.lastError()));
    const int version = q.value(0).toInt();
    q.finish();
    if (version > schemaVersion())
        return fail(OpenFailure::newerSchema,
                    QStringLiteral("The store was written by a newer version (schema %1)").arg(version));
    // At the current version too: a column lost since is added back.
    if (version <= schemaVersion()) {
        if (!db.transaction())
            return fail(classify(db.lastError()), describe(db.lastError()));
        QSqlError e;
        if (!StoreSchema::migrate(db, version, &e)
            || !q.exec(QStringLiteral("PRAGMA user_version = %1").arg(schemaVersion())) || !db.commit()) {
            if (!e.isValid())
                e = q.lastError().isValid() ? q.lastError() : db.lastError();
            q.finish();
            db.rollback();
            // A store whose tables do not take the steps is one we cannot read; one that could
            // not be written now (full, read-only) is kept as it is and tried again later.
            const OpenFailure why =
                classify(e) == OpenFailure::other && sqliteCode(e) == 1 ? OpenFailure::corrupt : classify(e);
            return fail(why, describe(e));
        }
        q.finish();
        // After the move, or later when that rewrite did not finish; a store that cannot be
        // rewritten now (full disk) stays as it is.
        if (StoreSchema::rewriteAfterMigrating(version) || StoreSchema::mostlyFree(db)) {
            QElapsedTimer timer;
            timer.start();
            // The rewrite passes through the write-ahead log, which would otherwise stay that large.
            if (q.exec(QStringLiteral("VACUUM")) && q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")))
                qCInfo(lcPersistence, "Rewrote the store in %lld ms", qint64(timer.elapsed()));
            else
                qCWarning(lcPersistence, "Could not rewrite the store: %s", qPrintable(describe(q.lastError())));
            q.finish();
        }
    }

    container->m_context = std::make_unique<ModelContext>(db, std::move(clock));
    QString loadError;
    if (!container->m_context->load(&loadError))
        return fail(OpenFailure::corrupt, loadError);
    return container;
}

std::vector<std::pair<QString, std::optional<QString>>> ModelContainer::sourceAppsStoredAt(const QString &path)
{
    const QString name = QStringLiteral("quillmere-read-%1").arg(++g_connectionCounter);
    SourceApps apps;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            if (q.exec(SourceApps::query({})))
                apps.read(q);
        }
    }
    QSqlDatabase::removeDatabase(name);
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

namespace {

// Moves the store and its companions aside under one time stamp; returns the new path, or empty
// when the store could not be moved (then it is left exactly where it was).
QString moveAside(const QString &path, const QDateTime &now)
{
    const QString stamp = now.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = QStringLiteral("%1.unreadable-%2").arg(path, stamp);
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = QStringLiteral("%1.unreadable-%2-%3").arg(path, stamp).arg(n);
    if (!QFile::rename(path, target))
        return {};
    for (const char *suffix : {"-wal", "-shm"}) {
        const QString companion = path + QLatin1String(suffix);
        if (QFileInfo::exists(companion))
            QFile::rename(companion, target + QLatin1String(suffix));
    }
    return target;
}

// The readable rows of the store moved aside to `aside`, as a new store at `path`; the clips it
// holds, or -1 when none was made.
int salvage(const QString &aside, const QString &path)
{
    const QString partial = path + QStringLiteral(".salvaging");
    QString why;
    const int clips = StoreSalvage::copyReadableRows(aside, partial, &why);
    if (clips >= 0 && QFile::rename(partial, path)) {
        // Unsynced, a power cut could take the new name back; the damaged file stays aside either way.
        if (QString unsynced; !syncFolderOf(path, &unsynced))
            qCWarning(lcPersistence, "The store read back may not last a power cut: %s", qPrintable(unsynced));
        qCInfo(lcPersistence, "Kept the %d clips that could still be read from %s", clips, qPrintable(aside));
        return clips;
    }
    QFile::remove(partial);
    qCWarning(lcPersistence, "Nothing could be read back from %s: %s", qPrintable(aside),
              qPrintable(why.isEmpty() ? QStringLiteral("the new store could not take its place") : why));
    return -1;
}

} // namespace

std::unique_ptr<ModelContainer> ModelContainerFactory::openStoreFile(const QString &path, const Clock &clock,
                                                                     QString *movedAsidePath, QString *error,
                                                                     int *salvagedClips)
{
    ModelContainer::OpenFailure failure = ModelContainer::OpenFailure::none;
    auto container = ModelContainer::open(path, clock, error, &failure);
    if (!container && failure == ModelContainer::OpenFailure::corrupt && QFileInfo::exists(path)) {
        const QString aside = moveAside(path, clock());
        if (aside.isEmpty()) {
            qCCritical(lcPersistence, "The store at %s cannot be read (%s) and could not be moved aside",
                       qPrintable(path), qPrintable(*error));
        } else {
            qCCritical(lcPersistence, "The store at %s could not be read (%s); it was moved to %s", qPrintable(path),
                       qPrintable(*error), qPrintable(aside));
            *movedAsidePath = aside;
            const int salvaged = salvage(aside, path);
            container = ModelContainer::open(path, clock, error, &failure);
            if (!container && salvaged >= 0 && failure == ModelContainer::OpenFailure::corrupt) {
                // What was read back does not make a store after all: the damaged file stays aside.
                qCCritical(lcPersistence, "The rows read from %s do not open as a store (%s); starting afresh",
                           qPrintable(aside), qPrintable(*error));
                QFile::remove(path);
                container = ModelContainer::open(path, clock, error, &failure);
            } else if (container && salvagedClips) {
                *salvagedClips = std::max(0, salvaged);
            }
        }
    }
    return container;
}

PersistenceSetup ModelContainerFactory::makeSetup(const PersistenceOptions &options)
{
    const QString path = options.storePath.isEmpty() ? defaultStorePath() : options.storePath;
    QString error;
    QString aside;
    int salvaged = 0;
    if (auto container = openStoreFile(path, options.clock, &aside, &error, &salvaged)) {
        qCInfo(lcPersistence, "Opened the local store at %s", qPrintable(path));
        // Whether the folder is there now is the sync status's account question, not the mode's.
        const PersistenceMode mode =
            options.syncFolder.isEmpty() ? PersistenceMode::localOnly : PersistenceMode::cloudKit;
        return {std::shared_ptr<ModelContainer>(container.release()), mode, aside, {}, salvaged};
    }
    qCCritical(lcPersistence, "The local store is unavailable (%s); keeping history in memory only", qPrintable(error));
    auto memory = makeInMemoryContainer(options.clock, &error);
    if (!memory)
        qFatal("No usable store, not even in memory: %s", qPrintable(error));
    return {memory, PersistenceMode::inMemory, aside, path};
}

} // namespace quillmere
