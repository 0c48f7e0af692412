#include "Model/DamagedStores.h"

#include <QFile>
#include <random>
#include <sqlite3.h>

namespace quillmere::test {
namespace {

// Reads `sql` with `id` bound on a read-only connection to `path`, once per id given.
template <typename Each> void readEach(const QString &path, const char *sql, Each each)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK)
            each(statement);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
}

} // namespace

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFileBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

void damagePages(QByteArray &bytes, qint64 pageBytes, qint64 first, int count, quint32 seed)
{
    std::mt19937 random(seed);
    for (qint64 page = first; page < first + count; ++page) {
        const qint64 start = (page - 1) * pageBytes;
        if (start + pageBytes > bytes.size())
            break;
        // Half the pages whole, the others from a point in them to a point after it.
        qint64 from = 0, to = pageBytes;
        if (random() % 2) {
            from = qint64(random() % quint32(pageBytes));
            to = from + 1 + qint64(random() % quint32(pageBytes - from));
        }
        for (qint64 i = from; i < to; ++i)
            bytes[start + i] = char(random() & 0xff);
    }
}

bool spoilPagesHolding(const QString &path, qint64 pageBytes, const std::vector<QByteArray> &rows)
{
    QByteArray bytes = fileBytes(path);
    for (const QByteArray &row : rows) {
        qsizetype at = bytes.indexOf(row);
        while (at >= 0 && at + row.size() < bytes.size() && bytes.at(at + row.size()) == '\n')
            at = bytes.indexOf(row, at + 1);
        if (at < 0)
            return false;
        // No page type has every bit set.
        bytes.replace(at / pageBytes * pageBytes, pageBytes, QByteArray(pageBytes, char(0xff)));
    }
    return writeFileBytes(path, bytes);
}

std::vector<qint64> rowsReadableByID(const QString &path, const QString &table, qint64 lastID)
{
    std::vector<qint64> readable;
    const QByteArray sql = QStringLiteral("SELECT * FROM \"%1\" WHERE rowid = ?").arg(table).toUtf8();
    readEach(path, sql.constData(), [&](sqlite3_stmt *statement) {
        for (qint64 id = 1; id <= lastID; ++id) {
            sqlite3_bind_int64(statement, 1, id);
            if (sqlite3_step(statement) == SQLITE_ROW)
                readable.push_back(id);
            sqlite3_reset(statement);
        }
    });
    return readable;
}

std::vector<qint64> rowIDsIn(const QString &path, const QString &table)
{
    std::vector<qint64> ids;
    const QByteArray sql = QStringLiteral("SELECT rowid FROM \"%1\" ORDER BY rowid").arg(table).toUtf8();
    readEach(path, sql.constData(), [&](sqlite3_stmt *statement) {
        while (sqlite3_step(statement) == SQLITE_ROW)
            ids.push_back(sqlite3_column_int64(statement, 0));
    });
    return ids;
}

} // namespace quillmere::test
