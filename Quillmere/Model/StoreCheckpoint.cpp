#include "Quillmere/Model/StoreCheckpoint.h"

#include <QFile>
#include <sqlite3.h>

namespace quillmere {

StoreCheckpoint::StoreCheckpoint(QString storePath) : m_path(std::move(storePath))
{
    // Made on one thread and used, retired and ended on others: the lock orders what it was made
    // with before all of that, where a thread checker cannot see through the pool's own hand-over.
    const std::lock_guard lock(m_running);
}

StoreCheckpoint::~StoreCheckpoint()
{
    const std::lock_guard lock(m_running);
    close();
}

void StoreCheckpoint::close()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

void StoreCheckpoint::retire()
{
    const std::lock_guard lock(m_running);
    m_retired = true;
    close();
}

void StoreCheckpoint::run()
{
    const std::lock_guard lock(m_running);
    if (m_retired)
        return;
    // A file put at the path meanwhile is not the store the saves go to.
    const std::optional<FileIdentity> file = FileIdentity::of(m_path);
    if (!file || (m_file && *file != *m_file)) {
        close();
        return;
    }
    if (!m_db) {
        // Never makes a file that is not there.
        if (sqlite3_open_v2(QFile::encodeName(m_path).constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                            nullptr)
            != SQLITE_OK) {
            close();
            return;
        }
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        StoreFileGuard::keepCompanionsAtClose(m_db);
        // The connection learns that the store keeps a log once it has read it.
        if (sqlite3_exec(m_db, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
            close();
            return;
        }
        m_file = file;
    }
    sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

} // namespace quillmere
