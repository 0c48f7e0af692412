#pragma once

#include "Quillmere/Model/ModelContext.h"
#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QHash>
#include <QSqlError>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTimer;

namespace quillmere {

class StoreSyncer;
namespace FallbackStore {
class Hold;
}

// One database and its main context.
class ModelContainer {
public:
    // `foreign`: another program's database, left as it is.
    // `noRoomToUpdate`: an older store whose disk has no room to bring it up to date, left as it was.
    enum class OpenFailure { none, unwritable, corrupt, newerSchema, foreign, noRoomToUpdate, other };
    // What the file at a path is to this program: one of its stores, a database with no table yet
    // (which becomes one), another program's database, a database another process holds locked
    // now, or unknown (unreadable, damaged, no database).
    enum class FileKind { missing, ours, empty, foreign, locked, unknown };
    // Read without changing the file or waiting on another process's lock.
    static FileKind kindOf(const QString &path);

    // What an error of SQLite on the store file says of it.
    static OpenFailure failureOf(const QSqlError &error);

    // Sets a new connection to the store up as every connection to it must be; the first error.
    static bool setUpConnection(QSqlDatabase &db, bool onDisk, QSqlError *error);
    // How a connection's commits are synced, set again once the end has begun.
    static QLatin1String syncPragma();

    // `path` empty opens an in-memory store.
    static std::unique_ptr<ModelContainer> open(const QString &path, Clock clock, QString *error,
                                                OpenFailure *failure = nullptr);
    ~ModelContainer();

    ModelContext &mainContext() { return *m_context; }
    // The store file (its "-wal" and "-shm" companions sit beside it); empty in memory.
    QString storeURL() const { return m_path; }
    bool isInMemory() const { return m_path.isEmpty(); }
    // The file at storeURL() when this container first opened it, which may have left the path since.
    std::optional<FileIdentity> openedFile() const { return m_openedFile; }
    QString connectionName() const { return m_connectionName; }

    // ModelContext::sourceAppsNewestFirst of what is saved in the store file at `path`, read on a
    // connection of its own, so that a thread other than the store's may ask.
    static std::vector<std::pair<QString, std::optional<QString>>> sourceAppsStoredAt(const QString &path);

    // The PRAGMA user_version this build writes; older stores are migrated when opened.
    static int schemaVersion();

    // Calls `then` on `receiver`'s thread once every commit made on this store so far holds
    // through a power cut; at once in memory. Never called when `receiver` is gone first.
    void whenSynced(QObject *receiver, std::function<void()> then);
    // Another connection committed to this store's file: whenSynced waits for that commit too.
    void committedElsewhere();
    // Syncs of the store file made so far (none in memory).
    quint64 syncs() const;

    // A fallback store's file: this program's hold on it, kept while the container is open.
    void keepHold(std::shared_ptr<FallbackStore::Hold> hold) { m_hold = std::move(hold); }
    // Lets go of it to the caller: the history has left the file.
    std::shared_ptr<FallbackStore::Hold> takeHold() { return std::exchange(m_hold, nullptr); }

    // While `held` answers true the capture order fill writes nothing, as saves wait then.
    void holdCaptureOrderFillWhile(std::function<bool()> held) { m_captureOrderFillHeld = std::move(held); }

private:
    // The capture order fill: the clips a start on a nearly full disk left without a capture order
    // get theirs a slice at a time on the main thread, between saves. A slice that finds no room or
    // the store locked is tried again.
    static constexpr int kCaptureOrderFillSlice = 256;
    static constexpr std::chrono::milliseconds kCaptureOrderFillPause{10};
    static constexpr std::chrono::milliseconds kCaptureOrderFillRetry{1000};

    ModelContainer() = default;
    void scheduleCaptureOrderFill(std::chrono::milliseconds delay);
    void runCaptureOrderFill();

