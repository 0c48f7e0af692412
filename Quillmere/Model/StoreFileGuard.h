#pragma once

#include "Quillmere/Model/FallbackStore.h"
#include <QElapsedTimer>
#include <QFileSystemWatcher>

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>

struct sqlite3;
struct sqlite3_backup;

namespace quillmere {

class ClipStore;

// Which file a path names: the same path may come to name another one.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity &) const = default;
    // None when nothing is at `path`.
    static std::optional<FileIdentity> of(const QString &path);
};

// Notices, as its folder changes, at each save, every half minute and as the program ends, that the
// store's path no longer names the file its connection holds, and keeps the history whole. A store file deleted
// under the program is written again at its path from the open connection. One replaced by
// another store is left as it was put there: the history the connection held is kept beside it
// and the session goes on in the file at the path; one replaced by a file that is no store is
// set aside and the history written again at the path, as when deleted. The copy is taken a slice of pages per turn of
// the event loop, and saves made meanwhile reach it too; it is synced on a worker, while saves
// wait in memory, and put in place in one turn. A deleted store whose path has no room for the
// copy is copied the same way to a fallback store in another folder, which the session goes on in
// (see FallbackStore); the end of the program finishes a copy as long as it advances.
class StoreFileGuard : public QObject {
    Q_OBJECT
public:
    // The steps from the synced copy on, each of which a kill may end the program after.
    // `begun`: the copy's file is made and nothing is in it yet.
    enum class Step { begun, whole, setAside, copied, inPlace, connectionClosed };
    static constexpr int pagesPerSlice = 256;
    static constexpr int checkIntervalMs = 30 * 1000;

    explicit StoreFileGuard(ClipStore &store, QObject *parent = nullptr);
    ~StoreFileGuard() override;

    // Looks at the store's path and starts what it calls for.
    void check();
    // The same, finishing any copy before it returns: for the end of the program, when the file
    // the connection holds goes with it.
    void checkNow();
    // Takes the identity of the store file the store holds now, leaving any copy under way.
    void rearm();
    bool isCopying() const { return m_backup != nullptr || m_syncing; }
    // While a whole copy is synced, before it takes its place: saves wait in memory meanwhile.
    bool holdsSaves() const { return m_syncing; }
    // The store's path names the file its connection holds, open, and no copy of it is under way.
    bool holdsFileAtPath() const;
    // The file the store's connection was opened on, or none for a store in memory.
    std::optional<FileIdentity> heldFile() const { return m_file; }
    // Closes the store's connection, keeping its companions for us to remove when they are ours.
    void closeConnection();
    // Once closed, `db` leaves the log and its index at their names: another file's may have them by now.
    static void keepCompanionsAtClose(sqlite3 *db);

    // A copy made whole for a deleted store but not yet in place when the program ended is put
    // there; when something else took the path since, it is kept beside it. True when put there.
    static bool finishInterruptedRewrite(const QString &storePath);
    static QString rewritingPath(const QString &storePath);
    static QString rewrittenPath(const QString &storePath);

    // For tests: called after each step of putting a copy in place.
    void setStepHook(std::function<void(Step)> hook) { m_stepHook = std::move(hook); }

Q_SIGNALS:
    // Words for the user on what happened to the store file and where the history is.
    void storeFileChanged(const QString &message);
    // The guard looks after the file the store holds now (or none).
    void rearmed();
    // A copy ended, put in place or given up, or the store put back opened again.
    void copyEnded();
    // The history of a deleted store is whole in the fallback store at `path`, and goes on there.
    void copiedToFallback(const QString &path);

private:
    enum class Cause { deleted, replaced };
    void startCopy(Cause cause);
    void copySlice();
    // `waitHere`: syncs the copy on this thread rather than on a worker.
    void copyFinished(bool waitHere);
    struct Synced;
    // Puts the synced copy in place, or gives it up when it could not be synced.
    void placeCopy(const Synced &synced);
    // `keep`: the history stays in an unlinked file only, so it goes to a fallback store.
    void abandonCopy(const QString &why, bool keep = true);
    // The file a copy is written to until it is whole.
    QString copyPath() const;
    void beginBackup(const QString &folder);
    void copyToFallback(const std::optional<std::pair<QString, FallbackStore::Place>> &place);
    void putInFallback();
    void watchFolder();
    // Tells what an earlier session that was stopped while handling the store file left beside it.
    void lookBeside();
    // `what` says what became of the store file, for the user.
    void putBackAtPath(const QString &what);
    // A replacement that is no store of ours is set aside as it is and the history put back at the path.
    // `foreign`: it is another program's database.
    void putBackInsteadOfUnreadable(bool foreign);
    // Opens the connection to the store put back; tried again at each check until it opens.
    void reopen();
    void keepBesideReplacement();
    void removeOwnCompanions();
    void step(Step s);

    ClipStore &m_store;
    QString m_path;
    std::optional<FileIdentity> m_file, m_wal, m_shm;
    Cause m_cause = Cause::deleted;
    sqlite3 *m_copy = nullptr;
    sqlite3_backup *m_backup = nullptr;
    bool m_syncing = false;
    // Told apart from the sync of an earlier copy, whose result may come back late.
    quint64 m_generation = 0;
    bool m_reopenPending = false;
    QString m_told;
    QString m_lookedBeside;
    QTimer m_slice;
    QTimer m_watch;
    QFileSystemWatcher m_folder;
    // The copy failed for want of room or a file, and is tried again at the next save.
    bool m_copyFailed = false;
    // Where the copy under way goes when not to the path, and whether one is due there.
    QString m_fallbackPath;
    bool m_fallbackDue = false;
    std::function<void(Step)> m_stepHook;
};

} // namespace quillmere
