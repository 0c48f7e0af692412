#pragma once

#include "Quillmere/Model/StoreFileGuard.h"

#include <QString>
#include <mutex>
#include <optional>

struct sqlite3;

namespace quillmere {

// Moves what the store's log holds into the store file from a connection of its own, off the main
// thread. During a long run of saves on the main thread (a restore of many copies), the main
// connection's own checkpoint, a copy of the whole log and two syncs, would otherwise come due
// in the middle of a save every few of them; once the log is moved, the main connection starts
// it over instead. A checkpoint changes no row: it only places pages already committed.
class StoreCheckpoint {
public:
    explicit StoreCheckpoint(QString storePath);
    ~StoreCheckpoint();
    StoreCheckpoint(const StoreCheckpoint &) = delete;
    StoreCheckpoint &operator=(const StoreCheckpoint &) = delete;

    // On any thread but the main one. Never waits for another connection: a checkpoint under way
    // elsewhere, or a path that no longer names the file first met, is left.
    void run();
    // Closes the connection for good, once any run under way has ended: for a worker, before the
    // file is moved. No close of it checkpoints or removes the log and its index by name: by then
    // the file may be set aside, and another store's log have that name.
    void retire();

private:
    void close();

    QString m_path;
    std::mutex m_running;
    bool m_retired = false;
    std::optional<FileIdentity> m_file;
    sqlite3 *m_db = nullptr;
};

} // namespace quillmere
