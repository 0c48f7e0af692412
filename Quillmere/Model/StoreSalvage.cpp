#include "Quillmere/Model/StoreSalvage.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/StoreBesideFiles.h"
#include "Quillmere/Model/StoreFilePages.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Model/StoreSchema.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/BoundedFile.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>
#include <algorithm>
#include <iterator>
#include <limits>
#include <sqlite3.h>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quillmere::StoreSalvage {
namespace {

using Bytes = std::optional<QByteArray>;

struct SchemaEntry {
    QString type, name, sql, ofTable;
    quint32 root = 0;
    bool copied = false;
};

// How a column that takes no NULL is given a value for one (numbered as Copier::columnsOf's query gives
// them); a lost hash is given the one its content gives once every table is in.
enum class Fill { none, byDefault, newIdentity, hashFromContent };

// A lost identity is made anew, as for a new row: a default would give every such row the same.
QVariant newIdentity(const QString &table)
{
    const QUuid id = QUuid::createUuid();
    return table == QLatin1String("clips") ? ClipKeys::dedupID(id) : QVariant(uuidText(id));
}

// A page read back as zeroes ends a blob in them; as a blob may end in zeroes of its own, only one
// whose hash does not vouch for it counts (a hash alone does not: a synced clip keeps its sender's).
bool endsZeroed(const Bytes &bytes)
{
    const qsizetype run = bytes ? std::min<qsizetype>(8, bytes->size()) : 0;
    return run > 0 && std::all_of(bytes->cend() - run, bytes->cend(), [](char c) { return c == 0; });
}

bool contentDamaged(const QVariant &stored, const ClipKeys::HashSource &source, const Bytes &image, const Bytes &file)
{
    const ClipKind kind = clipKindOrText(source.kindRawValue);
    if (ClipKeys::isHashFromContent(stored)) {
        // Kept without a hash as its words were stored exactly as captured: words no longer in a
        // form stored exactly (zeroes where a page was) tell of damage.
        const QString hash = CapturedContent::contentHash(kind, source.text, std::nullopt, std::nullopt,
                                                          source.fileName, source.fileTypeIdentifier);
        return !ClipKeys::isHashFromContent(ClipKeys::contentHash(hash, source));
    }
    return (endsZeroed(image) || endsZeroed(file))
        && CapturedContent::contentHash(kind, source.text, image, file, source.fileName, source.fileTypeIdentifier)
        != ClipKeys::contentHashFrom(stored, source);
}

// Nothing was put in place: why, and whether a later try may do better.
int failed(Outcome *out, const QString &why, bool later)
{
    out->error = why;
    out->unfinished = later;
    return -1;
}

// A statement of SQLite's own on a Qt connection's handle, finalized when it goes.
class Statement {
public:
    Statement(sqlite3 *db, const QString &sql)
    {
        const QByteArray text = sql.toUtf8();
        if (!db)
            m_error = QStringLiteral("no connection");
        else if (sqlite3_prepare_v2(db, text.constData(), int(text.size()), &m_statement, nullptr) != SQLITE_OK)
            m_error = QString::fromUtf8(sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    explicit operator bool() const { return m_statement != nullptr; }
    operator sqlite3_stmt *() const { return m_statement; }
    const QString &error() const { return m_error; }

private:
    sqlite3_stmt *m_statement = nullptr;
    QString m_error;
};

// A new identity as its column stores it: the clips' a blob, the others' text.
void bindValue(sqlite3_stmt *statement, int at, const QVariant &value)
{
    if (value.typeId() == QMetaType::QByteArray) {
        const QByteArray bytes = value.toByteArray();
        sqlite3_bind_blob(statement, at, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
    } else {
        const QByteArray text = value.toString().toUtf8();
        sqlite3_bind_text(statement, at, text.constData(), int(text.size()), SQLITE_TRANSIENT);
    }
}

// Copies what can still be read of a damaged store into a new one: its tables row by row, then its
// indexes. Reads on a connection of its own: an error of a damaged page ends the transaction it
// meets, which must not be the one that writes the new file.
struct Copier {
    QSqlDatabase &from, &to;
    StoreFilePages &pages;
    const Limits &limits;
    const StageHook &afterStage;

    // The clips the new file holds; -1 when none was made, `out->unfinished` when a later try may do better.
    int run(Outcome *out)
    {
        clock.start();
        if (const QSqlError error = readSchema(); error.isValid())
            return failed(out, QStringLiteral("its list of tables cannot be read: %1").arg(describe(error)), false);
        QSqlQuery q(to);
        q.exec(QStringLiteral("PRAGMA page_size = %1").arg(StoreSchema::pageBytes));
        if (!to.transaction())
            return failed(out, describe(to.lastError()), true);
        for (const SchemaEntry &entry : schema) {
            if (entry.copied && !copy(entry)) {
                to.rollback();
                return failed(out,
                              writeError.isValid() ? describe(writeError)
                                                   : QStringLiteral("its reading was stopped before the end"),
                              true);
            }
        }
        const int leftOut = mend(q);
        const int clips = q.exec(QStringLiteral("SELECT COUNT(*) FROM clips")) && q.next() ? q.value(0).toInt() : 0;
        q.finish();
        const int damaged = countDamaged(q) + leftOut;
        // Once counted as damaged: what lost its bytes says it has none.
        for (const char *kind : {"image", "file"})
            q.exec(QStringLiteral("UPDATE clips SET %1Size = -1 WHERE %1Size >= 0 AND id NOT IN "
                                  "(SELECT clipID FROM clip_%1s)")
                       .arg(QLatin1String(kind)));
        // A page not read, or one its parent no longer names, lost rows only the indexes still list.
        const bool blind = clipPages.unboundedPages > 0 || clipPages.namedTwice > 0;
        const qint64 listed = clipPages.unreadPages > 0 || clipPages.namedTwice > 0 ? listedLost() : 0;
        if (!q.exec(QStringLiteral("PRAGMA user_version = %1").arg(version)) || !to.commit()) {
            const QString why = describe(q.lastError().isValid() ? q.lastError() : to.lastError());
            to.rollback();
            return failed(out, why, true);
        }
        // At least those the pages read or an index lists; at most those the pages read list and those
        // the keys around the pages not read leave room for.
        // Rows left out are told as damaged, not again as lost. Nothing is known of a store whose
        // clips' tree was never reached.
        const qint64 counted = std::max<qint64>(0, clipPages.cells - clips - leftOut), lost = std::max(counted, listed);
        const auto asInt = [](qint64 n) { return int(std::min<qint64>(n, std::numeric_limits<int>::max())); };
        const bool walked = std::any_of(schema.begin(), schema.end(), [](const SchemaEntry &e) {
            return e.copied && e.name == QLatin1String("clips") && e.root > 0;
        });
        out->loss = {walked ? asInt(lost) : -1,
                     blind || !walked ? -1 : asInt(std::max(lost, counted + clipPages.unreadRowIDs)), damaged, leftOut};
        return clips;
    }

    // The tables copied: the search keys are the clips' own words folded, made again when the new
    // store opens; SQLite makes sqlite_sequence with the first table counting its keys.
    QSqlError readSchema()
    {
        QSqlQuery read(from);
        read.exec(QStringLiteral(
            "SELECT type, name, sql, rootpage, tbl_name, type = 'table' AND name NOT IN ('clip_search', "
            "'clip_search_fill')"
            " AND (name = 'sqlite_sequence' OR (name NOT LIKE 'sqlite\\_%' ESCAPE '\\' AND sql LIKE 'CREATE TABLE%'))"
            " FROM sqlite_master"));
        while (read.next())
            schema.push_back({read.value(0).toString(), read.value(1).toString(), read.value(2).toString(),
                              read.value(4).toString(), quint32(read.value(3).toLongLong()), read.value(5).toBool()});
        if (read.lastError().isValid())
            return read.lastError();
        read.finish();
        version = read.exec(QStringLiteral("PRAGMA user_version")) && read.next() ? read.value(0).toInt() : 0;
        return {};
    }

    // Rows that point at what was lost are mended (a picture clip without its picture cannot be
    // shown or pasted); in an older store lacking a column these name, they change nothing. Then the
    // indexes: built in one pass, and rows a unique index would refuse are already in.
    // A row with nothing of a clip left in it (a damaged page read as a leaf gives such rows) is
    // no clip: it is left out, and how many is given back.
    int mend(QSqlQuery &q)
    {
        int leftOut = 0;
        for (const char *mend :
             {"DELETE FROM clips WHERE kind = 'image' AND id NOT IN (SELECT clipID FROM clip_images)",
              "DELETE FROM clips WHERE COALESCE(text, '') = '' AND COALESCE(fileName, '') = '' AND id NOT IN "
              "(SELECT clipID FROM clip_images) AND id NOT IN (SELECT clipID FROM clip_files)",
              "UPDATE clips SET pinboardID = NULL WHERE pinboardID IS NOT NULL AND pinboardID NOT IN "
              "(SELECT id FROM pinboards)",
              "DELETE FROM clip_images WHERE clipID NOT IN (SELECT id FROM clips)",
              "DELETE FROM clip_files WHERE clipID NOT IN (SELECT id FROM clips)"}) {
            if (q.exec(QLatin1String(mend)) && qstrncmp(mend, "DELETE FROM clips WHERE COALESCE", 32) == 0)
                leftOut = q.numRowsAffected();
        }
        for (const SchemaEntry &entry : schema)
            if (entry.type == QLatin1String("index") && !entry.sql.isEmpty() && !q.exec(entry.sql))
                qCWarning(lcPersistence, "Could not make the index %s again: %s", qPrintable(entry.name),
                          qPrintable(describe(q.lastError())));
        return std::max(leftOut, 0);
    }

    bool cut() const
    {
        return (limits.stop && limits.stop->load(std::memory_order_relaxed))
            || (limits.deadlineMs > 0 && clock.elapsed() > limits.deadlineMs);
    }

    // The columns of `table` as copied, the row id first, each with how a NULL in it is filled.
    struct Columns {
        QStringList names{QStringLiteral("rowid")}, values{QStringLiteral("?")};
        std::vector<Fill> fills{Fill::none};
    };

    // A NOT NULL column takes its default for a NULL, else an empty value of its type's affinity.
    Columns columnsOf(const QString &table)
    {
        Columns columns;
        QSqlQuery info(to);
        info.prepare(QStringLiteral(
            "SELECT '\"' || replace(name, '\"', '\"\"') || '\"', CASE WHEN NOT \"notnull\" OR pk"
            " THEN 0 WHEN lower(name) IN ('dedupid', 'recordid') THEN 2"
            " WHEN lower(name) = 'contenthash' AND ? = 'clips' THEN 3 ELSE 1 END, COALESCE(dflt_value, CASE"
            " WHEN type LIKE '%INT%' THEN '0'"
            " WHEN type LIKE '%CHAR%' OR type LIKE '%CLOB%' OR type LIKE '%TEXT%' THEN ''''''"
            " WHEN type LIKE '%REAL%' OR type LIKE '%FLOA%' OR type LIKE '%DOUB%' THEN '0.0'"
            " ELSE 'x''''' END) FROM pragma_table_info(?)"));
        info.addBindValue(table);
        info.addBindValue(table);
        info.exec();
        while (info.next()) {
            const Fill fill = Fill(info.value(1).toInt());
            columns.names << info.value(0).toString();
            columns.fills.push_back(fill);
            columns.values << (fill == Fill::none || fill == Fill::newIdentity
                                   ? QStringLiteral("?")
                                   : QStringLiteral("COALESCE(?, %1)").arg(info.value(2).toString()));
        }
        return columns;
    }

    // Makes the table of `entry` again and copies every row of it a lookup by its row id reads (of
    // the row ids its pages hold), under that row id, which the sync keeps elsewhere. A NULL where
    // none is taken is filled, keeping the row. False when the copy is to stop here.
    bool copy(const SchemaEntry &entry)
    {
        const QString &table = entry.name;
        if (QSqlQuery make(to); table != QLatin1String("sqlite_sequence") && !make.exec(entry.sql)) {
            qCWarning(lcPersistence, "Could not make the table %s again: %s", qPrintable(table),
                      qPrintable(describe(make.lastError())));
            return true;
        }
        const Columns columns = columnsOf(table);
        const QString names = columns.names.join(QLatin1Char(','));
        // SQLite's own statements: values go from the read to the insert as SQLite holds them,
        // without a copy into Qt's types and back for every column of every row.
        Statement read(sqliteHandle(from), QStringLiteral("SELECT %2 FROM \"%1\" WHERE rowid = ?").arg(table, names));
        Statement insert(sqliteHandle(to),
                         QStringLiteral("INSERT INTO \"%1\"(%2) VALUES (%3)")
                             .arg(table, names, columns.values.join(QLatin1Char(','))));
        if (!read || !insert) {
            qCWarning(lcPersistence, "The rows of %s cannot be copied: %s %s", qPrintable(table),
                      qPrintable(read.error()), qPrintable(insert.error()));
            return !cut();
        }
        const bool clips = table == QLatin1String("clips");
        const int count = int(columns.fills.size());
        qint64 tried = 0, copied = 0;
        const auto copyRows = [&](const std::vector<qint64> &ids) {
            for (const qint64 id : ids) {
                if (tried++ % 256 == 0 && cut())
                    return false;
                sqlite3_reset(read);
                sqlite3_bind_int64(read, 1, id);
                if (sqlite3_step(read) != SQLITE_ROW)
                    continue;
                bool filled = false, hashLost = false;
                sqlite3_reset(insert);
                for (int c = 0; c < count; ++c) {
                    const Fill fill =
                        sqlite3_column_type(read, c) == SQLITE_NULL ? columns.fills[size_t(c)] : Fill::none;
                    filled = filled || fill != Fill::none;
                    hashLost = hashLost || fill == Fill::hashFromContent;
                    if (fill == Fill::newIdentity)
                        bindValue(insert, c + 1, newIdentity(table));
                    else
                        sqlite3_bind_value(insert, c + 1, sqlite3_column_value(read, c));
                }
                // A row id met in an earlier batch too is refused as already there.
                if (const int rc = sqlite3_step(insert); rc == SQLITE_DONE) {
                    ++copied;
                    if (filled && clips)
                        defaulted[id] = hashLost;
                } else if (const QSqlError error(QString(), QString::fromUtf8(sqlite3_errmsg(sqliteHandle(to))),
                                                 QSqlError::StatementError, QString::number(rc));
                           ModelContainer::failureOf(error) == ModelContainer::OpenFailure::unwritable) {
                    writeError = error;
                    return false;
                }
            }
            sqlite3_reset(read);
            sqlite3_reset(insert);
            return true;
        };
        const bool whole = pages.forEachRowIDBatch(entry.root, StoreFilePages::Tree::table, copyRows, limits.stop,
                                                   StoreFilePages::rowIDBatch, clips ? &clipPages : nullptr);
        qCDebug(lcPersistence, "Read %lld rows of %s from the damaged store", copied, qPrintable(table));
        if (whole)
            afterStage(Stage::tableCopied);
        return !writeError.isValid() && !cut();
    }

    // The clips copied whose content came back damaged: filled, missing bytes, or zeroes where a
    // page was. A clip whose hash was lost gets the one its content gives.
    int countDamaged(QSqlQuery &q)
    {
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("SELECT c.id, c.contentHash, c.kind, c.text, c.fileName, c.fileTypeIdentifier,"
                                   " (SELECT data FROM clip_images WHERE clipID = c.id),"
                                   " (SELECT data FROM clip_files WHERE clipID = c.id), c.imageSize, c.fileSize"
                                   " FROM clips c"))) {
            qCWarning(lcPersistence, "Could not look for damaged content: %s", qPrintable(describe(q.lastError())));
            q.setForwardOnly(false);
            return int(defaulted.size());
        }
        const auto bytes = [&](int column) {
            return q.value(column).isNull() ? Bytes() : Bytes(q.value(column).toByteArray());
        };
        // Bytes the row says it has (a size of -1 says none) but which did not come back whole.
        const auto bytesLost = [&](int size, const Bytes &kept) {
            return q.value(size).toLongLong() >= 0 && (!kept || kept->size() != q.value(size).toLongLong());
        };
        int damaged = 0;
        std::vector<std::tuple<qint64, QVariant, qint32>> hashes;
        while (q.next()) {
            const qint64 id = q.value(0).toLongLong();
            const Bytes image = bytes(6), file = bytes(7);
            const ClipKeys::HashSource source{q.value(2).toString(), optionalText(q.value(3)), optionalText(q.value(4)),
                                              optionalText(q.value(5)), image || file};
            const auto filled = defaulted.find(id);
            if (filled != defaulted.end() && filled->second) {
                const QString hash =
                    CapturedContent::contentHash(clipKindOrText(source.kindRawValue), source.text, image, file,
                                                 source.fileName, source.fileTypeIdentifier);
                hashes.emplace_back(id, ClipKeys::contentHash(hash, source), ClipKeys::contentHashKey(hash));
            }
            if (filled != defaulted.end() || bytesLost(8, image) || bytesLost(9, file)
                || contentDamaged(q.value(1), source, image, file))
                ++damaged;
        }
        q.finish();
        q.setForwardOnly(false);
        giveHashes(q, hashes);
        return damaged;
    }

    // A store from before the keys has no column for them; it gains it, filled, when opened.
    void giveHashes(QSqlQuery &q, const std::vector<std::tuple<qint64, QVariant, qint32>> &hashes)
    {
        const bool keyed =
            !hashes.empty() && q.prepare(QStringLiteral("UPDATE clips SET contentHash = ?, hashKey = ? WHERE id = ?"));
        if (hashes.empty() || (!keyed && !q.prepare(QStringLiteral("UPDATE clips SET contentHash = ? WHERE id = ?"))))
            return;
        for (const auto &[id, hash, key] : hashes) {
            q.addBindValue(hash);
            if (keyed)
                q.addBindValue(key);
            q.addBindValue(id);
            if (!q.exec())
                qCWarning(lcPersistence, "Could not give a salvaged clip its hash: %s",
                          qPrintable(describe(q.lastError())));
        }
        q.finish();
    }

    // Pages of the clips that could not be read: their indexes tell of more of the clips lost, the
    // row ids they list that the new store does not hold. A row counts when two indexes list it
    // (one, when there is only one): a damaged page that happens to read as an index page lists
    // rows that never were, but only in its own index.
    qint64 listedLost()
    {
        QSqlQuery kept(to);
        kept.setForwardOnly(true);
        if (!kept.prepare(QStringLiteral("SELECT id FROM clips WHERE id BETWEEN ? AND ? ORDER BY id")))
            return 0;
        std::unordered_map<qint64, int> listings;
        int indexes = 0;
        for (const SchemaEntry &entry : schema) {
            if (entry.type != QLatin1String("index") || entry.ofTable != QLatin1String("clips") || entry.root == 0)
                continue;
            ++indexes;
            std::unordered_set<qint64> missing;
            pages.forEachRowIDBatch(
                entry.root, StoreFilePages::Tree::index,
                [&](const std::vector<qint64> &ids) {
                    kept.bindValue(0, ids.front());
                    kept.bindValue(1, ids.back());
                    if (!kept.exec())
                        return false;
                    std::vector<qint64> held;
                    while (kept.next())
                        held.push_back(kept.value(0).toLongLong());
                    kept.finish();
                    std::set_difference(ids.begin(), ids.end(), held.begin(), held.end(),
                                        std::inserter(missing, missing.end()));
                    return true;
                },
                limits.stop);
            for (const qint64 id : missing)
                ++listings[id];
        }
        const int needed = std::min(indexes, 2);
        return std::count_if(listings.begin(), listings.end(), [needed](const auto &l) { return l.second >= needed; });
    }

    QElapsedTimer clock;
    std::vector<SchemaEntry> schema;
    int version = 0;
    // Set when the new file stopped taking rows.
    QSqlError writeError;
    StoreFilePages::Tally clipPages;
    // The clips given a value for a NULL, and whether that NULL was their hash.
    std::unordered_map<qint64, bool> defaulted;
};

// Copies what can still be read of the store file `damaged`, left as it is, into a new one at
// `target`, replacing what a copy cut short left there; as Copier::run.
int copyReadableRows(const QString &damaged, const QString &target, const Limits &limits, const StageHook &afterStage,
                     Outcome *out)
{
    for (const QString &file : {target, target + QStringLiteral("-journal")})
        QFile::remove(file);
    // Made here first, so that it never has a looser mode than the history it holds.
    if (QFile file(target); !file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner))
        return failed(out, file.errorString(), true);
    const QString name = QStringLiteral("quillmere-salvage-") + QUuid::createUuid().toString(QUuid::Id128);
    const QString readName = name + QStringLiteral("-read");
    int clips = -1;
    {
        // Read only: the damaged file stays exactly as it was found.
        QSqlDatabase from = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), readName);
        from.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        from.setDatabaseName(damaged);
        QSqlDatabase to = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        to.setDatabaseName(target);
        StoreFilePages pages(damaged);
        // A file cut short says it has more pages than it holds, and names tables past its end,
        // which SQLite refuses unless the schema is writable; this connection only reads.
        if (!from.open() || !QSqlQuery(from).exec(QStringLiteral("PRAGMA writable_schema = ON")))
            failed(out, describe(from.lastError()), false);
        else if (!to.open())
            failed(out, describe(to.lastError()), true);
        else
            clips = Copier{from, to, pages, limits, afterStage}.run(out);
    }
    QSqlDatabase::removeDatabase(name);
    QSqlDatabase::removeDatabase(readName);
    // A reader of a store in WAL mode makes companions that hold nothing, also when a start was cut
    // short while reading: the index of the log is made again from the log, and an empty log goes.
    QFile::remove(damaged + QStringLiteral("-shm"));
    if (const QFileInfo log(damaged + QStringLiteral("-wal")); log.exists() && log.size() == 0)
        QFile::remove(log.filePath());
    if (clips < 0)
        QFile::remove(target);
    return clips;
}

