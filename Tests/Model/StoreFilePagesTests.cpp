#include "Model/DamagedStores.h"
#include "Quillmere/Model/StoreFilePages.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace quillmere;

namespace {

constexpr int kPage = 4096;

// A file of `pages` blank pages of kPage bytes whose first carries the header of a database.
QByteArray blankFile(int pages)
{
    QByteArray bytes(pages * kPage, '\0');
    bytes.replace(0, 16, QByteArray("SQLite format 3\0", 16));
    qToBigEndian<quint16>(kPage, bytes.data() + 16);
    return bytes;
}

// Makes page `number` a table page of `type` whose every cell pointer names the cell at `cellAt`.
char *tablePage(QByteArray &bytes, int number, quint8 type, int pointers, int cellAt)
{
    char *p = bytes.data() + (number - 1) * kPage;
    p[0] = char(type);
    qToBigEndian<quint16>(quint16(pointers), p + 3);
    const int first = type == 0x05 ? 12 : 8;
    for (int i = 0; i < pointers; ++i)
        qToBigEndian<quint16>(quint16(cellAt), p + first + 2 * i);
    return p;
}

std::vector<qint64> allRowIDs(StoreFilePages &pages, quint32 root, size_t batchSize, size_t *largestBatch = nullptr,
                              StoreFilePages::Tree tree = StoreFilePages::Tree::table)
{
    std::vector<qint64> ids;
    EXPECT_TRUE(pages.forEachRowIDBatch(
        root, tree,
        [&](const std::vector<qint64> &batch) {
            EXPECT_TRUE(std::is_sorted(batch.begin(), batch.end()));
            if (largestBatch)
                *largestBatch = std::max(*largestBatch, batch.size());
            ids.insert(ids.end(), batch.begin(), batch.end());
            return true;
        },
        nullptr, batchSize));
    std::sort(ids.begin(), ids.end());
    return ids;
}

void exec(sqlite3 *db, const char *sql)
{
    char *message = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
}

} // namespace

TEST(StoreFilePages, PagesThatNameThemselvesOrOneCellThousandsOfTimesAreReadOnceAndHeldInBatches)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("hostile.store");
    QByteArray bytes = blankFile(40);
    // Page 2: an interior page whose right child and every cell name itself, but one naming page 3.
    char *root = tablePage(bytes, 2, 0x05, 1000, 3000);
    qToBigEndian<quint32>(2, root + 8);
    qToBigEndian<quint32>(2, root + 3000);
    qToBigEndian<quint16>(3010, root + 12);
    qToBigEndian<quint32>(3, root + 3010);
    // Page 3: an interior page naming the leaves 4..40 many times each, and page 2 again.
    char *interior = tablePage(bytes, 3, 0x05, 1900, 0);
    qToBigEndian<quint32>(2, interior + 8);
    for (int i = 0; i < 1900; ++i) {
        qToBigEndian<quint16>(quint16(3900 + 4 * (i % 37)), interior + 12 + 2 * i);
        qToBigEndian<quint32>(quint32(4 + i % 37), interior + 3900 + 4 * (i % 37));
    }
    // Each leaf: 2000 pointers to one cell, and one to a second cell; 74 row ids in all.
    for (int leaf = 4; leaf <= 40; ++leaf) {
        char *p = tablePage(bytes, leaf, 0x0d, 2001, 4050);
        qToBigEndian<quint16>(4060, p + 8 + 2 * 2000);
        p[4050] = 1, p[4051] = char(leaf);
        p[4060] = 1, p[4061] = char(50 + leaf);
    }
    ASSERT_TRUE(test::writeFileBytes(path, bytes));

    StoreFilePages pages(path);
    size_t largest = 0;
    const std::vector<qint64> ids = allRowIDs(pages, 2, 10, &largest);
    std::vector<qint64> expected;
    for (int leaf = 4; leaf <= 40; ++leaf)
        expected.push_back(leaf), expected.push_back(50 + leaf);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);
    // A batch is passed on once it holds ten; one page can add no more than its two cells.
    EXPECT_LE(largest, 11u);

    // Told to stop, it ends at once.
    EXPECT_FALSE(pages.forEachRowIDBatch(
        2, StoreFilePages::Tree::table, [](const std::vector<qint64> &) { return false; }, nullptr, 1));
}

