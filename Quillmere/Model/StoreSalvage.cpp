#include "Quillmere/Model/StoreSalvage.h"

#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/StoreFilePages.h"
#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Model/StoreSalvageContent.h"
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
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QUuid>
#include <algorithm>
#include <limits>
#include <optional>
#include <sqlite3.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quillmere::StoreSalvage {
namespace {

struct SchemaEntry {
    QString type, name, sql;
    quint32 root = 0;
    // The table an index is of.
    QString table = {};
};

// An empty blob reads back as a null byte array, which would be bound as NULL.
QVariant stored(const QVariant &value)
{
    if (value.typeId() == QMetaType::QByteArray && !value.isNull() && value.toByteArray().isNull())
        return QVariant(QByteArray(""));
    return value;
}

// What a copy made of the damaged store.
struct Copy {
    // The clips the new file holds; -1 when none was made.
    int clips = -1;
    // The new file could not be written, so a later try may do better than this one.
    bool writeFailed = false;
    QString error;
    // Stopped before every readable row was read: a later try finishes it.
    bool cut = false;
    // The clips the damaged store's pages hold that were not kept, and whether some of its pages
    // could not be read, so that more may be lost than those.
    Loss loss = {0, false, -1, 0};
};

// What the copy of one table read.
struct TableCopy {
    int copied = 0;
    StoreFilePages::Tally tally;
    // Rows given a column's default for a NULL that column does not take.
    std::unordered_set<qint64> defaulted;
    // Of those, the clips whose hash was NULL: their content gives it once every table is in.
    std::unordered_set<qint64> hashLost;
};

// How a column that takes no NULL is given a value for one.
enum class Fill { none, byDefault, newIdentity, hashFromContent };

// The value a NOT NULL column takes in place of a NULL: its default, else an empty one of its type.
QString fillFor(const QString &declared, const QVariant &dflt)
{
    if (!dflt.isNull())
        return dflt.toString();
    const QString type = declared.toUpper();
    if (type.contains(QLatin1String("INT")))
        return QStringLiteral("0");
    if (type.contains(QLatin1String("CHAR")) || type.contains(QLatin1String("CLOB"))
        || type.contains(QLatin1String("TEXT")))
        return QStringLiteral("''");
    if (type.contains(QLatin1String("REAL")) || type.contains(QLatin1String("FLOA"))
        || type.contains(QLatin1String("DOUB")))
        return QStringLiteral("0.0");
    return QStringLiteral("x''");
}

// Errors of the file written, not of the one read.
bool isWriteError(const QSqlError &e)
{
    return ModelContainer::failureOf(e) == ModelContainer::OpenFailure::unwritable;
}

// Reads on a connection of its own: an error of a damaged page ends the transaction it meets, which
// must not be the one that writes the new file.
class RowCopier {
public:
    RowCopier(QSqlDatabase from, QSqlDatabase to, StoreFilePages &pages, const Limits &limits,
              const StepHook &afterTable)
        : m_from(std::move(from)), m_to(std::move(to)), m_pages(pages), m_stop(limits.stop),
          m_deadlineMs(limits.deadlineMs), m_afterTable(afterTable)
    {
        m_clock.start();
    }

    // Past the deadline or told to stop: what was read so far is not the whole of what can be.
    bool cut() const
    {
        return (m_stop && m_stop->load(std::memory_order_relaxed))
            || (m_deadlineMs > 0 && m_clock.elapsed() > m_deadlineMs);
    }
    // Set when the new file stopped taking rows.
    QSqlError writeError() const { return m_writeError; }

