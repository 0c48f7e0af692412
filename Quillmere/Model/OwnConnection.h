#pragma once

#include <QString>

struct sqlite3;

namespace quillmere {

// A worker's connection of its own to a store file that other connections hold open too. It never
// makes a file that is not there, waits up to `busyMs` for their locks, and its close leaves the
// file as they expect: no log moved into it, the log and its index left at their names.
class OwnConnection {
public:
    // `flags`: SQLite's open flags (SQLITE_OPEN_READWRITE when none are given).
    explicit OwnConnection(const QString &path, int flags = 0, int busyMs = 5000);
    ~OwnConnection();
    OwnConnection(const OwnConnection &) = delete;
    OwnConnection &operator=(const OwnConnection &) = delete;

    // Null when it could not be opened: error() says why.
    sqlite3 *db() const { return m_db; }
    QString error() const { return m_error; }

    // Sets up a connection opened elsewhere (by Qt's driver, say) to close as one of these does.
    static void closeAsOwn(sqlite3 *db);
    // Once closed, `db` leaves the log and its index at their names: another file's may have them by now.
    static void keepCompanionsAtClose(sqlite3 *db);

private:
    sqlite3 *m_db = nullptr;
    QString m_error;
};

} // namespace quillmere
