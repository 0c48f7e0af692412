#include "Quillmere/Model/FallbackStore.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <sqlite3.h>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace quillmere {
namespace FallbackStore {
namespace {

// The fields a record's row gives as they are; a clip's Page and bytes are put over on their own.
void copyFields(const PersistentModel &from, PersistentModel &to)
{
    static const QStringList apart{QStringLiteral("pinboardID"), QStringLiteral("imageSize"),
                                   QStringLiteral("fileSize"), QStringLiteral("hashKey")};
    for (const StoreField &field : StoreRows::of(from).fields)
        if (!apart.contains(field.column))
            field.read(to, field.bind(from), {});
}

// A change not saved yet is newer than anything saved.
bool newer(const PersistentModel &from, const PersistentModel &own)
{
    return (from.modelContext() && from.modelContext()->hasChanges(from)) || from.modifiedAt() >= own.modifiedAt();
}

template <class R> std::shared_ptr<R> taken(ModelContext &into, const R &from, std::shared_ptr<R> own)
{
    if (!own) {
        own = std::make_shared<R>();
        copyFields(from, *own);
        into.insert(own);
    } else if (newer(from, *own)) {
        copyFields(from, *own);
    }
    return own;
}

} // namespace

namespace {

QString xdgFolder(const char *variable, const char *underHome)
{
    const QString set = qEnvironmentVariable(variable);
    return QDir::isAbsolutePath(set) ? set : QDir::homePath() + QLatin1Char('/') + QLatin1String(underHome);
}

// The nearest folder at or above `path` that is there: what a folder yet to be made will lie on.
QByteArray nearestExisting(const QString &path)
{
    QString at = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    struct stat info {};
    while (::stat(QFile::encodeName(at).constData(), &info) != 0 && at != QLatin1String("/"))
        at = QFileInfo(at).absolutePath();
    return QFile::encodeName(at);
}

dev_t deviceOf(const QString &path)
{
    struct stat info {};
    return ::stat(nearestExisting(path).constData(), &info) == 0 ? info.st_dev : dev_t(-1);
}

Place::Lasting lastingOf(const Folder &folder)
{
    if (folder.kind == Folder::Kind::runtime)
        return Place::Lasting::untilLogout;
    struct statfs info {};
    if (::statfs(nearestExisting(folder.path).constData(), &info) == 0
        && (info.f_type == TMPFS_MAGIC || info.f_type == RAMFS_MAGIC))
        return Place::Lasting::untilRestart;
    return Place::Lasting::kept;
}

// How soon what a folder keeps may go: a folder that lasts first, then the temporary folder (which
// some systems empty at a restart, or of old files), one in memory, and the runtime folder, which
// a logout empties, last of all.
int transience(const Folder &folder)
{
    switch (lastingOf(folder)) {
    case Place::Lasting::kept:
        return folder.kind == Folder::Kind::temporary ? 1 : 0;
    case Place::Lasting::untilRestart:
        return 2;
    case Place::Lasting::untilLogout:
        return 3;
    }
    return 3;
}

// Makes the folder ready for a file; the store's own folder is never made here.
bool prepare(const Folder &folder)
{
    switch (folder.kind) {
    case Folder::Kind::beside:
        return true;
    case Folder::Kind::temporary:
        // Others share the temporary folder: only a folder that is ours alone will do.
        return preparePrivateDirectory(folder.path, true, false);
    case Folder::Kind::state:
    case Folder::Kind::cache:
    case Folder::Kind::runtime:
        return makePrivatePath(folder.path);
    }
    return false;
}

// A folder takes a file when a little can be written and synced there.
bool takesAFile(const Folder &folder)
{
    if (!prepare(folder))
        return false;
    QTemporaryFile probe(QDir(folder.path).filePath(QStringLiteral(".probe-XXXXXX")));
    return probe.open() && probe.write(QByteArray(64 * 1024, '\0')) == 64 * 1024 && probe.flush()
        && ::fsync(int(probe.handle())) == 0;
}

QString fileIn(const Folder &folder)
{
    return QDir(folder.path).filePath(folder.stem + QStringLiteral(".fallback"));
}

} // namespace

std::vector<Folder> folders(const QString &storePath, bool storeFolderLast)
{
    // Away from the store, the name says which store the file belongs to.
    const QByteArray path = QFile::encodeName(QFileInfo(storePath).absoluteFilePath());
    const QString stem = QFileInfo(storePath).fileName() + QLatin1Char('-')
        + QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(8));
    std::vector<Folder> away{
        {Folder::Kind::state, xdgFolder("XDG_STATE_HOME", ".local/state") + QStringLiteral("/Quillmere"), stem},
        {Folder::Kind::cache, xdgFolder("XDG_CACHE_HOME", ".cache") + QStringLiteral("/Quillmere"), stem}};
    if (const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"); QDir::isAbsolutePath(runtime))
        away.push_back({Folder::Kind::runtime, runtime + QStringLiteral("/Quillmere"), stem});
    // Empty when $TMPDIR names no folder.
    if (const QString temporary = QDir::tempPath(); QDir::isAbsolutePath(temporary))
        away.push_back({Folder::Kind::temporary, temporary + QStringLiteral("/quillmere-%1").arg(::geteuid()), stem});
    // Those that keep what they hold longest first, and among those alike, those on another file
    // system than the store's, since a full disk is full for all of it.
    const dev_t storeDevice = deviceOf(QFileInfo(storePath).absolutePath());
    std::vector<std::pair<int, Folder>> ranked;
    for (Folder &folder : away)
        ranked.emplace_back(transience(folder) * 2 + (deviceOf(folder.path) == storeDevice ? 1 : 0), std::move(folder));
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<Folder> out;
    const Folder beside{Folder::Kind::beside, QFileInfo(storePath).absolutePath(), QFileInfo(storePath).fileName()};
    if (!storeFolderLast)
        out.push_back(beside);
    for (auto &[rank, folder] : ranked)
        out.push_back(std::move(folder));
    if (storeFolderLast)
        out.push_back(beside);
    return out;
}

std::optional<std::pair<QString, Place>> place(const QString &storePath, bool storeFolderLast)
{
    const std::vector<Folder> order = folders(storePath, storeFolderLast);
    // One left by an earlier session goes on where it is.
    for (const Folder &folder : order)
        if (QFileInfo(fileIn(folder)).isFile())
            return std::make_pair(fileIn(folder), Place{folder.path, lastingOf(folder)});
    for (const Folder &folder : order)
        if (takesAFile(folder))
            return std::make_pair(fileIn(folder), Place{folder.path, lastingOf(folder)});
    return std::nullopt;
}

std::unique_ptr<ModelContainer> open(const QString &storePath, const Clock &clock, QString *error, bool storeFolderLast)
{
    const auto where = place(storePath, storeFolderLast);
    if (!where) {
        *error = QStringLiteral("no folder takes a fallback store");
        return nullptr;
    }
    auto container = ModelContainer::open(where->first, clock, error);
    if (container)
        qCWarning(lcPersistence, "The history goes on in the fallback store at %s", qPrintable(where->first));
    return container;
}

QStringList all(const QString &storePath)
{
    // A second one, when the first was taken, takes a number: "NAME.2.fallback".
    QStringList found;
    for (const Folder &folder : folders(storePath)) {
        const QDir dir(folder.path);
        for (const QString &file :
             dir.entryList({folder.stem + QStringLiteral(".fallback"), folder.stem + QStringLiteral(".*.fallback")},
                           QDir::Files, QDir::Name))
            if (!found.contains(dir.filePath(file)))
                found << dir.filePath(file);
    }
    return found;
}

QString takeFreeName(const QString &fallback, const std::function<bool(const QString &)> &take)
{
    const QString stem = fallback.chopped(int(qstrlen(".fallback")));
    QString name = fallback;
    for (int n = 2; n < 100; ++n) {
        if (take(name))
            return name;
        if (errno != EEXIST)
            return {};
        name = stem + QStringLiteral(".%1.fallback").arg(n);
    }
    return {};
}

QString newFile(const QString &fallback)
{
    return takeFreeName(fallback, [](const QString &name) {
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner)) {
            const int why = errno;
            errno = QFileInfo::exists(name) ? EEXIST : why;
            return false;
        }
        return true;
    });
}

