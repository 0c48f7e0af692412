#include "Model/DamagedStores.h"

#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <random>
#include <sqlite3.h>

namespace quillmere::test {
namespace {

// Reads `sql` with `id` bound on a read-only connection to `path`, once per id given.
template <typename Each> void readEach(const QString &path, const char *sql, Each each)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK
        && sqlite3_exec(db, "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr) == SQLITE_OK) {
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

bool flipInteriorCellPointer(QByteArray &bytes, qint64 pageBytes, qint64 page, quint16 bit)
{
    if (page < 1 || page * pageBytes > bytes.size())
        return false;
    char *p = bytes.data() + (page - 1) * pageBytes + (page == 1 ? 100 : 0);
    const quint16 cells = qFromBigEndian<quint16>(p + 3);
    if (quint8(p[0]) != 0x05 || cells < 1)
        return false;
    char *pointer = p + 12 + 2 * (cells / 2);
    qToBigEndian<quint16>(qFromBigEndian<quint16>(pointer) ^ bit, pointer);
    return true;
}

bool nameNeighboursChild(QByteArray &bytes, qint64 pageBytes, qint64 page)
{
    if (page < 1 || page * pageBytes > bytes.size())
        return false;
    char *p = bytes.data() + (page - 1) * pageBytes + (page == 1 ? 100 : 0);
    const quint16 cells = qFromBigEndian<quint16>(p + 3);
    if (quint8(p[0]) != 0x05 || cells < 2)
        return false;
    const auto cell = [&](int i) {
        return bytes.data() + (page - 1) * pageBytes + qFromBigEndian<quint16>(p + 12 + 2 * i);
    };
    memcpy(cell(cells / 2), cell(cells / 2 - 1), 4);
    return true;
}

int zeroOverflowEnding(QByteArray &bytes, qint64 pageBytes, const QByteArray &marker)
{
    int zeroed = 0;
    for (qsizetype at = bytes.indexOf(marker); at >= 0; at = bytes.indexOf(marker, at + 1)) {
        char *page = bytes.data() + at / pageBytes * pageBytes;
        if (at / pageBytes == 0 || qFromBigEndian<quint32>(page) != 0)
            continue;
        std::fill(page, page + pageBytes, '\0');
        ++zeroed;
    }
    return zeroed;
}

qint64 rootPageOf(const QString &path, const QString &table)
{
    qint64 root = 0;
    readEach(path, "SELECT rootpage FROM sqlite_master WHERE type = 'table' AND name = ?",
             [&](sqlite3_stmt *statement) {
                 const QByteArray name = table.toUtf8();
                 sqlite3_bind_text(statement, 1, name.constData(), int(name.size()), SQLITE_TRANSIENT);
                 if (sqlite3_step(statement) == SQLITE_ROW)
                     root = sqlite3_column_int64(statement, 0);
             });
    return root;
}

bool setNullWhereNotAllowed(const QString &path, const QString &table, const QString &column, const QString &where)
{
    // The table's statement loses the column's NOT NULL for the update and gets it back after.
    sqlite3 *db = nullptr;
    bool done = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK;
    QByteArray sql;
    if (sqlite3_stmt *read = nullptr; done
        && sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE name = ?", -1, &read, nullptr) == SQLITE_OK) {
        const QByteArray name = table.toUtf8();
        sqlite3_bind_text(read, 1, name.constData(), int(name.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(read) == SQLITE_ROW)
            sql = reinterpret_cast<const char *>(sqlite3_column_text(read, 0));
        sqlite3_finalize(read);
    }
    const QByteArray declared = column.toUtf8() + " INTEGER NOT NULL", loose = column.toUtf8() + " INTEGER     ";
    const QByteArray declaredText = column.toUtf8() + " TEXT NOT NULL", looseText = column.toUtf8() + " TEXT     ";
    QByteArray relaxed = sql;
    relaxed.replace(declared, loose).replace(declaredText, looseText);
    done = done && !sql.isEmpty() && relaxed != sql;
    const auto setSql = [&](const QByteArray &text) {
        sqlite3_stmt *write = nullptr;
        bool ok =
            sqlite3_prepare_v2(db, "UPDATE sqlite_master SET sql = ? WHERE name = ?", -1, &write, nullptr) == SQLITE_OK;
        const QByteArray name = table.toUtf8();
        ok = ok && sqlite3_bind_text(write, 1, text.constData(), int(text.size()), SQLITE_TRANSIENT) == SQLITE_OK
            && sqlite3_bind_text(write, 2, name.constData(), int(name.size()), SQLITE_TRANSIENT) == SQLITE_OK
            && sqlite3_step(write) == SQLITE_DONE;
        sqlite3_finalize(write);
        return ok;
    };
    const QByteArray update =
        QStringLiteral("UPDATE \"%1\" SET \"%2\" = NULL WHERE %3").arg(table, column, where).toUtf8();
    // The statement is read again only by a new connection, as the schema's cookie is not bumped.
    done = done && sqlite3_exec(db, "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr) == SQLITE_OK
        && setSql(relaxed);
    sqlite3_close(db);
    db = nullptr;
    done = done && sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK
        && sqlite3_exec(db, update.constData(), nullptr, nullptr, nullptr) == SQLITE_OK
        && sqlite3_exec(db, "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr) == SQLITE_OK && setSql(sql);
    sqlite3_close(db);
    return done;
}

} // namespace quillmere::test