constexpr const char *kFiles[] = {"-wal", "-shm", "-journal", ""};

QString noteOf(const QString &path)
{
    return path + QStringLiteral(".salvage-from");
}

// There, or a link that points nowhere: either would meet a new store at that name.
bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Moves what of the store is still at `path` to `aside`, its companions first: once the store
// itself is there, nothing of it is left at `path` for a new store to meet.
bool moveToAside(const QString &path, const QString &aside, QString *error)
{
    for (const char *suffix : kFiles) {
        const QString from = path + QLatin1String(suffix), to = aside + QLatin1String(suffix);
        if (present(from) && (present(to) || !QFile::rename(from, to))) {
            *error = QStringLiteral("%1 could not be moved to %2").arg(from, to);
            return false;
        }
    }
    if (QString unsynced; !syncFolderOf(aside, &unsynced))
        qCWarning(lcPersistence, "The damaged store set aside may be back in place after a power cut: %s",
                  qPrintable(unsynced));
    return true;
}

void removeNote(const QString &path)
{
    if (!QFile::remove(noteOf(path)) && present(noteOf(path)))
        qCWarning(lcPersistence, "Could not remove %s", qPrintable(noteOf(path)));
    else if (QString unsynced; !syncFolderOf(path, &unsynced))
        qCWarning(lcPersistence, "%s may come back after a power cut: %s", qPrintable(noteOf(path)),
                  qPrintable(unsynced));
}

