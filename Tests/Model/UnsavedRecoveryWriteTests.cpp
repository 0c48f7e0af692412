#include "Quillmere/Model/UnsavedRecovery.h"

#include "Support/SmallDisk.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(UnsavedRecovery, ASpillThatMeetsAFullDiskIsReportedAndLeavesNoEmptyFile)
{
    test::SmallDisk disk;
    ASSERT_TRUE(disk.mounted()) << qPrintable(disk.error());
    // In a folder of its own, so that the spill's second place, the folder above, is full too.
    ASSERT_TRUE(QDir().mkdir(disk.filePath("Quillmere")));
    const QString store = disk.filePath("Quillmere/default.store");
    ASSERT_TRUE(disk.fill());
    QString error;
    EXPECT_TRUE(UnsavedRecovery::write(store, {}, QDateTime::currentDateTimeUtc(), &error).isEmpty());
    EXPECT_TRUE(error.contains("No space left")) << qPrintable(error);
    EXPECT_TRUE(UnsavedRecovery::all(store).isEmpty());
}

TEST(UnsavedRecovery, TwoSpillsInTheSameSecondAreBothKept)
{
    QTemporaryDir dir;
    const QString store = dir.filePath("default.store");
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto page = std::make_shared<Pinboard>();
    page->setName("first");
    const QString first = UnsavedRecovery::write(store, {page}, now, nullptr);
    const QString second = UnsavedRecovery::write(store, {}, now.addMSecs(1), nullptr);
    ASSERT_FALSE(first.isEmpty());
    ASSERT_FALSE(second.isEmpty());
    EXPECT_EQ(UnsavedRecovery::all(store), QStringList({first, second}));
    const auto read = UnsavedRecovery::read(first, nullptr);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->pages.size(), 1u);
    EXPECT_EQ(read->pages.front().name, "first");
}
