// A real XDND drag from another program onto the open panel, driven with the pointer through
// xdotool on Xvfb + openbox.
#include "PanelX11Fixture.h"

#include "Quillmere/Panel/Window/FileDropView.h"

#include <QFile>
#include <QTemporaryDir>

using namespace quillmere;
using namespace Qt::StringLiterals;

TEST_F(PanelX11, AFileDraggedFromAnotherProgramIsDroppedOnTheOpenPanel)
{
    launch({}, false);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"dragged report.txt"_s);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("content");
    file.close();
    test::HelperWindow source({u"--drag"_s, path});
    const quint32 sourceWindow = source.waitUntilReady(test::patience);
    ASSERT_NE(sourceWindow, 0u) << "the drag source did not start";
    activate(sourceWindow);
    const int clips = int(store().context().clipCount());

    controller().show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, test::patience));
    const QRect panel = controller().panel().geometry();
    const QPoint target = panel.center() + QPoint(0, panel.height() / 4);

    // Pressing on the file gives its window the focus; the panel waits to see what comes.
    ASSERT_TRUE(test::xdotool({u"mousemove"_s, u"420"_s, u"580"_s}));
    ASSERT_TRUE(test::xdotool({u"mousedown"_s, u"1"_s}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return isActive(sourceWindow); }, test::patience));
    for (int step = 1; step <= 8; ++step) {
        const QPoint at = QPoint(420, 580) + (target - QPoint(420, 580)) * step / 8;
        ASSERT_TRUE(test::xdotool({u"mousemove"_s, QString::number(at.x()), QString::number(at.y())}));
        QTest::qWait(30); // the pointer moves at a person's pace, each step a motion event
    }
    auto *dropView = qobject_cast<FileDropView *>(controller().panel().content());
    ASSERT_TRUE(dropView);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dropView->isDropTargeted(); }, test::patience))
        << "the drag never came over the panel";
    EXPECT_TRUE(controller().isShown()) << "the panel stays while the drag is on its way";
    ASSERT_TRUE(test::xdotool({u"mouseup"_s, u"1"_s}));

    EXPECT_TRUE(QTest::qWaitFor([&] { return int(store().context().clipCount()) == clips + 1; }, test::patience));
    const ClipRef clip = store().historyNewestFirst().front();
    EXPECT_EQ(clip->kind(), ClipKind::file);
    EXPECT_EQ(clip->text(), path);
    EXPECT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, test::patience)) << "the panel takes the keyboard back";
    EXPECT_TRUE(QTest::qWaitFor([&] { return source.lines().contains(u"dropped 1"_s); }, test::patience))
        << "the source was told the file was copied";

    // A plain click into another window still closes it.
    ASSERT_TRUE(test::xdotool({u"mousemove"_s, u"420"_s, u"580"_s, u"click"_s, u"1"_s}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !controller().isVisible(); }, test::patience));
}