bool remove(const QString &path)
{
    // The log first: left without its database, it could be taken for the log of a new one.
    QFile::remove(path + QStringLiteral("-wal"));
    const bool removed = QFile::remove(path) || !QFileInfo::exists(path);
    QFile::remove(path + QStringLiteral("-shm"));
    return removed;
}

int takeIn(ModelContext &into, const std::vector<std::shared_ptr<PersistentModel>> &records, qint64 lift)
{
    const auto pageFor = [&into](const PageRef &page) -> PageRef {
        return page ? taken(into, *page, into.pinboardWithDedupID(page->dedupID())) : nullptr;
    };
    int added = 0;
    for (const auto &record : records) {
        switch (record->entity()) {
        case Entity::page:
            pageFor(std::static_pointer_cast<Pinboard>(record));
            break;
        case Entity::clip: {
            const auto &from = static_cast<const ClipItem &>(*record);
            ClipRef own = into.clipWithDedupID(from.dedupID());
            const qint64 order = ClipItem::liftedCaptureOrder(from.captureOrder(), lift);
            if (own && !newer(from, *own))
                break;
            if (!own) {
                own = std::make_shared<ClipItem>();
                copyFields(from, *own);
                own->setImageData(from.imageData());
                own->setFileData(from.fileData());
                own->setCaptureOrder(order);
                ++added;
            } else {
                const qint64 stored = own->captureOrder();
                copyFields(from, *own);
                own->setCaptureOrder(std::max(stored, order));
            }
            own->setPinboard(pageFor(from.pinboard()));
            if (!own->modelContext())
                into.insert(own);
            break;
        }
        case Entity::brand: {
            const auto &from = static_cast<const SourceAppBrand &>(*record);
            if (!into.sourceAppBrand(from.bundleID()))
                taken<SourceAppBrand>(into, from, nullptr);
            break;
        }
        case Entity::settings:
            break;
        }
    }
    return added;
}

} // namespace FallbackStore

