#include "Quillmere/Model/StoreSalvage.h"

#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QUuid>
#include <limits>
#include <optional>
#include <vector>

namespace quillmere::StoreSalvage {
namespace {

constexpr qint64 deadlineMs = 20 * 1000;
constexpr int idBatch = 256;

struct SchemaEntry {
    QString type, name, sql;
};

// An empty blob reads back as a null byte array, which would be bound as NULL.
QVariant stored(const QVariant &value)
{
    if (value.typeId() == QMetaType::QByteArray && !value.isNull() && value.toByteArray().isNull())
        return QVariant(QByteArray(""));
    return value;
}

// Reads on a connection of its own: an error of a damaged page ends the transaction it meets, which
// must not be the one that writes the new file.
class RowCopier {
public:
    RowCopier(QSqlDatabase from, QSqlDatabase to) : m_from(std::move(from)), m_to(std::move(to)) { m_clock.start(); }

    bool expired() const { return m_clock.elapsed() > deadlineMs; }

    // Copies every row of `table` that reads; returns how many.
    int copy(const QString &table)
    {
        QSqlQuery read(m_from);
        read.setForwardOnly(true);
        if (!read.prepare(QStringLiteral("SELECT * FROM \"%1\" WHERE rowid = ?").arg(table)))
            return 0;
        std::optional<QSqlQuery> insert;
        int copied = 0;
        qint64 after = std::numeric_limits<qint64>::min();
        while (!expired()) {
            std::vector<qint64> ids;
            const bool clean = rowIDs(table, after, &ids);
            for (const qint64 id : ids) {
                after = id;
                read.bindValue(0, id);
                if (!read.exec() || !read.next())
                    continue;
                const int columns = read.record().count();
                if (!insert) {
                    QStringList marks;
                    for (int i = 0; i < columns; ++i)
                        marks << QStringLiteral("?");
                    insert.emplace(m_to);
                    if (!insert->prepare(
                            QStringLiteral("INSERT INTO \"%1\" VALUES (%2)").arg(table, marks.join(QLatin1Char(',')))))
                        return copied;
                }
                for (int i = 0; i < columns; ++i)
                    insert->bindValue(i, stored(read.value(i)));
                if (insert->exec())
                    ++copied;
                read.finish();
            }
            if (clean && ids.size() < size_t(idBatch))
                break;
            if (clean || !ids.empty())
                continue;
            const std::optional<qint64> past = pastDamage(table, after);
            if (!past)
                break;
            after = *past;
        }
        return copied;
    }

private:
    // Up to a batch of row ids after `after`; false when damage stopped the read (what came before stays).
    bool rowIDs(const QString &table, qint64 after, std::vector<qint64> *ids)
    {
        QSqlQuery q(m_from);
        q.setForwardOnly(true);
        if (!q.prepare(QStringLiteral("SELECT rowid FROM \"%1\" WHERE rowid > ? ORDER BY rowid LIMIT %2")
                           .arg(table)
                           .arg(idBatch)))
            return false;
        q.bindValue(0, after);
        if (!q.exec())
            return false;
        while (q.next())
            ids->push_back(q.value(0).toLongLong());
        return !q.lastError().isValid();
    }

    bool readsAfter(const QString &table, qint64 after)
    {
        std::vector<qint64> ids;
        return rowIDs(table, after, &ids) || !ids.empty();
    }

    // The lowest row id after which the table reads again: found by leaps that double, then
    // halved back so that rows just past the damaged stretch are not passed over. None when the
    // damage reaches the end.
    std::optional<qint64> pastDamage(const QString &table, qint64 damagedAt)
    {
        constexpr qint64 top = std::numeric_limits<qint64>::max();
        qint64 low = damagedAt;
        std::optional<qint64> high;
        for (qint64 step = 1; !high && !expired(); step *= 2) {
            if (low > top - step)
                return std::nullopt;
            if (readsAfter(table, low + step))
                high = low + step;
            else
                low += step;
            if (step > top / 2)
                break;
        }
        if (!high)
            return std::nullopt;
        while (*high - low > 1 && !expired()) {
            const qint64 mid = low + (*high - low) / 2;
            if (readsAfter(table, mid))
                high = mid;
            else
                low = mid;
        }
        return high;
    }