    QString m_path;
    std::optional<FileIdentity> m_openedFile;
    // Let go of after the connection has closed.
    std::shared_ptr<FallbackStore::Hold> m_hold;
    QString m_connectionName;
    std::unique_ptr<ModelContext> m_context;
    std::unique_ptr<StoreSyncer> m_syncer;
    std::unique_ptr<QTimer> m_captureOrderFill;
    std::function<bool()> m_captureOrderFillHeld;
    bool m_captureOrderFillWaits = false;
};

enum class PersistenceMode { cloudKit, localOnly, inMemory };
QString persistenceModeName(PersistenceMode mode);

struct PersistenceSetup {
    std::shared_ptr<ModelContainer> container;
    PersistenceMode mode = PersistenceMode::inMemory;
    // Where an unreadable store file was moved before a new one was started; else empty.
    QString movedAsidePath;
    // The store file that could not be used, when the history is kept in memory instead of it.
    QString unavailableStorePath;
    // The clips read from the file moved aside into the new one.
    int salvagedClips = 0;
    // That salvage was begun by an earlier start and cut short.
    bool salvageResumed = false;
    StoreSalvage::Loss salvageLoss;
    // What was moved aside was another program's database, left as it was.
    bool movedAsideForeign = false;
    // Why the store file was left as it is and the history kept in memory, when neither the
    // file's damage nor its disk is the cause; else empty.
    QString unavailableReason = {};
    // The store file is damaged, or an earlier start left its salvage unfinished: the history is
    // kept in memory until a salvage off the main thread (StoreCaretaker) puts it back.
    bool salvagePending = false;
    // PersistenceOptions::lockStore, for each later opening of the store.
    std::function<bool(QString *why)> lockStore = {};
};

struct PersistenceOptions {
    // Where the local store lives; empty gives the default under the XDG data dir.
    QString storePath;
    Clock clock = systemClock();
    // The replicated folder the store is mirrored to; empty keeps the store local only.
    QString syncFolder;
    // Takes the store's lock against a second program, or tells why it cannot; the store is opened
    // only while it holds. None: no lock is asked for.
    std::function<bool(QString *why)> lockStore = {};
};

// What opening the store file met, for the start to tell.
struct StoreOpening {
    // Where an unreadable store file was set aside; else empty.
    QString movedAsidePath;
    // The clips read from it into the new store.
    int salvagedClips = 0;
    // The salvage was begun by an earlier start and cut short.
    bool salvageResumed = false;
    StoreSalvage::Loss salvageLoss;
    // What was set aside was another program's database, left as it was.
    bool movedAsideForeign = false;
    ModelContainer::OpenFailure failure = ModelContainer::OpenFailure::none;
    QString error;
    // The store file is damaged or its salvage was left unfinished: none was opened, and a
    // salvage must come first.
    bool needsSalvage = false;
};

class ModelContainerFactory {
public:
    static QString defaultStorePath();
    // The local file, mirrored to the sync folder when one is set (`cloudKit`), else memory.
    // A damaged store file is never deleted: the history starts in memory with `salvagePending`.
    static PersistenceSetup makeSetup(const PersistenceOptions &options = {});
    // The local store file; none when it cannot be used now (`opening` says why), or when it is
    // damaged or an earlier salvage of it is unfinished (`opening->needsSalvage`): a salvage takes
    // a while, so it is never run here but on a worker (salvageStoreFile), then openSalvaged.
    static std::unique_ptr<ModelContainer> openStoreFile(const QString &path, const Clock &clock,
                                                         StoreOpening *opening);
    // Sets the damaged store at `path` aside with what can still be read of it put in its place,
    // or finishes the salvage an earlier try left (see StoreSalvage); none when no salvage was
    // due after all. Blocks: for a worker.
    static std::optional<StoreSalvage::Outcome> salvageStoreFile(const QString &path, const QDateTime &now,
                                                                 const StoreSalvage::Limits &limits = {});
    // The store a salvage put at `path`, or why there is none.
    static std::unique_ptr<ModelContainer> openSalvaged(const QString &path, const Clock &clock,
                                                        const StoreSalvage::Outcome &salvaged, StoreOpening *opening);
    static std::shared_ptr<ModelContainer> makeInMemoryContainer(const Clock &clock, QString *error);
};

} // namespace quillmere