Outcome unfinished(Outcome out)
{
    out.unfinished = true;
    qCCritical(lcPersistence, "The salvage of the damaged store could not be finished yet: %s", qPrintable(out.error));
    return out;
}

// The steps from the move aside on; each may have been done already by a start cut short.
Outcome finish(const QString &path, Outcome out, const Limits &limits, const StageHook &hook)
{
    const StageHook afterStage = hook ? hook : [](Stage) {};
    if (!moveToAside(path, out.aside, &out.error)) {
        // The note keeps the name for the next try.
        out.aside.clear();
        return unfinished(std::move(out));
    }
    afterStage(Stage::setAside);
    const QString partial = path + QStringLiteral(".salvaging");
    const int clips = copyReadableRows(out.aside, partial, limits, afterStage, &out);
    if (out.unfinished)
        return unfinished(std::move(out));
    if (clips >= 0) {
        afterStage(Stage::copied);
        if (!QFile::rename(partial, path)) {
            QFile::remove(partial);
            out.error = QStringLiteral("the new store could not take its place");
            out.loss = {};
            return unfinished(std::move(out));
        }
        // Before the note goes: a power cut must not leave neither the note nor the new store.
        if (QString unsynced; !syncFolderOf(path, &unsynced))
            qCWarning(lcPersistence, "The store read back may not last a power cut: %s", qPrintable(unsynced));
        afterStage(Stage::placed);
        out.placed = true;
        qCInfo(lcPersistence, "Kept the %d clips that could still be read from %s (%s)", clips, qPrintable(out.aside),
               qPrintable(describeLoss(out.loss)));
    } else {
        qCWarning(lcPersistence, "Nothing could be read back from %s: %s", qPrintable(out.aside),
                  qPrintable(out.error));
    }
    removeNote(path);
    afterStage(Stage::finished);
    return out;
}

} // namespace