namespace {

// Moves what the log of the store at `path` holds into the file, from a connection of its own off
// the main thread: a checkpoint places pages already committed and changes no row. Left to the
// main connection, it would come due in the middle of a save, a copy of the log and two syncs.
void checkpointOffMainThread(const QString &path)
{
    sqlite3 *db = nullptr;
    // Never makes a file that is not there; its close leaves the log and its index alone.
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        StoreFileGuard::keepCompanionsAtClose(db);
        if (sqlite3_exec(db, "PRAGMA schema_version", nullptr, nullptr, nullptr) == SQLITE_OK)
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    sqlite3_close_v2(db);
}

} // namespace

FallbackMoveIn::FallbackMoveIn(ClipStore &store, QStringList paths, QObject *parent)
    : QObject(parent), m_store(store), m_paths(std::move(paths))
{
}

FallbackMoveIn::~FallbackMoveIn() = default;

void FallbackMoveIn::start()
{
    if (std::exchange(m_running, true))
        return;
    QTimer::singleShot(0, this, &FallbackMoveIn::slice);
}

void FallbackMoveIn::stop(const QString &error)
{
    m_running = false;
    qCWarning(lcPersistence, "The fallback store waits to move into the store: %s", qPrintable(error));
    Q_EMIT stopped(error);
}