    // Copies every row of `table` that a lookup by its row id reads, under that row id: a row id
    // kept elsewhere (how far the sync has sent the deletions) still names the same row. The row
    // ids come from the table's pages read as bytes, each once, not from a walk in row id order,
    // which a damaged page sends back and forth. A NULL read for a column that takes none is
    // written as the column's default, so that the rest of the row is kept.
    TableCopy copy(const QString &table, quint32 root)
    {
        TableCopy out;
        QSqlQuery read(m_from);
        read.setForwardOnly(true);
        if (!read.prepare(QStringLiteral("SELECT rowid, * FROM \"%1\" WHERE rowid = ?").arg(table))) {
            qCWarning(lcPersistence, "The rows of %s cannot be read by row id: %s", qPrintable(table),
                      qPrintable(describe(read.lastError())));
            return out;
        }
        std::optional<QSqlQuery> insert;
        std::vector<Fill> fills;
        qint64 tried = 0;
        const bool whole = m_pages.forEachRowIDBatch(
            root,
            [&](const std::vector<qint64> &ids) {
                for (const qint64 id : ids) {
                    if (tried++ % 256 == 0 && cut())
                        return false;
                    read.bindValue(0, id);
                    if (!read.exec() || !read.next())
                        continue;
                    const QSqlRecord record = read.record();
                    if (!insert && !prepareInsert(table, record, &insert, &fills))
                        return false;
                    bool filled = false;
                    for (int c = 0; c < record.count(); ++c) {
                        const Fill fill = read.isNull(c) ? fills[size_t(c)] : Fill::none;
                        filled = filled || fill != Fill::none;
                        insert->bindValue(c,
                                          fill == Fill::newIdentity           ? newIdentity(table)
                                              : fill == Fill::hashFromContent ? QVariant(QByteArray(""))
                                                                              : stored(read.value(c)));
                        if (fill == Fill::hashFromContent)
                            out.hashLost.insert(id);
                    }
                    // A row id met in an earlier batch too is refused as already there.
                    if (insert->exec()) {
                        ++out.copied;
                        if (filled)
                            out.defaulted.insert(id);
                    } else if (isWriteError(insert->lastError())) {
                        m_writeError = insert->lastError();
                        return false;
                    }
                    read.finish();
                }
                return true;
            },
            m_stop, StoreFilePages::rowIDBatch, &out.tally);
        if (whole && m_afterTable)
            m_afterTable(Step::tableCopied);
        return out;
    }

private:
    // A lost identity is made anew, as for a new row: a default would give every such row the same.
    static QVariant newIdentity(const QString &table)
    {
        const QUuid id = QUuid::createUuid();
        return table == QLatin1String("clips") ? ClipKeys::dedupID(id) : QVariant(uuidText(id));
    }

    // The first column is the row id, whatever name SQLite gives it; the others are the table's.
    // `fills`: how each is given a value for a NULL it does not take.
    bool prepareInsert(const QString &table, const QSqlRecord &record, std::optional<QSqlQuery> *insert,
                       std::vector<Fill> *fills)
    {
        // The new table's columns: made from the damaged one's own statement.
        std::unordered_map<QString, QString> defaults;
        QSqlQuery info(m_to);
        if (info.exec(QStringLiteral("PRAGMA table_info(\"%1\")").arg(table)))
            while (info.next())
                if (info.value(3).toInt() != 0 && info.value(5).toInt() == 0)
                    defaults[info.value(1).toString().toLower()] = fillFor(info.value(2).toString(), info.value(4));
        info.finish();
        QStringList columns{QStringLiteral("rowid")}, marks{QStringLiteral("?")};
        fills->assign(size_t(record.count()), Fill::none);
        for (int i = 1; i < record.count(); ++i) {
            const QString name = record.fieldName(i), key = name.toLower();
            columns << QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\""))
                    + QLatin1Char('"');
            const auto fill = defaults.find(key);
            Fill &how = (*fills)[size_t(i)];
            if (fill != defaults.end())
                how = key == QLatin1String("dedupid") || key == QLatin1String("recordid")    ? Fill::newIdentity
                    : key == QLatin1String("contenthash") && table == QLatin1String("clips") ? Fill::hashFromContent
                                                                                             : Fill::byDefault;
            marks << (how == Fill::byDefault ? QStringLiteral("COALESCE(?, %1)").arg(fill->second)
                                             : QStringLiteral("?"));
        }
        insert->emplace(m_to);
        if ((*insert)->prepare(QStringLiteral("INSERT INTO \"%1\"(%2) VALUES (%3)")
                                   .arg(table, columns.join(QLatin1Char(',')), marks.join(QLatin1Char(',')))))
            return true;
        qCWarning(lcPersistence, "Could not write the rows of %s again: %s", qPrintable(table),
                  qPrintable(describe((*insert)->lastError())));
        return false;
    }

    QSqlDatabase m_from;
    QSqlDatabase m_to;
    StoreFilePages &m_pages;
    const std::atomic<bool> *m_stop;
    qint64 m_deadlineMs;
    const StepHook &m_afterTable;
    QElapsedTimer m_clock;
    QSqlError m_writeError;
};

