#include "Quillmere/Model/UnsavedRecovery.h"

#include "Support/SmallDisk.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(UnsavedRecovery, ASpillThatMeetsAFullDiskIsReportedAndLeavesNoEmptyFile)
{
    test::SmallDisk disk;
    ASSERT_TRUE(disk.mounted()) << "mounting a tmpfs needs root";
    // In a folder of its own, so that the spill's second place, the folder above, is full too.
    ASSERT_TRUE(QDir().mkdir(disk.filePath("Quillmere")));
    const QString store = disk.filePath("Quillmere/default.store");
    ASSERT_TRUE(disk.fill());
    QString error;
    EXPECT_TRUE(UnsavedRecovery::write(store, {}, QDateTime::currentDateTimeUtc(), &error).isEmpty());
    EXPECT_TRUE(error.contains("No space left")) << qPrintable(error);
    EXPECT_TRUE(UnsavedRecovery::all(store).isEmpty());
}
