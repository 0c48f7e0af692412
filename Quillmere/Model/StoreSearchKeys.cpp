#include "Quillmere/Model/StoreSearchKeys.h"

#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Model/StoreRows.h"

#include <QStringList>

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
    return QStringLiteral("INSERT OR REPLACE INTO clip_search(clipID, key) VALUES(?, ?)");
}

bool write(QSqlQuery &q, qint64 clipRow, const ClipItem &clip, QSqlError *error)
{
    return execWith(q, {clipRow, keyOf(clip)}, error);
}

bool createTable(QSqlQuery &q, QSqlError *error)
{
    if (!run(q, QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'clip_search'"), error))
        return false;
    const bool existed = q.next();
    q.finish();
    return run(q,
               QStringLiteral("CREATE TABLE IF NOT EXISTS clip_search(clipID INTEGER PRIMARY KEY, key BLOB NOT NULL)"),
               error)
        && run(q,
               QStringLiteral("CREATE TRIGGER IF NOT EXISTS clip_search_follows_deletes AFTER DELETE ON clips"
                              " BEGIN DELETE FROM clip_search WHERE clipID = old.id; END"),
               error)
        && run(q,
               QStringLiteral("CREATE TABLE IF NOT EXISTS clip_search_fill(nextID INTEGER NOT NULL,"
                              " lastID INTEGER NOT NULL)"),
               error)
        // The rows already there get their keys after the start, a slice at a time; those written
        // from now on come with theirs.
        && (existed
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
        db.rollback();
        return false;
    };
    if (!db.transaction()) {
        *error = db.lastError().text();
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
    insert.prepare(QStringLiteral("INSERT OR IGNORE INTO clip_search(clipID, key) VALUES(?, ?)"));
    QSqlError failure;
    for (const Row &row : rows)
        if (!execWith(insert, {row.id, row.key}, &failure)) {
            *error = failure.text();
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

bool matchesNewestFirst(QSqlDatabase db, const std::vector<QByteArray> &words, const Visit &visit,
                        const std::atomic<bool> *stop, QString *error, bool holding)
{
    QStringList held;
    for (size_t i = 0; i < words.size(); ++i)
        held << QStringLiteral("instr(s.key, ?) > 0");
    // Bytes in bytes: instr over two blobs is the plain substring test the search rule asks.
    const QString where = words.empty()
        ? QString()
        : QStringLiteral(" WHERE s.clipID IS NULL OR %1(%2)")
              .arg(holding ? QString() : QStringLiteral("NOT "), held.join(QStringLiteral(" AND ")));
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("SELECT c.id, s.clipID IS NOT NULL FROM clips c"
                                  " LEFT JOIN clip_search s ON s.clipID = c.id%1"
                                  " ORDER BY c.createdAt DESC, c.id DESC")
                       .arg(where))) {
        *error = q.lastError().text();
        return false;
    }
    for (int i = 0; i < int(words.size()); ++i)
        q.bindValue(i, words[size_t(i)]);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    while (q.next()) {
        if (stop && stop->load(std::memory_order_relaxed))
            return false;
        if (!visit(q.value(0).toLongLong(), q.value(1).toBool()))
            return true;
    }
    if (q.lastError().isValid()) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}

} // namespace quillmere::StoreSearchKeys