// Rows that point at what was lost are mended, not kept pointing at nothing. Older stores may
// lack a column these name; their statements then change nothing.
void mendReferences(QSqlQuery &q)
{
    // A picture clip without its picture cannot be shown or pasted.
    q.exec(QStringLiteral("DELETE FROM clips WHERE kind = 'image' AND id NOT IN (SELECT clipID FROM clip_images)"));
    q.exec(QStringLiteral("UPDATE clips SET pinboardID = NULL WHERE pinboardID IS NOT NULL AND pinboardID NOT IN "
                          "(SELECT id FROM pinboards)"));
    q.exec(QStringLiteral("DELETE FROM clip_images WHERE clipID NOT IN (SELECT id FROM clips)"));
    q.exec(QStringLiteral("DELETE FROM clip_files WHERE clipID NOT IN (SELECT id FROM clips)"));
}

// The tables of the search keys, which are the clips' own words folded: left out, they are made
// again when the new store opens and every kept clip gets its key after the start, as in a store
// from before them.
bool isDerived(const QString &table)
{
    return table == QLatin1String("clip_search") || table == QLatin1String("clip_search_fill");
}

// The row ids the index of the clips at `root` in the damaged store lists that the clips of the new
// store do not hold, each once: a batch's ids are met with the kept ones in the same range, in order.
std::unordered_set<qint64> notKept(QSqlDatabase &db, StoreFilePages &pages, quint32 root, const std::atomic<bool> *stop)
{
    std::unordered_set<qint64> missing;
    QSqlQuery kept(db);
    kept.setForwardOnly(true);
    if (!kept.prepare(QStringLiteral("SELECT id FROM clips WHERE id BETWEEN ? AND ? ORDER BY id")))
        return missing;
    pages.forEachIndexedRowIDBatch(
        root,
        [&](const std::vector<qint64> &ids) {
            kept.bindValue(0, ids.front());
            kept.bindValue(1, ids.back());
            if (!kept.exec())
                return false;
            size_t i = 0;
            while (i < ids.size() && kept.next()) {
                const qint64 id = kept.value(0).toLongLong();
                for (; i < ids.size() && ids[i] < id; ++i)
                    missing.insert(ids[i]);
                if (i < ids.size() && ids[i] == id)
                    ++i;
            }
            missing.insert(ids.begin() + qsizetype(i), ids.end());
            kept.finish();
            return true;
        },
        stop);
    return missing;
}

std::vector<const SchemaEntry *> makeTables(QSqlQuery &q, const std::vector<SchemaEntry> &schema)
{
    std::vector<const SchemaEntry *> tables;
    for (const SchemaEntry &entry : schema) {
        if (entry.type != QLatin1String("table") || isDerived(entry.name))
            continue;
        // Made by SQLite with the first table that counts its keys.
        if (entry.name == QLatin1String("sqlite_sequence")) {
            tables.push_back(&entry);
            continue;
        }
        if (entry.name.startsWith(QLatin1String("sqlite_"))
            || !entry.sql.startsWith(QLatin1String("CREATE TABLE"), Qt::CaseInsensitive))
            continue;
        if (q.exec(entry.sql))
            tables.push_back(&entry);
        else
            qCWarning(lcPersistence, "Could not make the table %s again: %s", qPrintable(entry.name),
                      qPrintable(describe(q.lastError())));
    }
    return tables;
}

