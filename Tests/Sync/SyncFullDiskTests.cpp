#include "SyncTestDevice.h"

#include "Support/SmallDisk.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

TEST(SyncFullDisk, AChangeFileThatDidNotFitIsNotCountedAndIsWrittenByALaterPass)
{
    SmallDisk disk;
    ASSERT_TRUE(disk.mounted()) << "mounting a tmpfs needs root";
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
