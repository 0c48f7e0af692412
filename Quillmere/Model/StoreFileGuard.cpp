#include "Quillmere/Model/StoreFileGuard.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreBesideFiles.h"
#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlDriver>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {
namespace {

sqlite3 *handleOf(const QSqlDatabase &db)
{
    const QVariant handle = db.isOpen() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

// Renames without ever replacing what is at `to`; false with errno EEXIST when the name is taken.
bool renameNoReplace(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from), target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without that rename: a second name, then the first goes.
    if (::link(source.constData(), target.constData()) == 0) {
        ::unlink(source.constData());
        return true;
    }
    if (errno == EEXIST)
        return false;
    // Nor links (FAT): look, then rename.
    if (QFileInfo::exists(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(source.constData(), target.constData()) == 0;
}

// The copy's bytes on the disk before its name changes.
bool syncFile(const QString &path, QString *why)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    const bool ok = fd >= 0 && ::fsync(fd) == 0 && ::fstat(fd, &st) == 0 && st.st_size > 0;
    if (!ok)
        *why = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// A copy that has not advanced for this long at the end is given up.
constexpr qint64 quitStallMs = 2000;
// Smaller steps at the end, so that a starved process still shows its copy advancing.
constexpr int quitPagesPerStep = 32;
// Keeps `from` under a fresh name beside the store; the name it got, or empty.
QString keepBeside(const QString &from, const QString &storePath, const QDateTime &now)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QString kept = StoreSalvage::freeNameBeside(storePath, QStringLiteral("kept"), now);
        if (renameNoReplace(from, kept)) {
            syncFolderOf(kept);
            return kept;
        }
        if (errno != EEXIST)
            break;
    }
    return {};
}

// A copy whose backup ended: the journal of its write is gone (an unfinished one has it), and the
// store's tables are in it (a copy killed before its first page is an empty file).
bool isWholeCopy(const QString &copy)
{
    return QFileInfo::exists(copy) && !QFileInfo::exists(copy + QStringLiteral("-journal"))
        && ModelContainer::kindOf(copy) == ModelContainer::FileKind::ours && StoreSalvage::isSound(copy);
}

} // namespace

// What the worker found once the copy was on the disk.
struct StoreFileGuard::Synced {
    QString error;
    // What took the store's place opens as a database and passes its check (read whole, so not
    // on the main thread).
    bool replacementSound = true;
    // It is another program's database: not to be opened for writing, let alone checked so.
    bool replacementForeign = false;

    // `replacement`: what took the store's path, to be looked at too.
    static Synced of(const QString &copy, const QString &replacement)
    {
        Synced out;
        if (syncFile(copy, &out.error) && !replacement.isEmpty()) {
            out.replacementForeign = ModelContainer::kindOf(replacement) == ModelContainer::FileKind::foreign;
            out.replacementSound = !out.replacementForeign && StoreSalvage::isSound(replacement);
        }
        return out;
    }
};

