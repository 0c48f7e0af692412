#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/StoreReader.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

using namespace quillmere;

namespace {

struct Read {
    std::vector<storerow::Clip> changed;
    std::vector<storerow::Clip> newestFirst;
    std::vector<storerow::Page> pages;
    std::vector<storerow::Deletion> deletions;
    std::optional<QByteArray> image;
    std::optional<QByteArray> missingImage;
    bool ok = false;
};

// Read as the sync export and the backup do: on a thread of their own.
Read readOffThread(const QString &path)
{
    Read read;
    std::thread([&] {
        StoreReader store(path);
        read.ok = store.isOpen() && store.beginSnapshot()
            && store.clipsChangedSince(-1, [&](const storerow::Clip &c) { read.changed.push_back(c); })
            && store.clipsNewestFirst(1, [&](const storerow::Clip &c) { read.newestFirst.push_back(c); })
            && store.pagesChangedSince(-1, [&](const storerow::Page &p) { read.pages.push_back(p); })
            && store.deletionsAfter(0, [&](const storerow::Deletion &d) { read.deletions.push_back(d); });
        for (const storerow::Clip &c : read.changed)
            if (c.imageSize > 0)
                read.ok = read.ok && store.blob(storerow::Blob::image, c.row, &read.image);
        read.ok = read.ok && store.blob(storerow::Blob::image, 999, &read.missingImage);
    }).join();
    return read;
}

} // namespace

TEST(StoreReader, ReadsEachFieldByNameOffTheMainThread)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
    ModelContext &ctx = setup.container->mainContext();

    auto page = std::make_shared<Pinboard>();
    page->setName(QStringLiteral("Work"));
    page->setSortOrder(3);
    ctx.insert(page);
    const QDateTime base = QDateTime::fromMSecsSinceEpoch(1767225600000, Qt::UTC);
    auto pinned = std::make_shared<ClipItem>();
    pinned->setCreatedAt(base);
    pinned->setText(QStringLiteral("pinned"));
    pinned->setIsPinned(true);
    pinned->setContentHash(QStringLiteral("hash-p"));
    pinned->setPinboard(page);
    pinned->setSourceAppName(QStringLiteral("Editor"));
    ctx.insert(pinned);
    auto image = std::make_shared<ClipItem>();
    image->setCreatedAt(base.addSecs(60));
    image->setKind(ClipKind::image);
    image->setImageData(QByteArray("png-bytes"));
    image->setExpiresAt(base.addDays(1));
    image->setContentHash(QStringLiteral("hash-i"));
    ctx.insert(image);
    auto gone = std::make_shared<ClipItem>();
    gone->setCreatedAt(base.addSecs(30));
    gone->setText(QStringLiteral("gone"));
    ctx.insert(gone);
    ASSERT_TRUE(ctx.save());
    ctx.remove(gone);
    ASSERT_TRUE(ctx.save());

    const Read read = readOffThread(path);
    ASSERT_TRUE(read.ok);
    ASSERT_EQ(read.changed.size(), 2u);
    const auto byID = [&](const std::shared_ptr<ClipItem> &clip) {
        for (const storerow::Clip &c : read.changed)
            if (QUuid::fromString(c.dedupID) == clip->dedupID())
                return c;
        ADD_FAILURE() << "no row for a clip";
        return storerow::Clip{};
    };
    const storerow::Clip p = byID(pinned);
    EXPECT_EQ(p.text, QStringLiteral("pinned"));
    EXPECT_EQ(p.sourceAppName, QStringLiteral("Editor"));
    EXPECT_EQ(p.customTitle, std::nullopt);
    EXPECT_TRUE(p.isPinned);
    EXPECT_EQ(p.contentHash.value(), QStringLiteral("hash-p"));
    EXPECT_EQ(p.createdAt, base.toMSecsSinceEpoch());
    EXPECT_EQ(p.expiresAt, std::nullopt);
    ASSERT_TRUE(p.pageDedupID);
    EXPECT_EQ(QUuid::fromString(*p.pageDedupID), page->dedupID());
    EXPECT_GT(p.modifiedAt, 0);
    const storerow::Clip i = byID(image);
    EXPECT_EQ(i.kind, QStringLiteral("image"));
    EXPECT_EQ(i.imageSize, 9);
    EXPECT_EQ(i.fileSize, -1);
    EXPECT_EQ(i.expiresAt, base.addDays(1).toMSecsSinceEpoch());
    EXPECT_EQ(i.pageRow, std::nullopt);
    EXPECT_EQ(read.image, QByteArray("png-bytes"));
    EXPECT_EQ(read.missingImage, std::nullopt);

    // One row at a time, newest first, across every page of rows.
    ASSERT_EQ(read.newestFirst.size(), 2u);
    EXPECT_EQ(read.newestFirst[0].row, i.row);
    EXPECT_EQ(read.newestFirst[1].row, p.row);
    EXPECT_EQ(read.newestFirst[1].pageRow, p.pageRow);

    ASSERT_EQ(read.pages.size(), 1u);
    EXPECT_EQ(read.pages[0].name, QStringLiteral("Work"));
    EXPECT_EQ(read.pages[0].sortOrder, 3);
    EXPECT_EQ(std::optional(read.pages[0].row), p.pageRow);
    ASSERT_EQ(read.deletions.size(), 1u);
    EXPECT_EQ(QUuid::fromString(read.deletions[0].recordID), gone->dedupID());
    EXPECT_GT(read.deletions[0].row, 0);
}