QString describeLoss(const Loss &loss)
{
    const QString lost = loss.lost < 0 ? QStringLiteral("lost: not known")
        : loss.lostAtMost == loss.lost ? QStringLiteral("%1 lost").arg(loss.lost)
        : loss.lostAtMost < 0          ? QStringLiteral("at least %1 lost").arg(loss.lost)
                                       : QStringLiteral("%1 to %2 lost").arg(loss.lost).arg(loss.lostAtMost);
    return QStringLiteral("%1; %2 damaged, %3 of them left out").arg(lost).arg(loss.damaged).arg(loss.leftOut);
}

QString freeNameBeside(const QString &path, const QString &tag, const QDateTime &now)
{
    const QString stamp = now.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const auto taken = [](const QString &target) {
        return std::any_of(std::begin(kFiles), std::end(kFiles),
                           [&target](const char *suffix) { return present(target + QLatin1String(suffix)); });
    };
    QString target = QStringLiteral("%1.%2-%3").arg(path, tag, stamp);
    for (int n = 2; taken(target); ++n)
        target = QStringLiteral("%1.%2-%3-%4").arg(path, tag, stamp).arg(n);
    return target;
}

bool isSound(const QString &path)
{
    // Not made when missing; opened as a store is, which folds in a log left beside it.
    sqlite3 *db = nullptr;
    bool sound = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    // A store another program is writing is not taken for an unreadable one.
    if (sound)
        sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt *check = nullptr;
    sound = sound && sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &check, nullptr) == SQLITE_OK
        && sqlite3_step(check) == SQLITE_ROW
        && qstrcmp(reinterpret_cast<const char *>(sqlite3_column_text(check, 0)), "ok") == 0;
    sqlite3_finalize(check);
    sqlite3_close(db);
    return sound;
}