    QSqlDatabase m_from;
    QSqlDatabase m_to;
    QElapsedTimer m_clock;
};

// Rows that point at what was lost are mended, not kept pointing at nothing. Older stores may
// lack a column these name; their statements then change nothing.
void mendReferences(QSqlQuery &q)
{
    // A picture clip without its picture cannot be shown or pasted.
    q.exec(QStringLiteral("DELETE FROM clips WHERE kind = 'image' AND id NOT IN (SELECT clipID FROM clip_images)"));
    q.exec(QStringLiteral("UPDATE clips SET imageSize = -1 WHERE imageSize >= 0 AND id NOT IN "
                          "(SELECT clipID FROM clip_images)"));
    q.exec(QStringLiteral("UPDATE clips SET fileSize = -1 WHERE fileSize >= 0 AND id NOT IN "
                          "(SELECT clipID FROM clip_files)"));
    q.exec(QStringLiteral("UPDATE clips SET pinboardID = NULL WHERE pinboardID IS NOT NULL AND pinboardID NOT IN "
                          "(SELECT id FROM pinboards)"));
    q.exec(QStringLiteral("DELETE FROM clip_images WHERE clipID NOT IN (SELECT id FROM clips)"));
    q.exec(QStringLiteral("DELETE FROM clip_files WHERE clipID NOT IN (SELECT id FROM clips)"));
}

int copyInto(QSqlDatabase &from, QSqlDatabase &db, QString *error)
{
    const auto fail = [&](const QString &why) {
        *error = why;
        return -1;
    };
    QSqlQuery read(from);
    std::vector<SchemaEntry> schema;
    if (!read.exec(QStringLiteral("SELECT type, name, sql FROM sqlite_master")))
        return fail(describe(read.lastError()));
    while (read.next())
        schema.push_back({read.value(0).toString(), read.value(1).toString(), read.value(2).toString()});
    if (read.lastError().isValid())
        return fail(QStringLiteral("its list of tables cannot be read: %1").arg(describe(read.lastError())));
    read.finish();
    const int version = read.exec(QStringLiteral("PRAGMA user_version")) && read.next() ? read.value(0).toInt() : 0;
    read.finish();

    QSqlQuery q(db);
    q.exec(QStringLiteral("PRAGMA page_size = 8192"));
    if (!db.transaction())
        return fail(describe(db.lastError()));
    std::vector<QString> tables;
    for (const SchemaEntry &entry : schema) {
        if (entry.type != QLatin1String("table"))
            continue;
        // Made by SQLite with the first table that counts its keys.
        if (entry.name == QLatin1String("sqlite_sequence")) {
            tables.push_back(entry.name);
            continue;
        }
        if (entry.name.startsWith(QLatin1String("sqlite_"))
            || !entry.sql.startsWith(QLatin1String("CREATE TABLE"), Qt::CaseInsensitive))
            continue;
        if (q.exec(entry.sql))
            tables.push_back(entry.name);
        else
            qCWarning(lcPersistence, "Could not make the table %s again: %s", qPrintable(entry.name),
                      qPrintable(describe(q.lastError())));
    }
    RowCopier copier(from, db);
    for (const QString &table : tables) {
        const int copied = copier.copy(table);
        qCDebug(lcPersistence, "Read %d rows of %s from the damaged store", copied, qPrintable(table));
    }
    if (copier.expired())
        qCWarning(lcPersistence, "Stopped reading the damaged store after %lld s", deadlineMs / 1000);
    mendReferences(q);
    // After the rows: built in one pass, and rows a unique index would refuse are already in.
    for (const SchemaEntry &entry : schema)
        if (entry.type == QLatin1String("index") && !entry.sql.isEmpty() && !q.exec(entry.sql))
            qCWarning(lcPersistence, "Could not make the index %s again: %s", qPrintable(entry.name),
                      qPrintable(describe(q.lastError())));
    const int clips = q.exec(QStringLiteral("SELECT COUNT(*) FROM clips")) && q.next() ? q.value(0).toInt() : 0;
    q.finish();
    if (!q.exec(QStringLiteral("PRAGMA user_version = %1").arg(version)) || !db.commit()) {
        const QString why = describe(q.lastError().isValid() ? q.lastError() : db.lastError());
        db.rollback();
        return fail(why);
    }
    return clips;
}

} // namespace

int copyReadableRows(const QString &damaged, const QString &target, QString *error)
{
    QString why;
    for (const QString &file : {target, target + QStringLiteral("-journal")})
        QFile::remove(file);
    // Made here first, so that it never has a looser mode than the history it holds.
    if (QFile file(target);
        !file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner)) {
        if (error)
            *error = file.errorString();
        return -1;
    }
    // A reader of a store in WAL mode makes its companions; those it made go again.
    QStringList madeHere;
    for (const char *suffix : {"-wal", "-shm"})
        if (!QFile::exists(damaged + QLatin1String(suffix)))
            madeHere << damaged + QLatin1String(suffix);
    const QString id = QUuid::createUuid().toString(QUuid::Id128);
    const QString readName = QStringLiteral("quillmere-salvage-read-%1").arg(id);
    const QString writeName = QStringLiteral("quillmere-salvage-%1").arg(id);
    int clips = -1;
    {
        // Read only: the damaged file stays exactly as it was found.
        QSqlDatabase from = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), readName);
        from.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        from.setDatabaseName(damaged);
        QSqlDatabase to = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), writeName);
        to.setDatabaseName(target);
        if (!from.open())
            why = describe(from.lastError());
        else if (!to.open())
            why = describe(to.lastError());
        else
            clips = copyInto(from, to, &why);
        to.close();
        from.close();
    }
    QSqlDatabase::removeDatabase(writeName);
    QSqlDatabase::removeDatabase(readName);
    for (const QString &file : madeHere)
        QFile::remove(file);
    if (clips < 0) {
        QFile::remove(target);
        if (error)
            *error = why;
    }
    return clips;
}

} // namespace quillmere::StoreSalvage
