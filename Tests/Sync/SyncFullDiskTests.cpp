#include "SyncTestDevice.h"

#include "Support/SmallDisk.h"

#include "Quillmere/Sync/SyncFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

TEST(SyncFullDisk, AChangeFileThatDidNotFitIsNotCountedAndIsWrittenByALaterPass)
{
    SmallDisk disk;
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    const QString root = disk.filePath(QStringLiteral("sync"));
    ASSERT_TRUE(QDir().mkdir(root));
    FakeClock clock;
    SyncDevice a{root, QStringLiteral("device-aaaa"), clock};
    SyncDevice b{root, QStringLiteral("device-bbbb"), clock};
    ASSERT_TRUE(a.engine->start() && b.engine->start() && a.settle() && b.settle());

    ASSERT_TRUE(disk.fill());
    a.events.clear();
    a.add(QStringLiteral("copied while the disk was full"));
    ASSERT_TRUE(a.exportNow());
    ASSERT_FALSE(a.events.empty());
    EXPECT_FALSE(a.events.back().succeeded);
    ASSERT_TRUE(b.importNow());
    EXPECT_FALSE(b.clip(QStringLiteral("copied while the disk was full")));

    disk.release();
    ASSERT_TRUE(carry(a, b));
    EXPECT_TRUE(b.clip(QStringLiteral("copied while the disk was full")));
}

TEST(SyncFullDisk, AnEmptyBlobLeftUnderItsNameIsWrittenAgainWhenItsClipGoesOut)
{
    QTemporaryDir shared;
    FakeClock clock;
    SyncDevice a{shared.path(), QStringLiteral("device-aaaa"), clock};
    SyncDevice b{shared.path(), QStringLiteral("device-bbbb"), clock};
    ASSERT_TRUE(a.engine->start() && b.engine->start() && a.settle() && b.settle());
    CapturedContent picture;
    picture.kind = ClipKind::image;
    picture.imageData = QByteArray("\x89PNG pixels", 11);
    ASSERT_TRUE(a.store->insertClip(picture));
    ASSERT_TRUE(a.exportNow());
    const QString blob =
        SyncFolder::blobPath(shared.path(), QStringLiteral("device-aaaa"), SyncFolder::sha256Hex(*picture.imageData));
    ASSERT_TRUE(QFile::resize(blob, 0));

    clock.advance(1000);
    ASSERT_TRUE(a.store->insertClip(picture)); // copied again: the clip goes out once more
    ASSERT_TRUE(carry(a, b));
    EXPECT_EQ(QFileInfo(blob).size(), picture.imageData->size());
    bool arrived = false;
    for (const ClipRef &c : b.store->historyNewestFirst())
        arrived = arrived || c->imageData() == picture.imageData;
    EXPECT_TRUE(arrived);
}