Copy copyInto(QSqlDatabase &from, QSqlDatabase &db, StoreFilePages &pages, const Limits &limits,
              const StepHook &afterStep)
{
    const auto fail = [](const QString &why, bool writing) { return Copy{-1, writing, why}; };
    QSqlQuery read(from);
    std::vector<SchemaEntry> schema;
    if (!read.exec(QStringLiteral("SELECT type, name, sql, rootpage, tbl_name FROM sqlite_master")))
        return fail(describe(read.lastError()), false);
    while (read.next())
        schema.push_back({read.value(0).toString(), read.value(1).toString(), read.value(2).toString(),
                          quint32(read.value(3).toLongLong()), read.value(4).toString()});
    if (read.lastError().isValid())
        return fail(QStringLiteral("its list of tables cannot be read: %1").arg(describe(read.lastError())), false);
    read.finish();
    const int version = read.exec(QStringLiteral("PRAGMA user_version")) && read.next() ? read.value(0).toInt() : 0;
    read.finish();

    QSqlQuery q(db);
    q.exec(QStringLiteral("PRAGMA page_size = %1").arg(StoreSchema::pageBytes));
    if (!db.transaction())
        return fail(describe(db.lastError()), true);
    RowCopier copier(from, db, pages, limits, afterStep);
    TableCopy clipRows;
    for (const SchemaEntry *table : makeTables(q, schema)) {
        TableCopy copied = copier.copy(table->name, table->root);
        qCDebug(lcPersistence, "Read %d rows of %s from the damaged store", copied.copied, qPrintable(table->name));
        if (table->name == QLatin1String("clips"))
            clipRows = std::move(copied);
        if (copier.writeError().isValid()) {
            db.rollback();
            return fail(describe(copier.writeError()), true);
        }
        if (copier.cut()) {
            db.rollback();
            Copy cut = fail(QStringLiteral("its reading was stopped before the end"), false);
            cut.cut = true;
            return cut;
        }
    }
    mendReferences(q);
    // After the rows: built in one pass, and rows a unique index would refuse are already in.
    for (const SchemaEntry &entry : schema)
        if (entry.type == QLatin1String("index") && !entry.sql.isEmpty() && !q.exec(entry.sql))
            qCWarning(lcPersistence, "Could not make the index %s again: %s", qPrintable(entry.name),
                      qPrintable(describe(q.lastError())));
    const int clips = q.exec(QStringLiteral("SELECT COUNT(*) FROM clips")) && q.next() ? q.value(0).toInt() : 0;
    q.finish();
    const int damaged = StoreSalvageContent::checkClips(q, clipRows.defaulted, clipRows.hashLost);
    // Once counted as damaged: what lost its bytes says it has none.
    q.exec(QStringLiteral("UPDATE clips SET imageSize = -1 WHERE imageSize >= 0 AND id NOT IN "
                          "(SELECT clipID FROM clip_images)"));
    q.exec(QStringLiteral("UPDATE clips SET fileSize = -1 WHERE fileSize >= 0 AND id NOT IN "
                          "(SELECT clipID FROM clip_files)"));
    // Pages of the clips that could not be read: their indexes tell of more of the clips lost.
    // A row counts when two indexes list it (one, when there is only one): a damaged page that
    // happens to read as an index page lists rows that never were, but only in its own index.
    qint64 listedLost = 0;
    if (clipRows.tally.unreadPages > 0) {
        std::unordered_map<qint64, int> listings;
        int indexes = 0;
        for (const SchemaEntry &entry : schema)
            if (entry.type == QLatin1String("index") && entry.table == QLatin1String("clips") && entry.root > 0) {
                ++indexes;
                for (const qint64 id : notKept(db, pages, entry.root, limits.stop))
                    ++listings[id];
            }
        const int needed = std::min(indexes, 2);
        listedLost = std::count_if(listings.begin(), listings.end(),
                                   [needed](const auto &listing) { return listing.second >= needed; });
    }
    if (!q.exec(QStringLiteral("PRAGMA user_version = %1").arg(version)) || !db.commit()) {
        const QString why = describe(q.lastError().isValid() ? q.lastError() : db.lastError());
        db.rollback();
        return fail(why, true);
    }
    Copy copy{clips, false, {}, false};
    const StoreFilePages::Tally &tally = clipRows.tally;
    // At least those the pages read or an index list; at most those the pages read list and those
    // the keys around the pages not read leave room for.
    const qint64 counted = std::max<qint64>(0, tally.cells - clips), lost = std::max(counted, listedLost);
    const auto asInt = [](qint64 n) { return int(std::min<qint64>(n, std::numeric_limits<int>::max())); };
    copy.loss.lost = asInt(lost);
    copy.loss.moreLost = tally.unreadPages > 0;
    if (tally.unboundedPages == 0)
        copy.loss.lostAtMost = asInt(std::max(lost, counted + tally.unreadRowIDs));
    copy.loss.damaged = damaged;
    return copy;
}

// A file cut short says it has more pages than it holds, and names tables past its end, which SQLite
// refuses unless the schema is writable; this connection only reads, so nothing is written.
bool readAsSQLiteReadsDamage(QSqlDatabase &from)
{
    QSqlQuery q(from);
    return q.exec(QStringLiteral("PRAGMA writable_schema = ON"));
}

