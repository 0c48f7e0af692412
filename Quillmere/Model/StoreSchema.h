#pragma once

#include "Quillmere/Model/Records.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <vector>

namespace quillmere {
class ModelContext;
}

namespace quillmere::StoreSchema {

// The page size of a new store (fixed once a page is written): clip rows of a few hundred bytes
// waste less of a larger page.
constexpr int pageBytes = 8192;

// The schema version this build writes (kept in PRAGMA user_version).
int currentVersion();

// When a start brings up to date the rows it finds out of date: at once, or, on a disk without
// room for that, later while the store is used as it is: capture orders after the start (the
// capture order fill, captureOrderFillSlice), clip keys at the next start with room.
enum class Rows { now, later };

// Brings a store from `fromVersion` to the current version, one step per version, inside the
// caller's transaction; the caller sets user_version afterwards. False with `error` set when a
// step failed (the caller rolls back, so the store stays as it was). `Rows::later` is for a
// store of the current version only: what it writes is a few pages.
bool migrate(QSqlDatabase &db, int fromVersion, Rows rows, QSqlError *error);

// One slice of the capture order fill, after migrate(..., Rows::later): gives up to `maxRows`
// clips their capture order in a transaction of its own, and indexes the order once all have one.
// `*done` when nothing is left. A slice that fails leaves the store as it was.
bool captureOrderFillSlice(QSqlDatabase &db, int maxRows, bool *done, QSqlError *error);

// Whether a store moved from `fromVersion` left enough free pages to be worth rewriting (VACUUM,
// outside the migration's transaction).
bool rewriteAfterMigrating(int fromVersion);
// Whether a quarter of the store's pages are free: a rewrite that failed or was stopped is tried
// again, and a small share never holds up a start.
bool mostlyFree(QSqlDatabase &db);

struct StoredColumn {
    QString name;
    QString type;
};

// The columns the table of `entity` has in the store file, as SQLite declares them.
std::vector<StoredColumn> storedColumns(const ModelContext &context, Entity entity);

} // namespace quillmere::StoreSchema