std::optional<FileIdentity> FileIdentity::of(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

StoreFileGuard::StoreFileGuard(ClipStore &store, QObject *parent) : QObject(parent), m_store(store)
{
    m_slice.setSingleShot(true);
    m_slice.setInterval(0);
    connect(&m_slice, &QTimer::timeout, this, &StoreFileGuard::copySlice);
    // Between saves too: a history nobody adds to would otherwise go with the program.
    m_watch.setInterval(checkIntervalMs);
    connect(&m_watch, &QTimer::timeout, this, &StoreFileGuard::check);
    m_watch.start();
    // A deletion is met at once, not at the next save: until the copy is whole, only the open file
    // holds the history.
    // A copy that failed is tried again at the next save or look, not at each change its own
    // files make.
    connect(&m_folder, &QFileSystemWatcher::directoryChanged, this, [this] {
        if (!m_copyFailed)
            check();
    });
    rearm();
}

void StoreFileGuard::checkNow()
{
    check();
    // The history exists only in the connection's open file until the copy is in place: the end
    // finishes it while it advances.
    if (m_syncing) {
        placeCopy(Synced::of(copyPath(), m_cause == Cause::replaced ? m_path : QString()));
    } else if (m_backup) {
        m_slice.stop();
        // A replacement takes over the session without what waits to be saved: it goes into the copy.
        if (m_cause == Cause::replaced && m_store.context().hasChanges())
            m_store.context().save();
        int rc = SQLITE_OK;
        int left = -1;
        QElapsedTimer still;
        still.start();
        for (;;) {
            rc = sqlite3_backup_step(m_backup, quitPagesPerStep);
            if (rc != SQLITE_OK && rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
                break;
            if (const int now = sqlite3_backup_remaining(m_backup); left < 0 || now < left) {
                left = now;
                still.restart();
            } else if (still.elapsed() > quitStallMs) {
                break;
            } else if (rc != SQLITE_OK) {
                QThread::msleep(10);
            }
        }
        if (rc == SQLITE_DONE)
            copyFinished(true);
        else
            abandonCopy(rc == SQLITE_OK ? QStringLiteral("the copy stopped advancing")
                                        : QString::fromUtf8(sqlite3_errstr(rc)));
    }
    // No room at the path: the copy goes to the fallback store's folder before the program ends.
    if (m_fallbackDue) {
        copyToFallback(FallbackStore::place(m_path, true));
        if (m_backup || m_syncing)
            checkNow();
    }
}

StoreFileGuard::~StoreFileGuard()
{
    if (isCopying())
        abandonCopy(QStringLiteral("the program is quitting"), false);
}

QString StoreFileGuard::rewritingPath(const QString &storePath)
{
    return storePath + QStringLiteral(".rewriting");
}

QString StoreFileGuard::rewrittenPath(const QString &storePath)
{
    return storePath + QStringLiteral(".rewritten");
}

bool StoreFileGuard::finishInterruptedRewrite(const QString &storePath)
{
    // A history put in a fallback store, killed before the rename: found by name once it has one.
    for (const FallbackStore::Folder &folder : FallbackStore::folders(storePath)) {
        const QString fallback = QDir(folder.path).filePath(folder.stem + QStringLiteral(".fallback"));
        const QString partial = rewritingPath(fallback);
        if (!QFileInfo::exists(partial))
            continue;
        if (isWholeCopy(partial)) {
            // Left as it is when no name is free: the next start tries again.
            FallbackStore::takeFreeName(fallback,
                                        [&partial](const QString &name) { return renameNoReplace(partial, name); });
            continue;
        }
        QFile::remove(partial);
        QFile::remove(partial + QStringLiteral("-journal"));
    }
    QString whole = rewrittenPath(storePath);
    const QString partial = rewritingPath(storePath);
    // Ended while the finished copy was synced, before it was named whole.
    if (!QFileInfo::exists(whole) && isWholeCopy(partial)) {
        whole = partial;
    } else if (QFileInfo::exists(partial)) {
        // Cut short: of no use, but the store it was made for may be gone, so the session that
        // opens next says so (and removes it) rather than showing a history without a word.
        const QString unfinished =
            StoreSalvage::freeNameBeside(storePath, StoreBesideFiles::unfinishedTag(), QDateTime::currentDateTime());
        // The copy first: its journal alone beside it would let a copy cut short pass for whole.
        if (QFile::rename(partial, unfinished))
            qCCritical(lcPersistence, "A copy of the history cut short by the end of the program is at %s",
                       qPrintable(unfinished));
        QFile::rename(partial + QStringLiteral("-journal"), unfinished + QStringLiteral("-journal"));
    }
    const auto copy = FileIdentity::of(whole);
    if (!copy)
        return false;
    const auto atPath = FileIdentity::of(storePath);
    if (atPath == copy) {
        // Ended between the two names of a rename made by link and unlink.
        QFile::remove(whole);
        return true;
    }
    if (atPath
        && (ModelContainer::kindOf(storePath) == ModelContainer::FileKind::foreign
            || !StoreSalvage::isSound(storePath))) {
        // What took the path is no store of ours: the history goes back there, as when deleted.
        QString why;
        const QString aside = StoreSalvage::setAside(storePath, QDateTime::currentDateTime(), &why);
        if (aside.isEmpty())
            qCCritical(lcPersistence, "Could not set aside the unreadable file at %s: %s", qPrintable(storePath),
                       qPrintable(why));
        else
            qCCritical(lcPersistence, "The unreadable file that took the place of %s was set aside as %s",
                       qPrintable(storePath), qPrintable(aside));
    } else if (atPath) {
        const QString kept = keepBeside(whole, storePath, QDateTime::currentDateTime());
        qCCritical(lcPersistence, "A copy of the history written for %s found another file there; it was kept as %s",
                   qPrintable(storePath), qPrintable(kept.isEmpty() ? whole : kept));
        return false;
    }
    // Any log beside the missing store belongs to the file the copy was made from.
    QFile::remove(storePath + QStringLiteral("-wal"));
    QFile::remove(storePath + QStringLiteral("-shm"));
    if (!renameNoReplace(whole, storePath)) {
        qCCritical(lcPersistence, "The copy of the history at %s could not take its place at %s: %s", qPrintable(whole),
                   qPrintable(storePath), std::strerror(errno));
        return false;
    }
    syncFolderOf(storePath);
    qCCritical(lcPersistence, "The store %s, deleted while in use last time, was put back from its copy",
               qPrintable(storePath));
    return true;
}

void StoreFileGuard::rearm()
{
    if (isCopying())
        abandonCopy(QStringLiteral("the history moved to another store"), false);
    const ModelContainer &container = m_store.container();
    m_path = container.isInMemory() ? QString() : container.storeURL();
    m_file = m_path.isEmpty() ? std::nullopt : FileIdentity::of(m_path);
    m_wal = m_path.isEmpty() ? std::nullopt : FileIdentity::of(m_path + QStringLiteral("-wal"));
    m_shm = m_path.isEmpty() ? std::nullopt : FileIdentity::of(m_path + QStringLiteral("-shm"));
    watchFolder();
    lookBeside();
    Q_EMIT rearmed();
}

void StoreFileGuard::watchFolder()
{
    if (const QStringList watched = m_folder.directories(); !watched.isEmpty())
        m_folder.removePaths(watched);
    if (!m_path.isEmpty() && !m_folder.addPath(QFileInfo(m_path).absolutePath()))
        qCDebug(lcPersistence, "The folder of %s cannot be watched; it is looked at every half minute",
                qPrintable(m_path));
}

void StoreFileGuard::check()
{
    if (m_reopenPending) {
        reopen();
        if (m_reopenPending)
            return;
    }
    if (!m_file || isCopying())
        return;
    // A folder deleted with the store is watched again once it is back.
    if (m_folder.directories().isEmpty())
        watchFolder();
    struct stat st {};
    if (::stat(QFile::encodeName(m_path).constData(), &st) == 0) {
        if (FileIdentity{st.st_dev, st.st_ino} != *m_file) {
            startCopy(Cause::replaced);
            return;
        }
        // SQLite makes the log and its index when it first needs them.
        if (!m_wal)
            m_wal = FileIdentity::of(m_path + QStringLiteral("-wal"));
        if (!m_shm)
            m_shm = FileIdentity::of(m_path + QStringLiteral("-shm"));
    } else if (errno == ENOENT) {
        startCopy(Cause::deleted);
    }
}

void StoreFileGuard::startCopy(Cause cause)
{
    m_cause = cause;
    qCCritical(lcPersistence, "The store file %s was %s while in use; copying the history it held", qPrintable(m_path),
               cause == Cause::deleted ? "deleted" : "replaced by another file");
    // The names of the log and its index are no longer ours: left there, they would be read into
    // whatever file comes to the path. The connection keeps what it has open.
    removeOwnCompanions();
    m_fallbackPath.clear();
    beginBackup(QFileInfo(m_path).absolutePath());
}

QString StoreFileGuard::copyPath() const
{
    return rewritingPath(m_fallbackPath.isEmpty() ? m_path : m_fallbackPath);
}

void StoreFileGuard::copyToFallback(const std::optional<std::pair<QString, FallbackStore::Place>> &place)
{
    m_fallbackDue = false;
    if (!place || isCopying() || !m_copyFailed) {
        if (!place)
            qCCritical(lcPersistence, "No folder takes a fallback store for %s either", qPrintable(m_path));
        return;
    }
    qCCritical(lcPersistence, "The history of %s goes to a fallback store at %s", qPrintable(m_path),
               qPrintable(place->first));
    m_fallbackPath = place->first;
    beginBackup(place->second.folder);
}

void StoreFileGuard::beginBackup(const QString &folder)
{
    const QString partial = copyPath();
    // What a copy cut short left behind holds nothing the open connection does not.
    QFile::remove(partial);
    QFile::remove(partial + QStringLiteral("-journal"));
    QString why;
    QFile file(partial);
    if (!makePrivatePath(folder, &why)
        || !file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner)) {
        abandonCopy(why.isEmpty() ? file.errorString() : why);
        return;
    }
    file.close();
    sqlite3 *source = handleOf(m_store.context().database());
    if (!source) {
        abandonCopy(QStringLiteral("the store's connection is closed"), false);
        return;
    }
    // Synced on a worker once whole, not at its commit on the main thread.
    if (sqlite3_open_v2(QFile::encodeName(partial).constData(), &m_copy, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK
        || sqlite3_exec(m_copy, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr) != SQLITE_OK
        || !(m_backup = sqlite3_backup_init(m_copy, "main", source, "main"))) {
        abandonCopy(QString::fromUtf8(m_copy ? sqlite3_errmsg(m_copy) : "out of memory"));
        return;
    }
    step(Step::begun);
    m_slice.start();
}

void StoreFileGuard::copySlice()
{
    const int rc = sqlite3_backup_step(m_backup, pagesPerSlice);
    if (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        m_slice.start();
        return;
    }
    if (rc != SQLITE_DONE) {
        abandonCopy(QString::fromUtf8(sqlite3_errstr(rc)));
        return;
    }
    copyFinished(false);
}

void StoreFileGuard::abandonCopy(const QString &why, bool keep)
{
    qCCritical(lcPersistence, "Could not copy the history of %s: %s; trying again at the next save", qPrintable(m_path),
               qPrintable(why));
    // A copy the path had no room for goes to a fallback store; one that failed there waits for the next save.
    const bool toFallback = keep && m_fallbackPath.isEmpty() && m_cause == Cause::deleted;
    m_copyFailed = keep || m_copyFailed;
    m_slice.stop();
    m_syncing = false;
    ++m_generation;
    if (m_backup)
        sqlite3_backup_finish(m_backup);
    m_backup = nullptr;
    if (m_copy)
        sqlite3_close(m_copy);
    m_copy = nullptr;
    QFile::remove(copyPath());
    QFile::remove(copyPath() + QStringLiteral("-journal"));
    m_fallbackPath.clear();
    if (toFallback && !m_fallbackDue) {
        m_fallbackDue = true;
        inBackground(
            this, [path = m_path] { return FallbackStore::place(path, true); },
            [this](const std::optional<std::pair<QString, FallbackStore::Place>> &place) {
                if (m_fallbackDue)
                    copyToFallback(place);
            });
    }
    Q_EMIT copyEnded();
}

void StoreFileGuard::copyFinished(bool waitHere)
{
    // A replacement takes the session over: what waits to be saved would not go with it.
    if (m_cause == Cause::replaced && m_store.context().hasChanges()) {
        abandonCopy(QStringLiteral("changes are still waiting to be saved"), false);
        return;
    }
    const int finished = sqlite3_backup_finish(m_backup);
    m_backup = nullptr;
    const int closed = sqlite3_close(m_copy);
    m_copy = nullptr;
    if (finished != SQLITE_OK || closed != SQLITE_OK) {
        abandonCopy(QString::fromUtf8(sqlite3_errstr(finished != SQLITE_OK ? finished : closed)));
        return;
    }
    // Saves wait in memory from here until the copy is in place: the copy no longer takes them.
    m_syncing = true;
    const quint64 generation = ++m_generation;
    const auto sync = [copy = copyPath(), replacement = m_cause == Cause::replaced ? m_path : QString()] {
        return Synced::of(copy, replacement);
    };
    if (waitHere)
        placeCopy(sync());
    else
        inBackground(this, sync, [this, generation](const Synced &synced) {
            // Unless the end of the program put it in place already, or it was given up, or this
            // is the sync of a copy before the one under way.
            if (m_syncing && generation == m_generation)
                placeCopy(synced);
        });
}

void StoreFileGuard::placeCopy(const Synced &synced)
{
    m_syncing = false;
    ++m_generation;
    if (synced.error.isEmpty()) {
        step(Step::whole);
        if (!m_fallbackPath.isEmpty())
            putInFallback();
        else if (m_cause == Cause::replaced && m_store.context().hasChanges())
            abandonCopy(QStringLiteral("changes are waiting to be saved"), false);
        else if (m_cause == Cause::deleted)
            putBackAtPath(QStringLiteral("was deleted while Brindlewax was running"));
        else if (!synced.replacementSound)
            putBackInsteadOfUnreadable(synced.replacementForeign);
        else
            keepBesideReplacement();
    } else {
        abandonCopy(synced.error);
    }
    if (m_store.context().hasChanges())
        m_store.save();
    Q_EMIT copyEnded();
}

void StoreFileGuard::putInFallback()
{
    const QString copy = copyPath();
    // Another fallback store of the store may hold copies this one lacks: it stays beside.
    QString fallback = FallbackStore::takeFreeName(
        std::exchange(m_fallbackPath, QString()), [&copy](const QString &name) { return renameNoReplace(copy, name); });
    if (fallback.isEmpty() || !FileIdentity::of(fallback) || FileIdentity::of(copy)) {
        abandonCopy(QStringLiteral("the copy could not take its place at %1: %2")
                        .arg(fallback, QString::fromLocal8Bit(std::strerror(errno))),
                    false);
        return;
    }
    syncFolderOf(fallback);
    step(Step::copied);
    m_copyFailed = false;
    qCCritical(lcPersistence, "The history of %s, which had no room at its path, is in the fallback store at %s",
               qPrintable(m_path), qPrintable(fallback));
    Q_EMIT copiedToFallback(fallback);
}

void StoreFileGuard::step(Step s)
{
    if (m_stepHook)
        m_stepHook(s);
}

void StoreFileGuard::keepCompanionsAtClose(sqlite3 *db)
{
    // The last connection on a file would otherwise remove the log and its index by their names.
    int keep = 1;
    if (db)
        sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
}

void StoreFileGuard::closeConnection()
{
    keepCompanionsAtClose(handleOf(m_store.context().database()));
    m_store.context().closeConnection();
}

bool StoreFileGuard::holdsFileAtPath() const
{
    return !isCopying() && !m_reopenPending && m_file && m_store.context().database().isOpen()
        && FileIdentity::of(m_path) == m_file;
}

void StoreFileGuard::removeOwnCompanions()
{
    const std::pair<QString, std::optional<FileIdentity>> companions[] = {{m_path + QStringLiteral("-wal"), m_wal},
                                                                          {m_path + QStringLiteral("-shm"), m_shm}};
    for (const auto &[path, identity] : companions) {
        const auto now = FileIdentity::of(path);
        if (now && (now == identity || m_cause == Cause::deleted) && !QFile::remove(path))
            qCWarning(lcPersistence, "Could not remove %s", qPrintable(path));
    }
}

void StoreFileGuard::putBackInsteadOfUnreadable(bool foreign)
{
    QString why;
    const QString aside = StoreSalvage::setAside(m_path, m_store.now(), &why);
    if (aside.isEmpty()) {
        abandonCopy(QStringLiteral("the unreadable file at its path could not be set aside: %1").arg(why));
        return;
    }
    step(Step::setAside);
    qCCritical(lcPersistence, "The file that replaced %s is %s; it was set aside as it is as %s", qPrintable(m_path),
               foreign ? "another program's database" : "no store", qPrintable(aside));
    m_cause = Cause::deleted;
    putBackAtPath(
        foreign
            ? QStringLiteral("was replaced by another program's database, which was set aside as it is "
                             "as %1")
                  .arg(aside)
            : QStringLiteral("was replaced by a file Brindlewax cannot read, which was set aside as %1").arg(aside));
}

void StoreFileGuard::putBackAtPath(const QString &what)
{
    const QString whole = rewrittenPath(m_path);
    // Over any whole copy an earlier try left: this one is newer.
    if (::rename(QFile::encodeName(rewritingPath(m_path)).constData(), QFile::encodeName(whole).constData()) != 0) {
        abandonCopy(
            QStringLiteral("the copy could not be renamed: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    syncFolderOf(whole);
    step(Step::copied);
    if (!renameNoReplace(whole, m_path)) {
        if (errno == EEXIST) {
            // Another file took the path while the copy was made: it stays, and the copy beside it.
            m_cause = Cause::replaced;
            QFile::rename(whole, rewritingPath(m_path));
            keepBesideReplacement();
            return;
        }
        // The connection goes on; the next save tries again, and the next start finds the copy.
        qCCritical(lcPersistence, "The copy of the history at %s could not take the place of %s: %s", qPrintable(whole),
                   qPrintable(m_path), std::strerror(errno));
        return;
    }
    syncFolderOf(m_path);
    step(Step::inPlace);
    closeConnection();
    step(Step::connectionClosed);
    m_copyFailed = false;
    qCCritical(lcPersistence, "The store file %s %s; it was written again from the open history", qPrintable(m_path),
               qPrintable(what));
    rearm();
    m_reopenPending = true;
    m_told = QStringLiteral("Your clipboard history file %1 %2. ").arg(m_path, what);
    reopen();
}

void StoreFileGuard::reopen()
{
    QString error;
    if (!m_store.context().reopenConnection(&error)) {
        // Said once; tried again at each save and each check.
        if (m_told.isEmpty())
            return;
        qCCritical(lcPersistence, "The store written again at %s could not be opened: %s", qPrintable(m_path),
                   qPrintable(error));
        Q_EMIT storeFileChanged(
            m_told
            + QStringLiteral("It was written again with every copy it held, but could not "
                             "be opened again (%1): new copies go to a fallback store until it can.")
                  .arg(error));
        m_told.clear();
        return;
    }
    m_reopenPending = false;
    Q_EMIT copyEnded();
    Q_EMIT storeFileChanged(m_told.isEmpty()
                                ? QStringLiteral("Your clipboard history file %1 could be opened again; new copies "
                                                 "are saved in it.")
                                      .arg(m_path)
                                : m_told + QStringLiteral("It was written again with every copy it held."));
    m_told.clear();
}

void StoreFileGuard::keepBesideReplacement()
{
    const QString kept = keepBeside(rewritingPath(m_path), m_path, m_store.now());
    if (kept.isEmpty()) {
        abandonCopy(QStringLiteral("the copy could not be kept beside the store"));
        return;
    }
    step(Step::copied);
    closeConnection();
    step(Step::connectionClosed);
    QString error;
    std::unique_ptr<ModelContainer> replacement = ModelContainer::open(m_path, m_store.clock(), &error);
    QString message = QStringLiteral("Your clipboard history file %1 was replaced by another file while Brindlewax "
                                     "was running. Your history now shows that file; the history held until then "
                                     "was kept as %2.")
                          .arg(m_path, kept);
    if (!replacement) {
        qCCritical(lcPersistence, "The file that replaced %s cannot be opened as a store: %s", qPrintable(m_path),
                   qPrintable(error));
        message = QStringLiteral("Your clipboard history file %1 was replaced by a file Brindlewax cannot read (%2). "
                                 "Your history goes on in %3, where the history held until then was kept.")
                      .arg(m_path, error, kept);
        replacement = ModelContainer::open(kept, m_store.clock(), &error);
    }
    if (!replacement) {
        qCCritical(lcPersistence, "The history kept at %s cannot be opened: %s", qPrintable(kept), qPrintable(error));
        return;
    }
    m_store.switchToContainer(std::shared_ptr<ModelContainer>(replacement.release()));
    step(Step::inPlace);
    m_copyFailed = false;
    qCCritical(lcPersistence, "The store file %s was replaced while in use; the history held until then was kept at %s",
               qPrintable(m_path), qPrintable(kept));
    Q_EMIT storeFileChanged(message);
}

void StoreFileGuard::lookBeside()
{
    // Once for each store file the history comes to be in: one that opened in memory first is
    // looked beside once it is written.
    if (m_path.isEmpty() || m_path == m_lookedBeside)
        return;
    m_lookedBeside = m_path;
    const QString toldBefore = m_store.preferences().string(StoreBesideFiles::toldKey()).value_or(QString());
    const QStringList toldList = toldBefore.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    inBackground(
        this,
        [path = m_path, told = QSet<QString>(toldList.begin(), toldList.end())] {
            return StoreBesideFiles::look(path, told);
        },
        [this, toldBefore](const StoreBesideFiles::Found &left) {
            if (const QString now = left.signatures.join(QLatin1Char('\n')); now != toldBefore)
                m_store.preferences().setString(StoreBesideFiles::toldKey(), now);
            if (left.told.isEmpty())
                return;
            qCCritical(lcPersistence, "%s", qPrintable(left.told));
            Q_EMIT storeFileChanged(left.told);
        });
}

} // namespace quillmere