// Copies what can still be read of the store file `damaged`, left as it is, into a new store file
// at `target`: its tables row by row, passing over rows that cannot be read, then its indexes. A
// copy stopped by a deadline or told to stop keeps nothing, so that the next try reads it whole.
// Whatever a copy cut short left at `target` is replaced.
Copy copyReadableRows(const QString &damaged, const QString &target, const Limits &limits, const StepHook &afterStep)
{
    for (const QString &file : {target, target + QStringLiteral("-journal")})
        QFile::remove(file);
    // Made here first, so that it never has a looser mode than the history it holds.
    if (QFile file(target); !file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner))
        return {-1, true, file.errorString(), false};
    const QString id = QUuid::createUuid().toString(QUuid::Id128);
    const QString readName = QStringLiteral("quillmere-salvage-read-%1").arg(id);
    const QString writeName = QStringLiteral("quillmere-salvage-%1").arg(id);
    Copy copy;
    {
        // Read only: the damaged file stays exactly as it was found.
        QSqlDatabase from = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), readName);
        from.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        from.setDatabaseName(damaged);
        QSqlDatabase to = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), writeName);
        to.setDatabaseName(target);
        StoreFilePages pages(damaged);
        if (!from.open())
            copy.error = describe(from.lastError());
        else if (!readAsSQLiteReadsDamage(from))
            copy.error = describe(from.lastError());
        else if (!to.open())
            copy = {-1, true, describe(to.lastError()), false};
        else
            copy = copyInto(from, to, pages, limits, afterStep);
        to.close();
        from.close();
    }
    QSqlDatabase::removeDatabase(writeName);
    QSqlDatabase::removeDatabase(readName);
    // A reader of a store in WAL mode makes companions that hold nothing, also when a start was cut
    // short while reading: the index of the log is made again from the log, and an empty log goes.
    QFile::remove(damaged + QStringLiteral("-shm"));
    if (const QFileInfo log(damaged + QStringLiteral("-wal")); log.exists() && log.size() == 0)
        QFile::remove(log.filePath());
    if (copy.clips < 0)
        QFile::remove(target);
    return copy;
}

constexpr const char *kCompanions[] = {"-wal", "-shm", "-journal"};
constexpr qint64 kNoteBytes = 1024;

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

void notify(const StepHook &afterStep, Step step)
{
    if (afterStep)
        afterStep(step);
}

QString freeAsidePath(const QString &path, const QDateTime &now)
{
    return freeNameBeside(path, QStringLiteral("unreadable"), now);
}

// A name freeAsidePath gives, beside the store: a note never sends the salvage elsewhere.
bool isAsideName(const QString &path, const QString &name)
{
    return name.startsWith(QFileInfo(path).fileName() + QStringLiteral(".unreadable-"))
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0)) && name.size() < 256;
}