TEST(StoreReader, SyncBookkeepingKeepsVersionsAndNotes)
{
    QTemporaryDir dir;
    auto setup = ModelContainerFactory::makeSetup({dir.filePath("default.store"), systemClock()});
    ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
    SyncBookkeeping bookkeeping(setup.container->mainContext());
    EXPECT_EQ(bookkeeping.meta("export.target"), QString());
    ASSERT_TRUE(bookkeeping.setMeta("export.target", "a"));
    ASSERT_TRUE(bookkeeping.setMeta("export.target", "b"));
    ASSERT_TRUE(bookkeeping.setMeta("export.progress", "{}"));
    EXPECT_EQ(bookkeeping.meta("export.target"), QStringLiteral("b"));
    ASSERT_TRUE(bookkeeping.removeMeta({"export.progress", "import.progress"}));
    EXPECT_EQ(bookkeeping.meta("export.progress"), QString());

    ASSERT_TRUE(bookkeeping.putVersion({"id-1", "ClipItem", 10, "laptop", 20, false}));
    ASSERT_TRUE(bookkeeping.putVersion({"id-1", "ClipItem", 11, "desk", 0, true}));
    std::vector<storerow::SyncVersion> versions;
    ASSERT_TRUE(bookkeeping.versions([&](const storerow::SyncVersion &v) { versions.push_back(v); }));
    ASSERT_EQ(versions.size(), 1u);
    EXPECT_EQ(versions[0].modifiedAt, 11);
    EXPECT_EQ(versions[0].device, QStringLiteral("desk"));
    EXPECT_TRUE(versions[0].deleted);

    EXPECT_EQ(bookkeeping.latestDeletion("id-1"), std::nullopt);
    QSqlQuery q(setup.container->mainContext().database());
    ASSERT_TRUE(q.exec("INSERT INTO deletions(entity, recordID, deletedAt) VALUES('ClipItem', 'id-1', 5),"
                       " ('ClipItem', 'id-1', 7), ('Pinboard', 'id-2', 3)"));
    EXPECT_EQ(bookkeeping.latestDeletion("id-1"), 7);
    EXPECT_EQ(bookkeeping.latestDeletions(), (QHash<QString, qint64>{{"id-1", 7}, {"id-2", 3}}));
}
