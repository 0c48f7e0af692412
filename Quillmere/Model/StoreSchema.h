#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <vector>

namespace quillmere::StoreSchema {

// The schema version this build writes (kept in PRAGMA user_version).
int currentVersion();

// Brings a store from `fromVersion` to the current version, one step per version, inside the
// caller's transaction; the caller sets user_version afterwards. False with `error` set when a
// step failed (the caller rolls back, so the store stays as it was).
bool migrate(QSqlDatabase &db, int fromVersion, QSqlError *error);

struct StoredColumn {
    QString name;
    QString type;
};

// The columns a table of the store file has, as SQLite declares them; none when it has no such table.
std::vector<StoredColumn> storedColumns(const QSqlDatabase &db, const QString &table);

} // namespace quillmere::StoreSchema