// Moves what of the store is still at `path` to `aside`, its companions first: once the store
// itself is there, nothing of it is left at `path` for a new store to meet.
bool moveToAside(const QString &path, const QString &aside, QString *error)
{
    for (const char *suffix : kCompanions) {
        const QString from = path + QLatin1String(suffix), to = aside + QLatin1String(suffix);
        if (present(from) && (present(to) || !QFile::rename(from, to))) {
            *error = QStringLiteral("%1 could not be moved to %2").arg(from, to);
            return false;
        }
    }
    if (present(path) && !QFile::rename(path, aside)) {
        *error = QStringLiteral("%1 could not be moved to %2").arg(path, aside);
        return false;
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

Outcome unfinished(Outcome out, const QString &why)
{
    out.unfinished = true;
    out.error = why;
    qCCritical(lcPersistence, "The salvage of the damaged store could not be finished yet: %s", qPrintable(why));
    return out;
}

// The steps from the move aside on; each may have been done already by a start cut short.
Outcome finish(const QString &path, Outcome out, const Limits &limits, const StepHook &afterStep)
{
    QString why;
    if (!moveToAside(path, out.aside, &why)) {
        // The note keeps the name for the next try.
        out.aside.clear();
        return unfinished(std::move(out), why);
    }
    notify(afterStep, Step::setAside);
    const QString partial = path + QStringLiteral(".salvaging");
    const Copy copy = copyReadableRows(out.aside, partial, limits, afterStep);
    if (copy.clips < 0 && (copy.writeFailed || copy.cut))
        return unfinished(std::move(out), copy.error);
    if (copy.clips >= 0) {
        notify(afterStep, Step::copied);
        if (!QFile::rename(partial, path)) {
            QFile::remove(partial);
            return unfinished(std::move(out), QStringLiteral("the new store could not take its place"));
        }
        // Before the note goes: a power cut must not leave neither the note nor the new store.
        if (QString unsynced; !syncFolderOf(path, &unsynced))
            qCWarning(lcPersistence, "The store read back may not last a power cut: %s", qPrintable(unsynced));
        notify(afterStep, Step::placed);
        out.placed = true;
        out.loss = copy.loss;
        qCInfo(lcPersistence, "Kept the %d clips that could still be read from %s (%d lost, at most %d; %d damaged)",
               copy.clips, qPrintable(out.aside), copy.loss.lost,
               copy.loss.moreLost ? copy.loss.lostAtMost : copy.loss.lost, copy.loss.damaged);
    } else {
        out.error = copy.error;
        qCWarning(lcPersistence, "Nothing could be read back from %s: %s", qPrintable(out.aside),
                  qPrintable(copy.error));
    }
    removeNote(path);
    notify(afterStep, Step::finished);
    return out;
}

} // namespace

QString freeNameBeside(const QString &path, const QString &tag, const QDateTime &now)
{
    const QString stamp = now.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const auto taken = [](const QString &target) {
        if (present(target))
            return true;
        for (const char *suffix : kCompanions)
            if (present(target + QLatin1String(suffix)))
                return true;
        return false;
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
    const QString aside = freeAsidePath(path, now);
    return moveToAside(path, aside, error) ? aside : QString();
}

Outcome salvage(const QString &path, const QDateTime &now, const StepHook &afterStep, const Limits &limits)
{
    Outcome out;
    const QString aside = freeAsidePath(path, now);
    QString why;
    if (!writeFileAtomically(noteOf(path), QFileInfo(aside).fileName().toUtf8(), &why)) {
        out.unfinished = true;
        out.error = QStringLiteral("no note of its salvage could be written beside it: %1").arg(why);
        return out;
    }
    notify(afterStep, Step::marked);
    out.aside = aside;
    return finish(path, std::move(out), limits, afterStep);
}

bool hasUnfinished(const QString &path)
{
    return present(noteOf(path));
}

std::optional<Outcome> resumeUnfinished(const QString &path, const StepHook &afterStep, const Limits &limits)
{
    const QString note = noteOf(path);
    if (!present(note))
        return std::nullopt;
    Outcome out;
    out.resumed = true;
    const BoundedFileRead read = readBoundedFile(note, BoundedFileLimits{kNoteBytes, true});
    const QString name = read.ok() ? QString::fromUtf8(read.bytes) : QString();
    if (!isAsideName(path, name) && present(path) && isSound(path)) {
        // Nothing was set aside under that name and the store is whole: no salvage is waiting.
        qCWarning(lcPersistence, "%s names no file set aside, and the store is sound; removing it", qPrintable(note));
        removeNote(path);
        return std::nullopt;
    }
    if (!isAsideName(path, name)) {
        out.unfinished = true;
        out.error = QStringLiteral("%1, left by a salvage of the damaged history that was cut short, %2")
                        .arg(note, read.ok() ? QStringLiteral("names no file set aside") : read.errorText);
        return out;
    }
    out.aside = QDir(QFileInfo(path).absolutePath()).filePath(name);
    const bool asideThere = present(out.aside), storeThere = present(path);
    if (!asideThere && !storeThere) {
        qCWarning(lcPersistence, "Neither the store at %s nor %s is there any more", qPrintable(path),
                  qPrintable(out.aside));
        removeNote(path);
        return std::nullopt;
    }
    if (asideThere && storeThere) {
        // Cut short once the new store had taken its place.
        out.placed = true;
        removeNote(path);
        return out;
    }
    qCWarning(lcPersistence, "A salvage of the store at %s was cut short; reading %s again", qPrintable(path),
              qPrintable(out.aside));
    return finish(path, std::move(out), limits, afterStep);
}

} // namespace quillmere::StoreSalvage
