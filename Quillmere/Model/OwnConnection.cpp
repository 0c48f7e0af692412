#include "Quillmere/Model/OwnConnection.h"

#include <QFile>
#include <sqlite3.h>

namespace quillmere {

OwnConnection::OwnConnection(const QString &path, int flags, int busyMs)
{
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, flags ? flags : SQLITE_OPEN_READWRITE, nullptr)
        != SQLITE_OK) {
        m_error = QString::fromUtf8(m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(SQLITE_CANTOPEN));
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return;
    }
    closeAsOwn(m_db);
    sqlite3_busy_timeout(m_db, busyMs);
}

OwnConnection::~OwnConnection()
{
    sqlite3_close_v2(m_db);
}

void OwnConnection::closeAsOwn(sqlite3 *db)
{
    if (!db)
        return;
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    keepCompanionsAtClose(db);
}

void OwnConnection::keepCompanionsAtClose(sqlite3 *db)
{
    // The last connection on a file would otherwise remove the log and its index by their names.
    int keep = 1;
    if (db)
        sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
}

} // namespace quillmere
