#include "Quillmere/Model/FallbackStore.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/OwnConnection.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
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
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <map>
#include <sqlite3.h>
#include <sys/file.h>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace quillmere {
namespace FallbackStore {
namespace {

QString xdgFolder(const char *variable, const char *underHome)
{
    const QString set = qEnvironmentVariable(variable);
    return QDir::isAbsolutePath(set) ? set : QDir::homePath() + QLatin1Char('/') + QLatin1String(underHome);
}

// How long what a folder keeps lasts, and the device of its file system, as the nearest folder at
// or above it that is there tells (it may be yet to be made).
std::pair<Place::Lasting, dev_t> fileSystemOf(const Folder &folder)
{
    QString at = QDir::cleanPath(QFileInfo(folder.path).absoluteFilePath());
    struct stat info {};
    // Up to the root, or to a path with nothing above it (an empty one) where the walk would stand still.
    for (QString up; ::stat(QFile::encodeName(at).constData(), &info) != 0 && at != QLatin1String("/"); at = up)
        if ((up = QFileInfo(at).absolutePath()) == at || up.isEmpty())
            break;
    struct statfs fs {};
    const bool inMemory =
        ::statfs(QFile::encodeName(at).constData(), &fs) == 0 && (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC);
    if (folder.kind == Folder::Kind::runtime)
        return {Place::Lasting::untilLogout, info.st_dev};
    return {inMemory ? Place::Lasting::untilRestart : Place::Lasting::kept, info.st_dev};
}

QString fallbackIn(const Folder &folder)
{
    return QDir(folder.path).filePath(folder.stem + QStringLiteral(".fallback"));
}

// The fallback stores in `dir`, the folder `folder` names. A second one, when the first was taken,
// takes a number: "NAME.2.fallback".
QStringList namesIn(const QDir &dir, const Folder &folder)
{
    return dir.entryList({folder.stem + QStringLiteral(".fallback"), folder.stem + QStringLiteral(".*.fallback")},
                         QDir::Files, QDir::Name);
}

// A folder takes a file when a little can be written and synced there. The store's own folder is
// never made here; others share the temporary folder, where only a folder ours alone will do.
bool takesAFile(const Folder &folder)
{
    if (folder.kind != Folder::Kind::beside
        && !(folder.kind == Folder::Kind::temporary ? preparePrivateDirectory(folder.path)
                                                    : makePrivatePath(folder.path)))
        return false;
    QTemporaryFile probe(QDir(folder.path).filePath(QStringLiteral(".probe-XXXXXX")));
    return probe.open() && probe.write(QByteArray(64 * 1024, '\0')) == 64 * 1024 && probe.flush()
        && ::fsync(int(probe.handle())) == 0;
}

// The fields a record's row gives as they are; a clip's Page, bytes and capture order are put over
// on their own.
void copyFields(const PersistentModel &from, PersistentModel &to)
{
    // Constant, with nothing to destroy: the end may take records in after exit() has begun.
    static constexpr std::array apart{QLatin1String("pinboardID"), QLatin1String("imageSize"),
                                      QLatin1String("fileSize"), QLatin1String("hashKey"),
                                      QLatin1String("captureOrder")};
    for (const StoreField &field : StoreRows::of(from).fields)
        if (std::ranges::find(apart, field.column) == apart.end())
            field.read(to, field.bind(from), {});
}

// `own`, or a new record `into` takes when null, given the fields of `from` as takeIn() tells.
template <class R>
std::shared_ptr<R> taken(ModelContext &into, const R &from, std::shared_ptr<R> own, qint64 lift, int *added)
{
    if (own && !(from.modelContext() && from.modelContext()->hasChanges(from)) && from.modifiedAt() < own->modifiedAt())
        return own;
    const bool isNew = !own;
    if (isNew)
        own = std::make_shared<R>();
    copyFields(from, *own);
    if constexpr (std::is_same_v<R, ClipItem>) {
        // One the store has is ordered in the store's own terms already: only new ones are lifted.
        own->setCaptureOrder(isNew ? ClipItem::liftedCaptureOrder(from.captureOrder(), lift)
                                   : std::max(own->captureOrder(), from.captureOrder()));
        if (isNew) {
            own->setImageData(from.imageData());
            own->setFileData(from.fileData());
            ++*added;
        }
        const PageRef page = from.pinboard();
        own->setPinboard(page ? taken(into, *page, into.pinboardWithDedupID(page->dedupID()), lift, added) : nullptr);
    }
    if (isNew)
        into.insert(own);
    return own;
}

} // namespace

std::vector<Folder> folders(const QString &storePath, bool storeFolderLast)
{
    if (storePath.isEmpty())
        return {};
    const QFileInfo store(storePath);
    const Folder beside{Folder::Kind::beside, store.absolutePath(), store.fileName()};
    // In any other folder, the name says which store the file belongs to.
    const QByteArray hash =
        QCryptographicHash::hash(QFile::encodeName(store.absoluteFilePath()), QCryptographicHash::Sha256);
    const QString stem = store.fileName() + QLatin1Char('-') + QString::fromLatin1(hash.toHex().left(8));
    const QString own = QStringLiteral("/Quillmere");
    std::vector<Folder> others{{Folder::Kind::state, xdgFolder("XDG_STATE_HOME", ".local/state") + own, stem},
                               {Folder::Kind::cache, xdgFolder("XDG_CACHE_HOME", ".cache") + own, stem}};
    if (const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"); QDir::isAbsolutePath(runtime))
        others.push_back({Folder::Kind::runtime, runtime + own, stem});
    // Empty when $TMPDIR names no folder.
    if (const QString temporary = QDir::tempPath(); QDir::isAbsolutePath(temporary))
        others.push_back({Folder::Kind::temporary, temporary + QStringLiteral("/quillmere-%1").arg(::geteuid()), stem});
    // Those that keep what they hold longest first, the temporary folder (which some systems empty
    // of old files) last of those, and among those alike, those on another file system than the
    // store's, since a full disk is full for all of it.
    const dev_t storeDevice = fileSystemOf(beside).second;
    std::multimap<int, Folder> ranked{{storeFolderLast ? std::numeric_limits<int>::max() : -1, beside}};
    for (Folder &folder : others) {
        const auto [lasting, device] = fileSystemOf(folder);
        const bool temporary = folder.kind == Folder::Kind::temporary && lasting == Place::Lasting::kept;
        ranked.emplace((int(lasting) * 2 + temporary) * 2 + (device == storeDevice), std::move(folder));
    }
    std::vector<Folder> inOrder;
    for (auto &[rank, folder] : ranked)
        inOrder.push_back(std::move(folder));
    return inOrder;
}

Hold::~Hold()
{
    ::close(m_fd);
}

bool Hold::isAt(const QString &path) const
{
    return FileIdentity::isAt(m_fd, path);
}

std::shared_ptr<Hold> Hold::take(const QString &path)
{
    // Never waits: not on a FIFO put at the path, not on another program's hold.
    // Writable, as an flock over NFS is a write lock.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    std::shared_ptr<Hold> hold(new Hold(fd, path));
    struct stat info {};
    // Removed by its holder between the opening and the lock: a file nothing names is no fallback store.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || !hold->isAt(path))
        return nullptr;
    return hold;
}

std::shared_ptr<Hold> Hold::makeNew(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    std::shared_ptr<Hold> hold(new Hold(fd, path));
    // No one else has the file open yet: this never fails but on a file system without locks.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        QFile::remove(path);
        errno = error;
        return nullptr;
    }
    return hold;
}

std::optional<std::pair<QString, Place>> nameAndFolder(const QString &storePath, bool storeFolderLast)
{
    const std::vector<Folder> order = folders(storePath, storeFolderLast);
    // One left by an earlier session goes on where it is, if its folder still takes writes; else it
    // waits there for the store while the history goes on in the next folder that does.
    auto at =
        std::ranges::find_if(order, [](const Folder &f) { return QFileInfo(fallbackIn(f)).isFile() && takesAFile(f); });
    if (at == order.end())
        at = std::ranges::find_if(order, takesAFile);
    if (at == order.end())
        return std::nullopt;
    return std::make_pair(fallbackIn(*at), Place{at->path, fileSystemOf(*at).first});
}

std::optional<Place> folderHolding(const QString &storePath, const QString &fallback)
{
    const QString folder = QFileInfo(fallback).absolutePath();
    for (const Folder &f : folders(storePath))
        if (QFileInfo(f.path).absoluteFilePath() == folder)
            return Place{f.path, fileSystemOf(f).first};
    return std::nullopt;
}

QStringList all(const QString &storePath)
{
    QStringList found;
    for (const Folder &folder : folders(storePath)) {
        const QDir dir(folder.path);
        for (const QString &file : namesIn(dir, folder))
            found << dir.filePath(file);
    }
    found.removeDuplicates();
    return found;
}

QString takeFreeName(const QString &fallback, const std::function<bool(const QString &)> &take)
{
    for (int n = 1; n < 100; ++n) {
        const QString name = n == 1 ? fallback : fallback.chopped(9) + QStringLiteral(".%1.fallback").arg(n);
        if (take(name))
            return name;
        if (errno != EEXIST)
            return {};
    }
    return {};
}

std::shared_ptr<Hold> makeHeldFile(const QString &fallback)
{
    std::shared_ptr<Hold> hold;
    takeFreeName(fallback, [&hold](const QString &name) { return (hold = Hold::makeNew(name)) != nullptr; });
    return hold;
}

std::optional<Held> makeHeldFileIn(const QString &storePath, bool storeFolderLast)
{
    const auto found = nameAndFolder(storePath, storeFolderLast);
    if (!found)
        return std::nullopt;
    std::shared_ptr<Hold> file = makeHeldFile(found->first);
    if (!file)
        return std::nullopt;
    return Held{std::move(file), found->second};
}

std::optional<Held> takeOverLeft(const QString &storePath, bool storeFolderLast)
{
    for (const Folder &folder : folders(storePath, storeFolderLast)) {
        const QDir dir(folder.path);
        const QStringList names = namesIn(dir, folder);
        if (names.isEmpty() || !takesAFile(folder))
            continue;
        for (const QString &name : names)
            if (std::shared_ptr<Hold> file = Hold::take(dir.filePath(name)))
                return Held{std::move(file), Place{folder.path, fileSystemOf(folder).first}};
    }
    return std::nullopt;
}

namespace {

QString unfinishedCopyPath(const QString &storePath)
{
    return storePath + QStringLiteral(".copying-in");
}

// Runs one statement on `db` to its end; false when it fails.
bool runOn(sqlite3 *db, const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

} // namespace

void removeUnfinishedCopy(const QString &storePath)
{
    const QString copy = unfinishedCopyPath(storePath);
    QFile::remove(copy + QStringLiteral("-journal"));
    QFile::remove(copy);
}

WholeCopy copyWhole(const QString &fallback, const QString &storePath, const std::atomic<bool> &stop)
{
    const QString copy = unfinishedCopyPath(storePath);
    removeUnfinishedCopy(storePath);
    WholeCopy result;
    // Made here, exclusively, so that its mode is ours and no one else's file is written.
    const int fd = ::open(QFile::encodeName(copy).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        result.error = QString::fromLocal8Bit(std::strerror(errno));
        result.noRoom = errno == ENOSPC || errno == EDQUOT;
        return result;
    }
    ::close(fd);
    const OwnConnection own(fallback, SQLITE_OPEN_READONLY);
    sqlite3 *from = own.db();
    sqlite3 *into = nullptr;
    const auto fail = [&](sqlite3 *db, int code) {
        result.error = QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
        result.noRoom = code == SQLITE_FULL || sqlite3_extended_errcode(db) == SQLITE_FULL
            || sqlite3_system_errno(db) == ENOSPC || sqlite3_system_errno(db) == EDQUOT;
    };
    int code = SQLITE_OK;
    if (!from) {
        result.error = own.error();
    } else if ((code = sqlite3_open_v2(QFile::encodeName(copy).constData(), &into, SQLITE_OPEN_READWRITE, nullptr))
               != SQLITE_OK) {
        fail(into, code);
    }
    if (result.error.isEmpty()) {
        sqlite3_busy_timeout(into, 5000);
        // Saves wait while it runs: a scratch file needs no journal of its own, and both files are
        // read and written through the kernel's cache rather than copied page by page into SQLite's.
        runOn(into, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; PRAGMA mmap_size = 1073741824");
        runOn(from, "PRAGMA mmap_size = 1073741824");
        sqlite3_backup *backup = sqlite3_backup_init(into, "main", from, "main");
        if (!backup) {
            fail(into, SQLITE_ERROR);
        } else {
            // A few megabytes a step, so that a stop is heard; a write to the fallback store between
            // steps starts it over, which only the search keys' fill may do now.
            code = SQLITE_OK;
            // Its pages go to the disk as they are written, so that the sync before its naming is short.
            const int written = ::open(QFile::encodeName(copy).constData(), O_RDONLY | O_CLOEXEC);
            while ((code == SQLITE_OK || code == SQLITE_BUSY || code == SQLITE_LOCKED) && !stop.load()) {
                code = sqlite3_backup_step(backup, 1024);
                if (written >= 0)
                    ::sync_file_range(written, 0, 0, SYNC_FILE_RANGE_WRITE);
            }
            if (written >= 0)
                ::close(written);
            sqlite3_backup_finish(backup);
            if (code != SQLITE_DONE)
                fail(stop.load() ? nullptr : into, stop.load() ? SQLITE_INTERRUPT : code);
        }
    }
    // A move-in cut short marks the fallback store it took from; the store has no use for the mark.
    if (result.error.isEmpty() && !runOn(into, "DROP TABLE IF EXISTS fallback_lift"))
        fail(into, SQLITE_ERROR);
    if (result.error.isEmpty()) {
        sqlite3_stmt *check = nullptr;
        if (sqlite3_prepare_v2(into, "PRAGMA quick_check", -1, &check, nullptr) != SQLITE_OK
            || sqlite3_step(check) != SQLITE_ROW)
            fail(into, SQLITE_ERROR);
        else if (const auto *said = reinterpret_cast<const char *>(sqlite3_column_text(check, 0));
                 qstrcmp(said, "ok") != 0)
            result.error = QStringLiteral("the copy does not read back whole: %1").arg(QString::fromUtf8(said));
        sqlite3_finalize(check);
    }
    sqlite3_close_v2(into);
    // A log beside a missing store is some earlier file's, and would be read into this one.
    if (result.error.isEmpty() && !QFileInfo::exists(storePath))
        for (const char *suffix : {"-wal", "-shm"})
            QFile::remove(storePath + QLatin1String(suffix));
    if (result.error.isEmpty())
        result.file = FileIdentity::of(copy);
    if (result.error.isEmpty() && syncFile(copy, &result.error) && !renameNoReplace(copy, storePath))
        result.error = errno == EEXIST ? QStringLiteral("a file is at its path now")
                                       : QString::fromLocal8Bit(std::strerror(errno));
    if (!result.error.isEmpty()) {
        removeUnfinishedCopy(storePath);
        return result;
    }
    // Named but not lasting through a power cut: the fallback store stays, and moves in by slices.
    syncFolderOf(storePath, &result.error);
    return result;
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
    int added = 0;
    for (const auto &record : records) {
        if (const auto *clip = dynamic_cast<const ClipItem *>(record.get()))
            taken(into, *clip, into.clipWithDedupID(clip->dedupID()), lift, &added);
        else if (const auto *page = dynamic_cast<const Pinboard *>(record.get()))
            taken(into, *page, into.pinboardWithDedupID(page->dedupID()), lift, &added);
        else if (const auto *brand = dynamic_cast<const SourceAppBrand *>(record.get()))
            if (!into.sourceAppBrand(brand->bundleID()))
                taken<SourceAppBrand>(into, *brand, nullptr, lift, &added);
    }
    return added;
}

} // namespace FallbackStore

} // namespace quillmere
