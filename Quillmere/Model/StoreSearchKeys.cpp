#include "Quillmere/Model/StoreSearchKeys.h"

#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Model/StoreDamage.h"
#include "Quillmere/Model/StoreRows.h"

#include <QUrl>
#include <QUuid>

namespace quillmere::StoreSearchKeys {

namespace {

bool run(QSqlQuery &q, const QString &sql, QSqlError *error)
{
    if (q.exec(sql))
        return true;
    *error = q.lastError();
    return false;
}

// A slice folds about this much text (a few milliseconds of accented text), so that long clips
// never make a slice long.
constexpr qint64 kSliceBytes = 256 << 10;

} // namespace

QByteArray keyOf(const ClipItem &clip)
{
    const std::optional<QString> customTitle = clip.customTitle(), text = clip.text(), fileName = clip.fileName(),
                                 linkTitle = clip.linkTitle(), recognized = clip.recognizedText(),
                                 source = clip.sourceAppName();
    return searchKeyOf({&customTitle, &text, &fileName, &linkTitle, &recognized, &source}, clip.kind());
}

QString writeStatement()
{
    // The date as the clip row holds it now, so that the key sorts with its clip.
    return QStringLiteral("INSERT OR REPLACE INTO clip_search(createdAt, clipID, key)"
                          " SELECT createdAt, id, ? FROM clips WHERE id = ?");
}

bool write(QSqlQuery &q, qint64 clipRow, const ClipItem &clip, QSqlError *error)
{
    return execWith(q, {keyOf(clip), clipRow}, error);
}

namespace {

bool hasTable(QSqlQuery &q, const QString &name, bool *exists, QSqlError *error)
{
    q.prepare(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?"));
    q.bindValue(0, name);
    if (!q.exec()) {
        *error = q.lastError();
        return false;
    }
    *exists = q.next();
    q.finish();
    return true;
}

bool isDated(QSqlQuery &q, bool *dated, QSqlError *error)
{
    if (!run(q, QStringLiteral("SELECT 1 FROM pragma_table_info('clip_search') WHERE name = 'createdAt'"), error))
        return false;
    *dated = q.next();
    q.finish();
    return true;
}

} // namespace

bool createTable(QSqlQuery &q, QSqlError *error)
{
    bool existed = false, dated = true;
    if (!hasTable(q, QStringLiteral("clip_search"), &existed, error) || (existed && !isDated(q, &dated, error)))
        return false;
    // Keys kept by clip row alone are moved to rows ordered by date, so that a search walks them
    // newest first without a join and stops once it has enough.
    if (!dated
        && !(run(q, QStringLiteral("DROP TRIGGER IF EXISTS clip_search_follows_deletes"), error)
             && run(q, QStringLiteral("ALTER TABLE clip_search RENAME TO clip_search_undated"), error)))
        return false;
    if (!(run(q,
              QStringLiteral("CREATE TABLE IF NOT EXISTS clip_search(createdAt NOT NULL, clipID INTEGER NOT NULL,"
                             " key BLOB NOT NULL, PRIMARY KEY(createdAt, clipID)) WITHOUT ROWID"),
              error)
          && run(q, QStringLiteral("DROP TRIGGER IF EXISTS clip_search_follows_deletes"), error)
          && run(q,
                 QStringLiteral("CREATE TRIGGER clip_search_follows_deletes AFTER DELETE ON clips BEGIN"
                                " DELETE FROM clip_search WHERE createdAt = old.createdAt AND clipID = old.id; END"),
                 error)
          && run(q, QStringLiteral("DROP TRIGGER IF EXISTS clip_search_follows_dates"), error)
          // A copy made again moves its clip to the top.
          && run(q,
                 QStringLiteral("CREATE TRIGGER clip_search_follows_dates AFTER UPDATE OF createdAt ON clips"
                                " WHEN new.createdAt IS NOT old.createdAt BEGIN UPDATE OR REPLACE clip_search"
                                " SET createdAt = new.createdAt WHERE createdAt = old.createdAt AND clipID = old.id;"
                                " END"),
                 error)
          && run(q,
                 QStringLiteral("CREATE TABLE IF NOT EXISTS clip_search_fill(nextID INTEGER NOT NULL,"
                                " lastID INTEGER NOT NULL)"),
                 error)))
        return false;
    if (!dated
        && !(run(q,
                 QStringLiteral("INSERT OR IGNORE INTO clip_search(createdAt, clipID, key) SELECT c.createdAt, c.id,"
                                " s.key FROM clip_search_undated s JOIN clips c ON c.id = s.clipID"),
                 error)
             && run(q, QStringLiteral("DROP TABLE clip_search_undated"), error)))
        return false;
    // The rows already there get their keys after the start, a slice at a time; those written
    // from now on come with theirs.
    return (existed
            || run(q,
                   QStringLiteral("INSERT INTO clip_search_fill(nextID, lastID) SELECT 0, max(id) FROM clips"
                                  " WHERE NOT EXISTS (SELECT 1 FROM clip_search_fill) HAVING max(id) IS NOT NULL"),
                   error))
        // The Source filter asks for the distinct names when its menu opens.
        && run(q,
               QStringLiteral("CREATE INDEX IF NOT EXISTS clips_by_source ON clips(sourceAppName)"
                              " WHERE sourceAppName IS NOT NULL"),
               error);
}

bool fillSlice(QSqlDatabase &db, int maxRows, bool *done, QString *error)
{
    *done = false;
    QSqlQuery q(db);
    const auto fail = [&](const QSqlQuery &failed) {
        *error = failed.lastError().text();
        StoreDamage::detector().report(db.databaseName(), failed.lastError());
        db.rollback();
        return false;
    };
    // IMMEDIATE: it reads before it writes, and another writer's commit in between would fail the
    // write at once instead of letting it wait.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = q.lastError().text();
        return false;
    }
    if (!q.exec(QStringLiteral("SELECT nextID, lastID FROM clip_search_fill LIMIT 1")))
        return fail(q);
    if (!q.next()) {
        q.finish();
        *done = true;
        return db.commit();
    }
    const qint64 from = q.value(0).toLongLong(), to = q.value(1).toLongLong();
    q.finish();
    struct Row {
        qint64 id;
        QByteArray key;
    };
    std::vector<Row> rows;
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT id, kind, customTitle, text, fileName, linkTitle, recognizedText, sourceAppName"
                             " FROM clips WHERE id >= ? AND id <= ? ORDER BY id LIMIT ?"));
    q.bindValue(0, from);
    q.bindValue(1, to);
    q.bindValue(2, maxRows);
    if (!q.exec())
        return fail(q);
    qint64 bytes = 0;
    bool cut = false;
    while (q.next()) {
        std::optional<QString> fields[6];
        for (int f = 0; f < 6; ++f) {
            fields[f] = optionalText(q.value(f + 2));
            bytes += fields[f] ? fields[f]->size() : 0;
        }
        rows.push_back({q.value(0).toLongLong(),
                        searchKeyOf({&fields[0], &fields[1], &fields[2], &fields[3], &fields[4], &fields[5]},
                                    clipKindOrText(q.value(1).toString()))});
        if (bytes > kSliceBytes) {
            cut = true;
            break;
        }
    }
    if (q.lastError().isValid())
        return fail(q);
    q.finish();
    // A key written with its clip since the table came is as new as this one.
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT OR IGNORE INTO clip_search(createdAt, clipID, key)"
                                  " SELECT createdAt, id, ? FROM clips WHERE id = ?"));
    QSqlError failure;
    for (const Row &row : rows)
        if (!execWith(insert, {row.key, row.id}, &failure)) {
            *error = failure.text();
            StoreDamage::detector().report(db.databaseName(), failure);
            db.rollback();
            return false;
        }
    const bool last = !cut && int(rows.size()) < maxRows;
    QSqlQuery mark(db);
    if (last) {
        if (!mark.exec(QStringLiteral("DELETE FROM clip_search_fill")))
            return fail(mark);
    } else {
        mark.prepare(QStringLiteral("UPDATE clip_search_fill SET nextID = ?"));
        mark.bindValue(0, rows.empty() ? from : rows.back().id + 1);
        if (!mark.exec())
            return fail(mark);
    }
    if (!db.commit()) {
        *error = db.lastError().text();
        db.rollback();
        return false;
    }
    *done = last;
    return true;
}

bool fillSliceOf(const QString &path, int maxRows, bool *done, QString *error)
{
    const QString name = QStringLiteral("quillmere-key-fill-") + QUuid::createUuid().toString(QUuid::Id128);
    bool filled = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        // Never made: a file at a deleted store's path would pass for one put in its place.
        db.setDatabaseName(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
        // A save of the main thread waits no longer than a slice; this one waits for a save.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=5000"));
        QSqlError setUp;
        if (!db.open())
            *error = describe(db.lastError());
        else if (!ModelContainer::setUpConnection(db, true, &setUp))
            *error = describe(setUp);
        else
            filled = fillSlice(db, maxRows, done, error);
    }
    QSqlDatabase::removeDatabase(name);
    return filled;
}

} // namespace quillmere::StoreSearchKeys
