#pragma once

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Platform/Core/AtomicFile.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <optional>

struct sqlite3;

namespace quillmere {

class ClipStore;

// Keeps the history whole once the store's path no longer names the file its connection holds: the
// open history is copied a slice of pages per turn of the event loop, synced on a worker while saves
// wait in memory, and put back at the path, or in a fallback store when the path has no room.
class StoreFileGuard : public QObject {
    Q_OBJECT
public:
    // The steps of putting a copy in place, each of which a kill may end the program after.
    enum class CopyStep { begun, whole, setAside, copied, inPlace, connectionClosed };

    explicit StoreFileGuard(ClipStore &store, QObject *parent = nullptr);
    ~StoreFileGuard() override;

    // Looks at the store's path and starts what it calls for.
    void check();
    // The same, finishing any copy before it returns: for the end of the program.
    void checkNow();
    // Takes the identity of the store file the store holds now, leaving any copy under way.
    void rearm();
    // The store whose history the guarded file holds while it is a fallback store (empty otherwise):
    // a copy of it that finds no room at its path becomes one of that store's fallback stores.
    void setHistoryOf(const QString &storePath) { m_historyOf = storePath; }
    bool isCopying() const { return m_copy != nullptr; }
    // While a whole copy is synced, before it takes its place: saves wait in memory meanwhile.
    bool holdsSaves() const;
    // The store's path names the file its connection holds, open, and no copy of it is under way.
    bool holdsFileAtPath() const;
    // The file the store's connection was opened on, or none for a store in memory.
    std::optional<FileIdentity> heldFile() const { return m_file; }
    // Closes the store's connection, keeping its companions for us to remove when they are ours.
    void closeConnection();

    // A copy made whole for a deleted store but not yet in place when the program ended is put
    // there; when something else took the path since, it is kept beside it. True when put there.
    static bool finishInterruptedRewrite(const QString &storePath);
    static QString rewritingPath(const QString &storePath) { return storePath + QStringLiteral(".rewriting"); }
    // A whole copy not yet in place: it outlasts a later try, cut short, that writes at rewritingPath.
    static QString rewrittenPath(const QString &storePath) { return storePath + QStringLiteral(".rewritten"); }

    // For tests.
    void setStepHook(std::function<void(CopyStep)> hook) { m_stepHook = std::move(hook); }

Q_SIGNALS:
    // Words for the user on what happened to the store file and where the history is.
    void storeFileChanged(const QString &message);
    // The guard looks after the file the store holds now (or none).
    void rearmed();
    // A copy ended, put in place or given up, or the store put back opened again.
    void copyEnded();
    // The history of a deleted store is whole in the fallback store at `path`, which `hold` holds,
    // and goes on there.
    void copiedToFallback(const QString &path, std::shared_ptr<quillmere::FallbackStore::Hold> hold);

private:
    enum class Cause { deleted, replaced };
    // `copyFailed`: tried again at the next save, not at each change its own files make; `fallbackDue`:
    // the next copy goes to a fallback store; `reopening`: the store put back waits for its connection.
    enum class State { watching, copyFailed, fallbackDue, reopening };
    struct Copy;
    struct Synced;
    // `fallback`: the fallback store the copy is made for, in `folder`; empty for the store's path.
    void beginCopy(Cause cause, const QString &fallback, const QString &folder);
    void nextSlice();
    bool advance(int pages);
    std::function<Synced()> syncJob() const;
    void placeCopy(const Synced &synced);
    void putCopy(const Synced &synced);
    void putInFallback();
    void goOnBesideReplacement(const QString &kept);
    // `keep`: the history stays in an unlinked file only, so the copy is tried again.
    void abandonCopy(const QString &why, bool keep = true);
    void copyToFallback(const std::optional<std::pair<QString, FallbackStore::Place>> &place);
    // Puts the copy kept at rewrittenPath() back at the path it was taken off before the connection held it;
    // false when it went elsewhere, or could not be put back now.
    bool placeHeldCopy();
    void reopen();
    void tell(const QString &what);
    void watchFolder();
    void lookBeside();
    void noteCompanions();

    ClipStore &m_store;
    QString m_path;
    QString m_historyOf;
    std::optional<FileIdentity> m_file;
    // The log and the index beside the store that are the held file's.
    std::array<std::optional<FileIdentity>, 2> m_companions;
    std::unique_ptr<Copy> m_copy;
    State m_state = State::watching;
    // What became of the store put back at its path, until the user is told.
    QString m_untold;
    QSet<QString> m_lookedBeside;
    QTimer m_watch;
    QFileSystemWatcher m_folder;
    std::function<void(CopyStep)> m_stepHook = [](CopyStep) {};
};

} // namespace quillmere
