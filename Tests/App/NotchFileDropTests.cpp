#include "Quillmere/App/NotchFileDrop.h"
#include "Quillmere/Platform/DragWatcher.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(NotchDropFrame, MenuBarFallbackAndNotchSizes)
{
    const QRect screen(0, 0, 1600, 1000);
    // No top bar at all: 22 counts, plus 12, then raised to the 38 minimum.
    EXPECT_EQ(notchDropFrame(screen, screen), QRect(670, 0, 260, 38));
    EXPECT_EQ(notchDropFrame(screen, QRect(0, 30, 1600, 970)), QRect(670, 0, 260, 42));
    EXPECT_EQ(notchDropFrame(screen, screen, QSize(180, 32)).size(), QSize(260, 44));
    EXPECT_EQ(notchDropFrame(screen, screen, QSize(120, 20)).size(), QSize(220, 38));
    // A second screen to the right keeps its own top centre.
    EXPECT_EQ(notchDropFrame(QRect(1600, 0, 1000, 800), QRect(1600, 0, 1000, 800)), QRect(1970, 0, 260, 38));
}

TEST(NotchDropView, DropsAllFilesOnceAndRefusesText)
{
    QList<QList<QUrl>> drops;
    NotchDropView view([&](const QList<QUrl> &urls) {
        drops << urls;
        return true;
    });
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile("/tmp/a.txt"), QUrl::fromLocalFile("/tmp/b.png"),
                   QUrl::fromLocalFile("/tmp/c.pdf"), QUrl("https://example.org/")});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_TRUE(view.isDropTargeted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &drop);
    ASSERT_EQ(drops.size(), 1);
    EXPECT_EQ(drops.front().size(), 3) << "only local files are taken";
    EXPECT_FALSE(view.isDropTargeted());

    QMimeData text;
    text.setText("just words");
    QDragEnterEvent textEnter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &textEnter);
    EXPECT_FALSE(textEnter.isAccepted());
    EXPECT_FALSE(view.isDropTargeted());
}

TEST(NotchFileDropController, StripsShowOnlyDuringADrag)
{
    NotchFileDropController controller([](const QList<QUrl> &) { return false; });
    controller.start();
    ASSERT_EQ(controller.windows().size(), size_t(QGuiApplication::screens().size()));
    EXPECT_FALSE(controller.windows().front()->isVisible());
    controller.setDragInProgress(true);
    EXPECT_TRUE(controller.windows().front()->isVisible());
    controller.setDragInProgress(false);
    EXPECT_FALSE(controller.windows().front()->isVisible());
    controller.stop();
    controller.setDragInProgress(true);
    EXPECT_FALSE(controller.windows().front()->isVisible());

    // Stopped in the middle of a drag: starting again shows nothing until the next drag.
    controller.start();
    controller.setDragInProgress(true);
    controller.stop();
    controller.start();
    EXPECT_FALSE(controller.windows().front()->isVisible());

    // The end of a drag seen just before a stop must not reach the gone watcher.
    if (DragWatcher *watcher = controller.dragWatcher())
        Q_EMIT watcher->dragEnded();
    controller.stop();
    QTest::qWait(500);
    EXPECT_FALSE(controller.windows().front()->isVisible());
}
