#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

namespace quillmere {

class ClipItem;

// Each clip's search key (see searchKeyOf) kept in the store's table clip_search, written with
// the clip and ordered by its date, so that a search reads short keys newest first rather than
// every clip, and stops once it has enough (see SearchReader).
// Rows of a store made before the table are given their keys a slice at a time (fillSlice).
namespace StoreSearchKeys {

// The key of a clip as the history search folds it.
QByteArray keyOf(const ClipItem &clip);
// The statement write() runs; prepared once by the caller.
QString writeStatement();
// Stores the key of a clip row just written, inside the caller's transaction.
bool write(QSqlQuery &q, qint64 clipRow, const ClipItem &clip, QSqlError *error);

// The table, its upkeep on deletion and the mark that older rows still need keys.
bool createTable(QSqlQuery &q, QSqlError *error);
// Gives keys to up to `maxRows` clips (fewer past a quarter megabyte of text) that a store from
// before the table holds, in its own transaction. `*done` when none is left.
bool fillSlice(QSqlDatabase &db, int maxRows, bool *done, QString *error);
// The same on a connection of its own to the store file at `path`, for a worker: the folding and
// writing, and the checkpoints its commits bring, take nothing of the main thread's time. Fails
// when no file is there.
bool fillSliceOf(const QString &path, int maxRows, bool *done, QString *error);

} // namespace StoreSearchKeys

} // namespace quillmere