TEST(StoreFilePages, ALogCutInItsLastFrameKeepsEveryTransactionCommittedBeforeIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("logged.store");
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    exec(db, "PRAGMA page_size = 4096");
    exec(db, "PRAGMA journal_mode = WAL");
    exec(db, "PRAGMA wal_autocheckpoint = 0");
    exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT)");
    exec(db, "CREATE INDEX t_v ON t(v)");
    exec(db,
         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
         "INSERT INTO t SELECT i, printf('%0200d', i) FROM n");
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    // In the log only: one transaction whole, and the last, whose commit frame is cut.
    exec(db,
         "WITH RECURSIVE n(i) AS (SELECT 301 UNION ALL SELECT i + 1 FROM n WHERE i < 600) "
         "INSERT INTO t SELECT i, printf('%0200d', i) FROM n");
    exec(db,
         "WITH RECURSIVE n(i) AS (SELECT 601 UNION ALL SELECT i + 1 FROM n WHERE i < 900) "
         "INSERT INTO t SELECT i, printf('%0200d', i) FROM n");
    const QByteArray file = test::fileBytes(path), log = test::fileBytes(path + "-wal");
    sqlite3_close(db);
    ASSERT_GT(log.size(), 32 + 3 * (24 + kPage));

    std::vector<qint64> committed;
    for (qint64 id = 1; id <= 600; ++id)
        committed.push_back(id);
    // Cut inside the last frame's page, then inside its header.
    for (const qsizetype cut : {log.size() - kPage / 2, log.size() - kPage - 10}) {
        SCOPED_TRACE(cut);
        const QString copy = dir.filePath(QString("cut-%1.store").arg(cut));
        ASSERT_TRUE(test::writeFileBytes(copy, file));
        ASSERT_TRUE(test::writeFileBytes(copy + "-wal", log.left(cut)));
        StoreFilePages pages(copy);
        EXPECT_EQ(allRowIDs(pages, 2, StoreFilePages::rowIDBatch), committed);
        // The index lists the same rows, its entries on interior pages as well as on leaves.
        EXPECT_EQ(allRowIDs(pages, 3, 100, nullptr, StoreFilePages::Tree::index), committed);
    }
}

TEST(StoreFilePages, CellPointersAreReadWithoutTheirBitsAboveThePageSizeAndWhatCannotBeReadIsCounted)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("flipped.store");
    QByteArray bytes = blankFile(10);
    // Page 2 names page 3 through a pointer with a bit above the page size, page 50 past the end,
    // the blank page 4, and the leaf 5 as its right child; their keys bound the rows of each.
    char *root = tablePage(bytes, 2, 0x05, 3, 0);
    const quint32 children[] = {3, 50, 4};
    const char keys[] = {10, 30, 40};
    for (int i = 0; i < 3; ++i) {
        qToBigEndian<quint16>(quint16(3000 + 8 * i), root + 12 + 2 * i);
        qToBigEndian<quint32>(children[i], root + 3000 + 8 * i);
        root[3000 + 8 * i + 4] = keys[i];
    }
    qToBigEndian<quint16>(quint16(0x8000 | 3000), root + 12);
    qToBigEndian<quint32>(5, root + 8);
    // Leaf 3: two rows, one behind a pointer with the bit just above the page size.
    char *leaf = tablePage(bytes, 3, 0x0d, 2, 3500);
    qToBigEndian<quint16>(quint16(kPage | 3600), leaf + 10);
    leaf[3500] = 1, leaf[3501] = 7;
    leaf[3600] = 1, leaf[3601] = 8;
    // Leaf 5: three cells it counts, all pointing at the one row it still holds.
    char *last = tablePage(bytes, 5, 0x0d, 3, 3500);
    last[3500] = 1, last[3501] = 41;
    ASSERT_TRUE(test::writeFileBytes(path, bytes));

    StoreFilePages pages(path);
    StoreFilePages::Tally tally;
    std::vector<qint64> ids;
    EXPECT_TRUE(pages.forEachRowIDBatch(
        2, StoreFilePages::Tree::table,
        [&](const std::vector<qint64> &batch) {
            ids.insert(ids.end(), batch.begin(), batch.end());
            return true;
        },
        nullptr, StoreFilePages::rowIDBatch, &tally));
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<qint64>{7, 8, 41}));
    EXPECT_EQ(tally.cells, 5);
    EXPECT_EQ(tally.unreadPages, 2);
    // Rows 11..30 on the page past the end, 31..40 on the blank one.
    EXPECT_EQ(tally.unreadRowIDs, 30);
    EXPECT_EQ(tally.unboundedPages, 0);
}