QString setAside(const QString &path, const QDateTime &now, QString *error)
{
    const QString aside = freeNameBeside(path, StoreBesideFiles::unreadableTag, now);
    return moveToAside(path, aside, error) ? aside : QString();
}

Outcome salvage(const QString &path, const QDateTime &now, const StageHook &afterStage, const Limits &limits)
{
    Outcome out;
    const QString aside = freeNameBeside(path, StoreBesideFiles::unreadableTag, now);
    if (QString why; !writeFileAtomically(noteOf(path), QFileInfo(aside).fileName().toUtf8(), &why)) {
        failed(&out, QStringLiteral("no note of its salvage could be written beside it: %1").arg(why), true);
        return out;
    }
    if (afterStage)
        afterStage(Stage::marked);
    out.aside = aside;
    return finish(path, std::move(out), limits, afterStage);
}

bool hasUnfinished(const QString &path)
{
    return present(noteOf(path));
}

std::optional<Outcome> resumeUnfinished(const QString &path, const StageHook &afterStage, const Limits &limits)
{
    const QString note = noteOf(path);
    if (!present(note))
        return std::nullopt;
    const BoundedFileRead read = readBoundedFile(note, BoundedFileLimits{1024, true});
    const QString name = read.ok() ? QString::fromUtf8(read.bytes) : QString();
    // Only a name salvage gives, beside the store: a note never sends the salvage elsewhere.
    const bool named = name.startsWith(QFileInfo(path).fileName() + QLatin1Char('.') + StoreBesideFiles::unreadableTag
                                       + QLatin1Char('-'))
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0)) && name.size() < 256;
    Outcome out;
    out.resumed = true;
    out.aside = named ? QDir(QFileInfo(path).absolutePath()).filePath(name) : QString();
    const bool asideThere = named && present(out.aside), storeThere = present(path);
    if (!named && !(storeThere && isSound(path))) {
        out.unfinished = true;
        out.error = QStringLiteral("%1, left by a salvage of the damaged history that was cut short, %2")
                        .arg(note, read.ok() ? QStringLiteral("names no file set aside") : read.errorText);
        return out;
    }
    // Both there: cut short once the new store had taken its place. A note naming nothing set aside
    // beside a sound store, or naming what is no longer there, has no salvage waiting.
    if (!named || asideThere == storeThere) {
        qCWarning(lcPersistence, "%s is left from a salvage that has nothing more to do; removing it",
                  qPrintable(note));
        removeNote(path);
        out.placed = asideThere;
        return asideThere ? std::optional(out) : std::nullopt;
    }
    qCWarning(lcPersistence, "A salvage of the store at %s was cut short; reading %s again", qPrintable(path),
              qPrintable(out.aside));
    return finish(path, std::move(out), limits, afterStage);
}

} // namespace quillmere::StoreSalvage
