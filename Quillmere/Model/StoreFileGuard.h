#pragma once

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
// wait in memory, and put in place in one turn. While no copy can be made (a full disk), the
// history goes to recovery files in another folder, which the next start brings back; the end of
// the program waits for the copy, or for those files, as long as the writing advances.
class StoreFileGuard : public QObject {
    Q_OBJECT
public:
    // The steps from the synced copy on, each of which a kill may end the program after.
    // `begun`: the copy's file is made and nothing is in it yet.
    enum class Step { begun, whole, setAside, copied, inPlace, connectionClosed };
    static constexpr int pagesPerSlice = 256;
    // What one turn of the event loop gathers for the recovery files while the program runs: the
    // clips read from the store, and the image and file bytes loaded for them, at most about this.
    static constexpr int spillSliceClips = 500;
    static constexpr qint64 spillSliceBytes = 8 * 1024 * 1024;
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
    // Closes the store's connection, keeping its companions for us to remove when they are ours.
    void closeConnection();
    // Once closed, `db` leaves the log and its index at their names: another file's may have them by now.
    static void keepCompanionsAtClose(sqlite3 *db);

    // A copy made whole for a deleted store but not yet in place when the program ended is put
    // there; when something else took the path since, it is kept beside it. True when put there.
    static bool finishInterruptedRewrite(const QString &storePath);
    static QString rewritingPath(const QString &storePath);
    static QString rewrittenPath(const QString &storePath);
    // The recovery files written while no copy could be made, until one is in place.
    QStringList spilled() const { return m_spillFiles; }
    // Gathering clips for recovery files, or writing them, while the program runs.
    bool isKeepingElsewhere() const { return m_round != nullptr; }

    // For tests: called after each step of putting a copy in place.
    void setStepHook(std::function<void(Step)> hook) { m_stepHook = std::move(hook); }
    // For tests: called after each slice gathered for recovery files, with the clips it took.
    void setSpillSliceHook(std::function<void(int)> hook) { m_spillSliceHook = std::move(hook); }

Q_SIGNALS:
    // Words for the user on what happened to the store file and where the history is.
    void storeFileChanged(const QString &message);
    // The guard looks after the file the store holds now (or none).
    void rearmed();
    // A copy ended, put in place or given up, or the store put back opened again.
    void copyEnded();

private:
    enum class Cause { deleted, replaced };
    void startCopy(Cause cause);
    void copySlice();
    // `waitHere`: syncs the copy on this thread rather than on a worker.
    void copyFinished(bool waitHere);
    struct Synced;
    // Puts the synced copy in place, or gives it up when it could not be synced.
    void placeCopy(const Synced &synced);
    // `keep`: the history stays in an unlinked file only, so it is written elsewhere.
    void abandonCopy(const QString &why, bool keep = true);
    // Writes the clips no recovery file of this episode holds yet, to a folder other than the store's:
    // gathered a slice per turn here, written on a worker.
    void keepElsewhere();
    // The same at the end of the program: gathered and written before it returns.
    void keepElsewhereNow();
    struct SpillRound;
    struct SpillWrite;
    void gatherTurn();
    // Gathers the next slice of the round; true when what it gathered is due to be written.
    bool gatherSlice(SpillRound &round);
    // `waitHere`: writes on this thread rather than on a worker.
    void writeGathered(bool waitHere);
    void gatheredWritten();
    void endRound();
    void removeInBackground(const QStringList &files);
    // A copy is in place: what was kept elsewhere meanwhile is no longer needed.
    void forgetKeptElsewhere();
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
    QStringList m_spillFiles;
    // By content, as recovery files are brought back.
    QSet<QString> m_spilled;
    bool m_unkept = false;
    QTimer m_spill;
    QTimer m_gather;
    std::unique_ptr<SpillRound> m_round;
    std::shared_ptr<SpillWrite> m_writing;
    // Another round was called for while one was under way.
    bool m_spillAgain = false;
    QElapsedTimer m_lastSpill;
    std::function<void(Step)> m_stepHook;
    std::function<void(int)> m_spillSliceHook;
};

} // namespace quillmere
