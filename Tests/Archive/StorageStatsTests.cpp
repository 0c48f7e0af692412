#include "Quillmere/Archive/StorageStats.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QDateTime base(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);

// Newest first, as the store hands them over: each one a second older than the one before.
struct Facts {
    std::vector<ClipFact> list;
    ClipFact &add(ClipKind kind, qint64 bytes, std::optional<QString> page = {}, QString hash = {})
    {
        ClipFact fact;
        fact.id = QUuid::createUuid();
        fact.kind = kind;
        fact.byteCount = bytes;
        fact.createdAt = base.addSecs(-qint64(list.size()));
        fact.pageName = std::move(page);
        fact.contentHash = hash.isNull() ? fact.id.toString() : hash;
        list.push_back(fact);
        return list.back();
    }
};

} // namespace

TEST(StorageStats, NoFactsGiveTheEmptyStatistics)
{
    EXPECT_EQ(StorageStats::from({}), StorageStats());
    EXPECT_FALSE(StorageStats().oldest);
}

TEST(StorageStats, TotalsByKindAndDateRange)
{
    Facts f;
    f.add(ClipKind::text, 10);
    f.add(ClipKind::image, 500);
    f.add(ClipKind::text, 20);
    f.add(ClipKind::file, 0);
    const StorageStats stats = StorageStats::from(f.list);
    EXPECT_EQ(stats.totalClips, 4);
    EXPECT_EQ(stats.totalBytes, 530);
    ASSERT_EQ(stats.kindTotals.size(), 3u); // no link row
    EXPECT_EQ(stats.kindTotals[0], (KindTotal{ClipKind::image, 1, 500}));
    EXPECT_EQ(stats.kindTotals[1], (KindTotal{ClipKind::text, 2, 30}));
    EXPECT_EQ(stats.kindTotals[2], (KindTotal{ClipKind::file, 1, 0}));
    EXPECT_EQ(stats.newest, base);
    EXPECT_EQ(stats.oldest, base.addSecs(-3));
}

TEST(StorageStats, LargestClipsAreTenAndTiesStayNewestFirst)
{
    Facts f;
    for (int i = 0; i < 12; ++i)
        f.add(ClipKind::text, 100);
    f.add(ClipKind::image, 1000); // the oldest, but the largest
    const StorageStats stats = StorageStats::from(f.list);
    ASSERT_EQ(stats.largestClips.size(), 10u);
    EXPECT_EQ(stats.largestClips[0].byteCount, 1000);
    for (size_t i = 1; i < 10; ++i)
        EXPECT_EQ(stats.largestClips[i].id, f.list[i - 1].id) << i;
}

TEST(StorageStats, PagesByCountThenCodePointOrder)
{
    Facts f;
    for (int i = 0; i < 3; ++i) {
        f.add(ClipKind::text, 1, QStringLiteral("work"));
        f.add(ClipKind::text, 2, QStringLiteral("Work"));
    }
    for (int i = 0; i < 4; ++i)
        f.add(ClipKind::text, 5, QStringLiteral("Untitled"));
    f.add(ClipKind::text, 7, QStringLiteral("\U0001F600")); // past U+FFFF
    f.add(ClipKind::text, 7, QStringLiteral("\uFB01"));
    f.add(ClipKind::text, 9); // on no Page
    const StorageStats stats = StorageStats::from(f.list);
    std::vector<PageTotal> expected{{QStringLiteral("Untitled"), 4, 20},
                                    {QStringLiteral("Work"), 3, 6},
                                    {QStringLiteral("work"), 3, 3},
                                    {QStringLiteral("\uFB01"), 1, 7},
                                    {QStringLiteral("\U0001F600"), 1, 7}};
    EXPECT_EQ(stats.pageTotals, expected);
}

TEST(StorageStats, DuplicateCandidatesCountEveryCopyBeyondTheFirst)
{
    Facts f;
    for (int i = 0; i < 3; ++i)
        f.add(ClipKind::text, 1, {}, QStringLiteral("a"));
    for (int i = 0; i < 2; ++i)
        f.add(ClipKind::text, 1, {}, QStringLiteral("b"));
    for (int i = 0; i < 2; ++i)
        f.add(ClipKind::text, 1, {}, QStringLiteral(""));
    f.add(ClipKind::text, 1);
    EXPECT_EQ(StorageStats::from(f.list).duplicateCandidateCount, 2 + 1 + 1);
}
