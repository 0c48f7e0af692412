#include "Quillmere/Model/SearchReader.h"
#include "Quillmere/Model/SqlitePageMemory.h"
#include "Quillmere/Model/StoreSchema.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

using namespace quillmere;

namespace {

constexpr int kKeys = 500, kKeyBytes = 6000;

bool exec(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    return q.exec(sql);
}

// The kept search connection's life in small: its keys read into its cache on one pool thread,
// a save, then read again on another, then the connection closed. Says what the range held after
// each, and exits with 0 when the second read took the slots the first one freed and they went
// back to the system once it closed.
int readTwiceOnTwoThreads()
{
    if (QString why; !reserveSqlitePageMemory(qint64(32) << 20, &why)) {
        std::fprintf(stderr, "not reserved: %s\n", qPrintable(why));
        return 2;
    }
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
            return 3;
    }
    auto reader = std::make_unique<SearchReader>(path, qint64(16) << 20);
    bool warmed = false;
    std::thread([&] { warmed = reader->warm(); }).join();
    const qint64 first = sqlitePageMemoryResident();
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("writer"));
        if (!warmed || !exec(db, QStringLiteral("INSERT INTO clip_search(key) VALUES (x'00')")))
            return 4;
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
    reader.reset();
    releaseFreeSqlitePageMemory();
    const qint64 closed = sqlitePageMemoryResident();
    std::fprintf(stderr, "range held %lld bytes after the first read, %lld after the second, %lld once closed\n",
                 static_cast<long long>(first), static_cast<long long>(second), static_cast<long long>(closed));
    if (!warmed)
        return 5;
    const qint64 keys = qint64(kKeys) * kKeyBytes;
    return first >= keys && second <= first + first / 10 && closed <= first / 4 ? 0 : 6;
}

} // namespace

// In a process of its own: SQLite takes its memory setup only before its first connection.
TEST(SqlitePageMemory, AKeptCacheReadAgainOnAnotherThreadAfterASaveTakesTheSameSlots)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(readTwiceOnTwoThreads()), testing::ExitedWithCode(0), "");
}