bool FallbackMoveIn::openNext(QString *error)
{
    m_fallback = ModelContainer::open(m_paths.front(), m_store.clock(), error);
    if (!m_fallback)
        return false;
    // Fixed by the first move, so that the clips keep their order among themselves in every slice
    // and every later move.
    QSqlQuery q(m_fallback->mainContext().database());
    if (!q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS fallback_lift (lift INTEGER NOT NULL)"))
        || !q.exec(QStringLiteral("SELECT lift FROM fallback_lift"))) {
        *error = describe(q.lastError());
        return false;
    }
    if (q.next()) {
        m_lift = q.value(0).toLongLong();
    } else if (q.exec(QStringLiteral("SELECT MIN(captureOrder) FROM clips")) && q.next()) {
        m_lift = q.value(0).isNull()
            ? 0
            : ClipItem::captureOrderLift(q.value(0).toLongLong(), m_store.context().lastCaptureOrder());
        q.finish();
        if (!q.prepare(QStringLiteral("INSERT INTO fallback_lift (lift) VALUES (?)"))
            || !execWith(q, {m_lift}, nullptr)) {
            *error = describe(q.lastError());
            return false;
        }
    }
    q.finish();
    ModelContext &from = m_fallback->mainContext();
    std::vector<std::shared_ptr<PersistentModel>> records;
    for (const PageRef &page : from.pinboards())
        records.push_back(page);
    for (const BrandRef &brand : from.sourceAppBrands())
        records.push_back(brand);
    FallbackStore::takeIn(m_store.context(), records);
    return true;
}

void FallbackMoveIn::slice()
{
    if (!m_running)
        return;
    if (!m_fallback) {
        if (m_paths.isEmpty()) {
            m_running = false;
            qCInfo(lcPersistence, "The fallback store moved into the store: %d copies", m_moved);
            Q_EMIT finished(m_moved);
            return;
        }
        QString error;
        if (QFileInfo::exists(m_paths.front()) && !openNext(&error)) {
            // Kept as it is: it may open once what keeps it from opening is gone.
            qCCritical(lcPersistence, "The fallback store at %s cannot be opened, so it is kept: %s",
                       qPrintable(m_paths.front()), qPrintable(error));
            m_fallback.reset();
            m_paths.removeFirst();
        } else if (!m_fallback) {
            m_paths.removeFirst();
        }
        QTimer::singleShot(0, this, &FallbackMoveIn::slice);
        return;
    }
    ModelContext &from = m_fallback->mainContext();
    const std::vector<ClipRef> clips =
        from.fetchClips({QString(), {}, {}, ClipQuery::Order::newestFirst, qsizetype(sliceClips)});
    if (clips.empty()) {
        // Its Pages and brands too: only what the store has committed leaves with the file.
        if (!m_store.save() || m_store.context().hasChanges()) {
            stop(QStringLiteral("the store did not take the Pages"));
            return;
        }
        m_fallback.reset();
        const QString path = m_paths.takeFirst();
        if (!FallbackStore::remove(path))
            qCWarning(lcPersistence, "Could not remove the fallback store at %s", qPrintable(path));
        QTimer::singleShot(0, this, &FallbackMoveIn::slice);
        return;
    }
    std::vector<std::shared_ptr<PersistentModel>> records;
    qint64 bytes = 0;
    for (const ClipRef &clip : clips) {
        bytes += clip->imageDataSize() + clip->fileDataSize();
        if (!records.empty() && bytes > sliceBytes)
            break;
        records.push_back(clip);
    }
    const int added = FallbackStore::takeIn(m_store.context(), records, m_lift);
    // Only what the store has committed leaves the fallback store.
    if (!m_store.save() || m_store.context().hasChanges()) {
        stop(QStringLiteral("the store did not take the copies"));
        return;
    }
    for (const auto &record : records)
        from.remove(record);
    QString error;
    if (!from.save(&error)) {
        // The store holds them: the next move finds them there by their dedupID.
        stop(error);
        return;
    }
    m_moved += added;
    if (m_sliceSaved)
        m_sliceSaved();
    if (++m_slices % slicesPerCheckpoint == 0) {
        inBackground(
            this,
            [paths = QStringList{m_store.container().storeURL(), m_fallback->storeURL()}] {
                for (const QString &path : paths)
                    checkpointOffMainThread(path);
                return true;
            },
            [this](bool) { slice(); });
        return;
    }
    QTimer::singleShot(0, this, &FallbackMoveIn::slice);
}

} // namespace quillmere
