#pragma once

#include <QSqlDatabase>
#include <QSqlError>

namespace quillmere::StoreSchema {

// The schema version this build writes (kept in PRAGMA user_version).
int currentVersion();

// Brings a store from `fromVersion` to the current version, one step per version, inside the
// caller's transaction; the caller sets user_version afterwards. False with `error` set when a
// step failed (the caller rolls back, so the store stays as it was).
bool migrate(QSqlDatabase &db, int fromVersion, QSqlError *error);

} // namespace quillmere::StoreSchema
