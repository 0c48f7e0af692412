#include "Quillmere/Capture/Tool/ScreenshotToolCore.h"
#include "Support/DisplayTestSupport.h"

#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quillmere::screenshot;

TEST(ScreenshotTool, ArgumentsAreTheAreaFormOrThePathAlone)
{
    EXPECT_EQ(parseToolArguments({"-i", "/tmp/a.png"})->interactive, true);
    EXPECT_EQ(parseToolArguments({"-i", "/tmp/a.png"})->outputPath, "/tmp/a.png");
    EXPECT_EQ(parseToolArguments({"/tmp/b.png"})->interactive, false);
    for (const QStringList &bad : {QStringList{}, QStringList{"-i"}, QStringList{"-x", "/tmp/a.png"},
                                   QStringList{"/tmp/a.png", "/tmp/b.png"}, QStringList{"-i", "-i"}, QStringList{""}})
        EXPECT_FALSE(parseToolArguments(bad)) << bad.join(' ').toStdString();
}

TEST(ScreenshotTool, DragSelectsThePixelsBetweenPressAndReleaseInAnyDirection)
{
    AreaSelection selection(QSize(1600, 1000));
    selection.press({400, 300});
    selection.move({100, 120});
    EXPECT_EQ(selection.rect(), QRect(100, 120, 300, 180));
    EXPECT_EQ(selection.sizeReadout(), QString::fromUtf8("300 × 180"));
    EXPECT_EQ(selection.release({100, 100}), QRect(100, 100, 300, 200));
    EXPECT_FALSE(selection.isDragging());

    // Past the edges the selection stops at the screen; a click without a drag selects nothing.
    selection.press({1500, 900});
    EXPECT_EQ(selection.release({2000, -50}), QRect(1500, 0, 100, 900));
    selection.press({10, 10});
    EXPECT_FALSE(selection.release({10, 10}));
    EXPECT_FALSE(selection.release({50, 50})) << "a release without a press";
}

TEST(ScreenshotTool, ScaledScreensMapLogicalPointsToDevicePixels)
{
    // A 2x screen to the right of a 1x one: Qt keeps its corner in device pixels.
    const ScreenLayout layout{QRect(1600, 0, 960, 540), 2.0};
    EXPECT_EQ(layout.deviceGeometry(), QRect(1600, 0, 1920, 1080));
    EXPECT_EQ(layout.toDevice(QPointF(100.5, 20.0)), QPoint(201, 40));
}

TEST(ScreenshotTool, PNGIsWrittenForTheUserOnlyAndReplacesInOneStep)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("shot.png");
    ASSERT_TRUE(writePNGAtomically(quillmere::test::filled(40, 30, Qt::red), path));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(QImage(path).size(), QSize(40, 30));
    EXPECT_FALSE(writePNGAtomically(QImage(), dir.filePath("none.png")));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("none.png")));
}
