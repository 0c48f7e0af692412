#include "Quillmere/Model/UnsavedRecovery.h"

#include "Support/SmallDisk.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(UnsavedRecovery, ASpillThatMeetsAFullDiskIsReportedAndLeavesNoEmptyFile)
{
    test::SmallDisk disk;
    ASSERT_TRUE(disk.mounted()) << "mounting a tmpfs needs root";
    const QString store = disk.filePath("default.store");
    ASSERT_TRUE(disk.fill());
    QString error;
    EXPECT_TRUE(UnsavedRecovery::write(store, {}, QDateTime::currentDateTimeUtc(), &error).isEmpty());
    EXPECT_TRUE(error.contains("No space left")) << qPrintable(error);
    EXPECT_TRUE(UnsavedRecovery::newest(store).isEmpty());
}
