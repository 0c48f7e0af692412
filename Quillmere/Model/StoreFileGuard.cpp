#include "Quillmere/Model/StoreFileGuard.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/OwnConnection.h"
#include "Quillmere/Model/StoreBesideFiles.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSqlDriver>
#include <QThread>
#include <cerrno>
#include <sqlite3.h>
#include <unistd.h>

namespace quillmere {
namespace {

constexpr int pagesPerSlice = 256;
// Between saves too: a history nobody adds to would otherwise go with the program.
constexpr int checkIntervalMs = 30 * 1000;
// A copy that has not advanced for this long at the end is given up; its smaller steps there show
// a starved process still advancing.
constexpr qint64 quitStallMs = 2000;
constexpr int quitPagesPerStep = 32;
const char *const companionSuffixes[] = {"-wal", "-shm"};

void removeWithJournal(const QString &copy)
{
    QFile::remove(copy);
    QFile::remove(copy + QStringLiteral("-journal"));
}

// A copy whose backup ended: the journal of its write is gone (an unfinished one has it), and the
// store's tables are in it (a copy killed before its first page is an empty file).
bool isWholeCopy(const QString &copy)
{
    return QFileInfo::exists(copy) && !QFileInfo::exists(copy + QStringLiteral("-journal"))
        && ModelContainer::kindOf(copy) == ModelContainer::FileKind::ours && StoreSalvage::isSound(copy);
}

// What took the store's path; another program's database is never opened for writing, not even to check it.
enum class Found { sound, unreadable, foreign };
Found whatIsAt(const QString &path)
{
    if (ModelContainer::kindOf(path) == ModelContainer::FileKind::foreign)
        return Found::foreign;
    return StoreSalvage::isSound(path) ? Found::sound : Found::unreadable;
}

// What became of a store put back at its path: `aside`, where what took the path was set aside.
QString putBackTold(const QString &aside, bool foreign)
{
    if (aside.isEmpty())
        return QStringLiteral("was deleted while Brindlewax was running");
    return QStringLiteral("was replaced by %1, which was set aside as it is as %2")
        .arg(foreign ? QStringLiteral("another program's database") : QStringLiteral("a file Brindlewax cannot read"),
             aside);
}

// A second name at `to` for the file at `from`; where the file system has no links, the name moves.
bool linkNoReplace(const QString &from, const QString &to)
{
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    return errno != EEXIST && renameNoReplace(from, to);
}

// Puts the whole copy at the store's path, what took it (`found`) set aside as it is, or beside a sound
// store that took it; says where. Empty when neither could be done: the copy stays for the next start.
// With `keepWhole`, a copy put at the path keeps its name too, until a connection holds it.
QString placeWhole(const QString &whole, const QString &storePath, std::optional<Found> found, const QDateTime &now,
                   QString *aside, const std::function<void(StoreFileGuard::CopyStep)> &step, bool keepWhole = false)
{
    if (found && *found != Found::sound) {
        QString why;
        *aside = StoreSalvage::setAside(storePath, now, &why);
        if (aside->isEmpty()) {
            qCCritical(lcPersistence, "Could not set aside the unreadable file at %s: %s", qPrintable(storePath),
                       qPrintable(why));
            return {};
        }
        step(StoreFileGuard::CopyStep::setAside);
    }
    QString at = storePath;
    if (found == Found::sound || !(keepWhole ? linkNoReplace(whole, at) : renameNoReplace(whole, at))) {
        // Another file took the path: it stays as it was put there, and the copy goes beside it.
        if (found != Found::sound && errno != EEXIST)
            return {};
        at = StoreSalvage::freeNameBeside(storePath, StoreBesideFiles::keptTag, now);
        if (!renameNoReplace(whole, at))
            return {};
    }
    syncFolderOf(at);
    return at;
}

// A whole copy for a fallback store, ended before its rename, takes a free name (or waits for the next start).
void finishFallbackRewrites(const QString &storePath)
{
    for (const FallbackStore::Folder &folder : FallbackStore::folders(storePath)) {
        const QString fallback = QDir(folder.path).filePath(folder.stem + QStringLiteral(".fallback"));
        const QString partial = StoreFileGuard::rewritingPath(fallback);
        if (isWholeCopy(partial))
            FallbackStore::takeFreeName(fallback,
                                        [&partial](const QString &name) { return renameNoReplace(partial, name); });
        else
            removeWithJournal(partial);
    }
}

} // namespace

struct StoreFileGuard::Copy : QObject {
    Copy(Cause how, const QString &to, const QString &at) : cause(how), fallback(to), file(at) {}
    ~Copy() override
    {
        sqlite3_backup_finish(backup);
        sqlite3_close(db);
        // Whatever is left at its name holds nothing the open connection does not.
        removeWithJournal(file);
    }
    Cause cause;
    QString fallback;
    QString file;
    sqlite3 *db = nullptr;
    sqlite3_backup *backup = nullptr;
};

struct StoreFileGuard::Synced {
    QString error;
    Found replacement = Found::sound;
};

StoreFileGuard::StoreFileGuard(ClipStore &store, QObject *parent) : QObject(parent), m_store(store)
{
    m_watch.setInterval(checkIntervalMs);
    connect(&m_watch, &QTimer::timeout, this, &StoreFileGuard::check);
    m_watch.start();
    // A deletion is met at once: only the open file holds the history. A failed copy waits for the next
    // save or look, not for each change its own files make.
    connect(&m_folder, &QFileSystemWatcher::directoryChanged, this, [this] {
        if (m_state == State::watching || m_state == State::reopening)
            check();
    });
    rearm();
}

StoreFileGuard::~StoreFileGuard() = default;

bool StoreFileGuard::holdsSaves() const
{
    return m_copy && !m_copy->backup;
}

bool StoreFileGuard::holdsFileAtPath() const
{
    return !m_copy && m_state != State::reopening && m_file && m_store.context().database().isOpen()
        && FileIdentity::of(m_path) == m_file;
}

void StoreFileGuard::rearm()
{
    if (m_copy)
        abandonCopy(QStringLiteral("the history moved to another store"), false);
    const ModelContainer &container = m_store.container();
    m_path = container.isInMemory() ? QString() : container.storeURL();
    m_file = m_path.isEmpty() ? std::nullopt : FileIdentity::of(m_path);
    // Deleted between its opening and now (a slow start): the open connection still holds it.
    if (!m_file && !m_path.isEmpty() && m_store.context().database().isOpen())
        m_file = container.openedFile();
    m_companions = {};
    m_state = State::watching;
    if (m_file)
        noteCompanions();
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

void StoreFileGuard::noteCompanions()
{
    // SQLite makes the log and its index when it first needs them.
    for (size_t i = 0; i < m_companions.size(); ++i)
        if (!m_companions[i])
            m_companions[i] = FileIdentity::of(m_path + QLatin1String(companionSuffixes[i]));
}

void StoreFileGuard::check()
{
    if (m_state == State::reopening) {
        reopen();
        if (m_state == State::reopening)
            return;
    }
    if (!m_file || m_copy)
        return;
    // A folder deleted with the store is watched again once it is back.
    if (m_folder.directories().isEmpty())
        watchFolder();
    const auto atPath = FileIdentity::of(m_path);
    if (!atPath && errno != ENOENT)
        return;
    if (atPath == m_file) {
        noteCompanions();
        return;
    }
    qCCritical(lcPersistence, "The store file %s was %s while in use; copying the history it held", qPrintable(m_path),
               atPath ? "replaced by another file" : "deleted");
    // The names of the log and its index are no longer ours: left there, they would be read into
    // whatever file comes to the path. The connection keeps what it has open.
    for (size_t i = 0; i < m_companions.size(); ++i) {
        const QString path = m_path + QLatin1String(companionSuffixes[i]);
        const auto now = FileIdentity::of(path);
        if (now && (now == m_companions[i] || !atPath) && !QFile::remove(path))
            qCWarning(lcPersistence, "Could not remove %s", qPrintable(path));
    }
    beginCopy(atPath ? Cause::replaced : Cause::deleted, QString(), QFileInfo(m_path).absolutePath());
}

void StoreFileGuard::checkNow()
{
    check();
    if (m_copy && m_copy->backup) {
        // A replacement takes over the session without what waits to be saved: it goes into the copy.
        if (m_copy->cause == Cause::replaced && m_store.context().hasChanges())
            m_store.context().save();
        QDeadlineTimer stalled(quitStallMs);
        for (int left = -1; advance(quitPagesPerStep);) {
            if (const int now = sqlite3_backup_remaining(m_copy->backup); left < 0 || now < left) {
                left = now;
                stalled.setRemainingTime(quitStallMs);
            } else if (stalled.hasExpired()) {
                abandonCopy(QStringLiteral("the copy stopped advancing"));
                break;
            } else {
                QThread::msleep(10);
            }
        }
    }
    if (holdsSaves())
        placeCopy(syncJob()());
    // No room at the path: the copy goes to the fallback store's folder before the program ends.
    if (m_state == State::fallbackDue) {
        copyToFallback(FallbackStore::nameAndFolder(m_historyOf.isEmpty() ? m_path : m_historyOf, true));
        if (m_copy)
            checkNow();
    }
}

void StoreFileGuard::beginCopy(Cause cause, const QString &fallback, const QString &folder)
{
    m_copy = std::make_unique<Copy>(cause, fallback, rewritingPath(fallback.isEmpty() ? m_path : fallback));
    Copy &copy = *m_copy;
    removeWithJournal(copy.file);
    QString why;
    QFile file(copy.file);
    if (!makePrivatePath(folder, &why)
        || !file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner)) {
        abandonCopy(why.isEmpty() ? file.errorString() : why);
        return;
    }
    file.close();
    sqlite3 *source = sqliteHandle(m_store.context().database());
    if (!source) {
        abandonCopy(QStringLiteral("the store's connection is closed"), false);
        return;
    }
    // Synced on a worker once whole, not at its commit on the main thread.
    if (sqlite3_open_v2(QFile::encodeName(copy.file).constData(), &copy.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK
        || sqlite3_exec(copy.db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr) != SQLITE_OK
        || !(copy.backup = sqlite3_backup_init(copy.db, "main", source, "main"))) {
        abandonCopy(QString::fromUtf8(copy.db ? sqlite3_errmsg(copy.db) : "out of memory"));
        return;
    }
    m_stepHook(CopyStep::begun);
    nextSlice();
}

void StoreFileGuard::nextSlice()
{
    QTimer::singleShot(0, m_copy.get(), [this] {
        if (advance(pagesPerSlice))
            nextSlice();
        else if (holdsSaves())
            inBackground(this, syncJob(), [this, copy = QPointer<Copy>(m_copy.get())](const Synced &synced) {
                // Unless the end of the program placed it already, or it was given up.
                if (copy)
                    placeCopy(synced);
            });
    });
}

// True while pages are left; then, unless given up, the copy waits for its sync with saves held.
bool StoreFileGuard::advance(int pages)
{
    const int rc = sqlite3_backup_step(m_copy->backup, pages);
    if (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
        return true;
    const int finished = sqlite3_backup_finish(std::exchange(m_copy->backup, nullptr));
    const int closed = sqlite3_close(std::exchange(m_copy->db, nullptr));
    if (const int failed = rc != SQLITE_DONE ? rc : finished != SQLITE_OK ? finished : closed; failed != SQLITE_OK)
        abandonCopy(QString::fromUtf8(sqlite3_errstr(failed)));
    return false;
}

std::function<StoreFileGuard::Synced()> StoreFileGuard::syncJob() const
{
    // The copy's bytes on the disk before its name changes; a replacement is read whole to be checked.
    return [file = m_copy->file, replacement = m_copy->cause == Cause::replaced ? m_path : QString()] {
        Synced out;
        if (!syncFile(file, &out.error))
            return out;
        if (QFileInfo(file).size() == 0)
            out.error = file + QStringLiteral(": nothing was written");
        else if (!replacement.isEmpty())
            out.replacement = whatIsAt(replacement);
        return out;
    };
}

void StoreFileGuard::placeCopy(const Synced &synced)
{
    if (!synced.error.isEmpty())
        abandonCopy(synced.error);
    else if (m_stepHook(CopyStep::whole); m_copy->cause == Cause::replaced && m_store.context().hasChanges())
        // A replacement takes the session over: what waits to be saved would not go with it.
        abandonCopy(QStringLiteral("changes are waiting to be saved"), false);
    else
        putCopy(synced);
    if (m_store.context().hasChanges())
        m_store.save();
    Q_EMIT copyEnded();
}

void StoreFileGuard::putCopy(const Synced &synced)
{
    if (!m_copy->fallback.isEmpty()) {
        putInFallback();
        return;
    }
    // Over any whole copy an earlier try left: this one is newer.
    const QString whole = rewrittenPath(m_path);
    if (::rename(QFile::encodeName(m_copy->file).constData(), QFile::encodeName(whole).constData()) != 0) {
        abandonCopy(QStringLiteral("the copy could not take its place at %1: %2").arg(whole, qt_error_string(errno)));
        return;
    }
    syncFolderOf(whole);
    m_stepHook(CopyStep::copied);
    const auto copy = FileIdentity::of(whole);
    QString aside;
    const auto atPath = m_copy->cause == Cause::replaced ? std::optional(synced.replacement) : std::nullopt;
    const QString at = placeWhole(whole, m_path, atPath, m_store.now(), &aside, m_stepHook, true);
    if (at.isEmpty()) {
        // The next save tries again, and the next start finds the copy.
        abandonCopy(QStringLiteral("the copy at %1 could not take its place: %2").arg(whole, qt_error_string(errno)));
        return;
    }
    m_stepHook(CopyStep::inPlace);
    closeConnection();
    m_stepHook(CopyStep::connectionClosed);
    m_copy.reset();
    if (at != m_path) {
        goOnBesideReplacement(at);
        return;
    }
    rearm();
    // The copy, not whatever the path names by now: taken off it again, it is still the history's.
    m_file = copy;
    m_state = State::reopening;
    m_untold = putBackTold(aside, atPath == Found::foreign);
    reopen();
}

bool StoreFileGuard::placeHeldCopy()
{
    const auto atPath = FileIdentity::of(m_path) ? std::optional(whatIsAt(m_path)) : std::nullopt;
    QString aside;
    const QString at = placeWhole(rewrittenPath(m_path), m_path, atPath, m_store.now(), &aside, m_stepHook, true);
    if (at.isEmpty())
        return false;
    m_stepHook(CopyStep::inPlace);
    if (at != m_path) {
        m_untold.clear();
        goOnBesideReplacement(at);
        return false;
    }
    if (!aside.isEmpty())
        m_untold = putBackTold(aside, atPath == Found::foreign);
    return true;
}

void StoreFileGuard::putInFallback()
{
    const QString copy = m_copy->file;
    // Held before it takes a fallback store's name, so that no other program's start takes it over.
    std::shared_ptr<FallbackStore::Hold> hold = FallbackStore::Hold::take(copy);
    if (!hold) {
        abandonCopy(QStringLiteral("the copy at %1 could not be held: %2").arg(copy, qt_error_string(errno)));
        return;
    }
    // A free name: another fallback store of the store's may hold copies this one lacks.
    const QString whole = FallbackStore::takeFreeName(
        m_copy->fallback, [&copy](const QString &name) { return renameNoReplace(copy, name); });
    if (whole.isEmpty() || !FileIdentity::of(whole) || FileIdentity::of(copy)) {
        abandonCopy(QStringLiteral("the copy could not take its place at %1: %2").arg(whole, qt_error_string(errno)));
        return;
    }
    syncFolderOf(whole);
    m_stepHook(CopyStep::copied);
    m_copy.reset();
    m_state = State::watching;
    qCCritical(lcPersistence, "The history of %s, which had no room at its path, is in the fallback store at %s",
               qPrintable(m_path), qPrintable(whole));
    Q_EMIT copiedToFallback(whole, hold);
}

// A sound store took the path: the session goes on in it, else in the history kept beside it at `kept`.
void StoreFileGuard::goOnBesideReplacement(const QString &kept)
{
    QString error;
    std::unique_ptr<ModelContainer> replacing = ModelContainer::open(m_path, m_store.clock(), &error);
    QString what = QStringLiteral("was replaced by another file while Brindlewax was running. Your history now "
                                  "shows that file; the history held until then was kept as %1.")
                       .arg(kept);
    if (!replacing) {
        what = QStringLiteral("was replaced by a file Brindlewax cannot read (%1). Your history goes on in %2, where "
                              "the history held until then was kept.")
                   .arg(error, kept);
        replacing = ModelContainer::open(kept, m_store.clock(), &error);
    }
    if (!replacing) {
        qCCritical(lcPersistence, "The history kept at %s cannot be opened: %s", qPrintable(kept), qPrintable(error));
        return;
    }
    // Told while the path is still the store's: the history may go on in the copy kept.
    tell(what);
    m_store.switchToContainer(std::shared_ptr<ModelContainer>(replacing.release()));
}

void StoreFileGuard::abandonCopy(const QString &why, bool keep)
{
    qCCritical(lcPersistence, "Could not copy the history of %s: %s; trying again at the next save", qPrintable(m_path),
               qPrintable(why));
    // A copy the path had no room for goes to a fallback store; one that failed there waits for the next save.
    const bool toFallback = keep && m_copy->fallback.isEmpty() && m_copy->cause == Cause::deleted;
    m_copy.reset();
    if (toFallback && m_state != State::fallbackDue)
        inBackground(
            this,
            [path = m_historyOf.isEmpty() ? m_path : m_historyOf] { return FallbackStore::nameAndFolder(path, true); },
            [this](const auto &place) {
                if (m_state == State::fallbackDue)
                    copyToFallback(place);
            });
    if (keep)
        m_state = toFallback ? State::fallbackDue : State::copyFailed;
    Q_EMIT copyEnded();
}

void StoreFileGuard::copyToFallback(const std::optional<std::pair<QString, FallbackStore::Place>> &place)
{
    m_state = State::copyFailed;
    if (!place) {
        qCCritical(lcPersistence, "No folder takes a fallback store for %s either", qPrintable(m_path));
    } else if (!m_copy) {
        qCCritical(lcPersistence, "The history of %s goes to a fallback store at %s", qPrintable(m_path),
                   qPrintable(place->first));
        beginCopy(Cause::deleted, place->first, place->second.folder);
    }
}

void StoreFileGuard::reopen()
{
    // Until the connection holds the copy it keeps its second name, from which it is put back at a path
    // that lost it; nothing else at the path is ever opened in its stead.
    const QString whole = rewrittenPath(m_path);
    const auto holdsCopy = [this] { return FileIdentity::of(m_path) == m_file; };
    if (!holdsCopy() && !(m_file && FileIdentity::of(whole) == m_file && placeHeldCopy()))
        return;
    // A fallback store's new file is held as its old one was, so that no other start takes it over;
    // before the connection opens it, as a hold that fails closes its own descriptor.
    if (ModelContainer &container = m_store.container(); container.takeHold()) {
        std::shared_ptr<FallbackStore::Hold> hold = FallbackStore::Hold::take(m_path);
        if (!hold)
            qCWarning(lcPersistence, "The fallback store put back at %s could not be held against another start",
                      qPrintable(m_path));
        container.keepHold(std::move(hold));
    }
    QString error;
    const bool opened = m_store.context().reopenConnection(&error, holdsCopy);
    // Said once; tried again at each save and each check, as is a copy taken off the path meanwhile.
    if (!opened && (m_untold.isEmpty() || !holdsCopy()))
        return;
    if (opened && FileIdentity::of(whole) == m_file)
        QFile::remove(whole);
    QString what = m_untold.isEmpty() ? QStringLiteral("could be opened again; new copies are saved in it")
                                      : m_untold + QStringLiteral(". It was written again with every copy it held");
    m_untold.clear();
    if (opened) {
        m_state = State::watching;
        Q_EMIT copyEnded();
    } else {
        what += QStringLiteral(", but could not be opened again (%1): new copies go to a fallback store until it can")
                    .arg(error);
    }
    tell(what + QLatin1Char('.'));
}

void StoreFileGuard::tell(const QString &what)
{
    const QString message = QStringLiteral("Your clipboard history file %1 %2").arg(m_path, what);
    qCCritical(lcPersistence, "%s", qPrintable(message));
    Q_EMIT storeFileChanged(message);
}

void StoreFileGuard::closeConnection()
{
    OwnConnection::keepCompanionsAtClose(sqliteHandle(m_store.context().database()));
    m_store.context().closeConnection();
}

bool StoreFileGuard::finishInterruptedRewrite(const QString &storePath)
{
    finishFallbackRewrites(storePath);
    QString whole = rewrittenPath(storePath);
    const QString partial = rewritingPath(storePath);
    const QDateTime now = QDateTime::currentDateTime();
    // Ended while the finished copy was synced, before it was named whole.
    if (!QFileInfo::exists(whole) && isWholeCopy(partial)) {
        whole = partial;
    } else if (QFileInfo::exists(partial)) {
        // Of no use, but its store may be gone: the next session says so (and removes it) rather than say nothing.
        const QString unfinished = StoreSalvage::freeNameBeside(storePath, StoreBesideFiles::unfinishedTag, now);
        // The copy first: its journal alone beside it would let a copy cut short pass for whole.
        if (QFile::rename(partial, unfinished))
            qCCritical(lcPersistence, "A copy of the history cut short by the end of the program is at %s",
                       qPrintable(unfinished));
        QFile::rename(partial + QStringLiteral("-journal"), unfinished + QStringLiteral("-journal"));
    }
    const auto copy = FileIdentity::of(whole);
    const auto atPath = FileIdentity::of(storePath);
    if (!copy)
        return false;
    if (atPath == copy) {
        // Ended between the two names of a rename made by link and unlink.
        QFile::remove(whole);
        return true;
    }
    // Any log beside the missing store belongs to the file the copy was made from.
    if (!atPath)
        for (const char *suffix : companionSuffixes)
            QFile::remove(storePath + QLatin1String(suffix));
    QString aside;
    const QString at = placeWhole(whole, storePath, atPath ? std::optional(whatIsAt(storePath)) : std::nullopt, now,
                                  &aside, [](CopyStep) {});
    qCCritical(lcPersistence,
               "The copy of the history written for %s when it was deleted or replaced last time is at %s",
               qPrintable(storePath), qPrintable(at.isEmpty() ? whole : at));
    return at == storePath;
}

void StoreFileGuard::lookBeside()
{
    // Once per store file and session: a history opened in memory first is looked beside once it is
    // written. The files a salvage sets aside meanwhile are told by the salvage, and by the next start.
    if (m_path.isEmpty() || m_lookedBeside.contains(m_path))
        return;
    m_lookedBeside.insert(m_path);
    StoreBesideFiles::look(this, m_store.preferences(), m_path,
                           [this](const QString &told) { Q_EMIT storeFileChanged(told); });
}

} // namespace quillmere
