#include "Quillmere/Model/SearchReader.h"
#include "Quillmere/Model/SqlitePageMemory.h"
#include "Quillmere/Model/StoreSchema.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <thread>

using namespace quillmere;

namespace {

constexpr int kKeys = 500, kKeyBytes = 6000;

bool exec(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    return q.exec(sql);
}

QVariant valueOf(const QString &connection, const QString &sql)
{
    QSqlQuery q(QSqlDatabase::database(connection));
    return q.exec(sql) && q.next() ? q.value(0) : QVariant();
}

// Two page-sized blocks are apart, say their size, and a block grown past a slot keeps what it held.
bool blocksAreSound()
{
    const int asked = StoreSchema::pageBytes + 1;
    auto *a = static_cast<char *>(sqlite3_malloc(asked));
    auto *b = static_cast<char *>(sqlite3_malloc(asked));
    const int size = a && b ? int(sqlite3_msize(a)) : 0;
    const bool apart = size >= asked && (a + size <= b || b + int(sqlite3_msize(b)) <= a);
    if (a)
        std::memset(a, 0x5a, size_t(size));
    auto *grown = static_cast<char *>(sqlite3_realloc(a, 3 * StoreSchema::pageBytes));
    bool kept = grown != nullptr;
    for (int i = 0; kept && i < size; ++i)
        kept = grown[i] == 0x5a;
    sqlite3_free(grown ? grown : a);
    sqlite3_free(b);
    return apart && kept;
}

// The kept search connection's life in small: its keys read into its cache on one pool thread,
// a save, then read again on another, then the connection closed. Says what the range held after
// each, and exits with 0 when the second read took the slots the first one freed, the store reads
// whole through them, and the closing gave them back to the system.
int readTwiceOnTwoThreads()
{
    if (QString why; !reserveSqlitePageMemory(qint64(32) << 20, &why)) {
        std::fprintf(stderr, "not reserved: %s\n", qPrintable(why));
        return 2;
    }
    if (!blocksAreSound())
        return 3;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("keys.store"));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("writer"));
        db.setDatabaseName(path);
        if (!db.open() || !exec(db, QStringLiteral("PRAGMA page_size = %1").arg(StoreSchema::pageBytes))
            || !exec(db, QStringLiteral("PRAGMA journal_mode=WAL"))
            || !exec(db, QStringLiteral("CREATE TABLE clip_search(row INTEGER PRIMARY KEY, key BLOB)"))
            || !exec(db,
                     QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                                    "INSERT INTO clip_search(key) SELECT randomblob(%2) FROM n")
                         .arg(kKeys)
                         .arg(kKeyBytes)))
            return 4;
    }
    auto reader = std::make_unique<SearchReader>(path, qint64(16) << 20);
    bool warmed = false;
    std::thread([&] { warmed = reader->warm(); }).join();
    const qint64 first = sqlitePageMemoryResident();
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("writer"));
        if (!warmed || !exec(db, QStringLiteral("INSERT INTO clip_search(key) VALUES (x'00')")))
            return 5;
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("writer"));
    std::thread([&] {
        const std::atomic<bool> stop = false;
        warmed = reader->read(
                     stop, [](SearchReader::Read &) { return true; }, nullptr)
            && !reader->isWarm() && reader->warm();
    }).join();
    const qint64 second = sqlitePageMemoryResident();
    {
        QSqlDatabase check = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        check.setDatabaseName(path);
        if (!check.open()
            || valueOf(QStringLiteral("check"), QStringLiteral("PRAGMA integrity_check")).toString()
                != QLatin1String("ok")
            || valueOf(QStringLiteral("check"), QStringLiteral("SELECT count(*) FROM clip_search")).toInt()
                != kKeys + 1)
            return 6;
        check.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    reader.reset();
    const qint64 closed = sqlitePageMemoryResident();
    std::fprintf(stderr, "range held %lld bytes after the first read, %lld after the second, %lld once closed\n",
                 static_cast<long long>(first), static_cast<long long>(second), static_cast<long long>(closed));
    if (!warmed)
        return 7;
    const qint64 keys = qint64(kKeys) * kKeyBytes;
    return first >= keys && second <= first + first / 10 && closed <= first / 4 ? 0 : 8;
}

} // namespace

// In a process of its own: SQLite takes its memory setup only before its first connection.
TEST(SqlitePageMemoryDeathTest, AKeptCacheReadAgainOnAnotherThreadAfterASaveTakesTheSameSlots)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(readTwiceOnTwoThreads()), testing::ExitedWithCode(0), "");
}
