#include "Quillmere/App/NotchFileDrop.h"
#include "Quillmere/Platform/DragWatcher.h"
#include "Quillmere/Platform/TransientWindow.h"
#include "Quillmere/Platform/XcbSupport.h"
#include "Support/TestSupport.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QScreen>
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

namespace {

// The desktop's work area as the window manager publishes it on the root window, set for a test
// and put back afterwards.
class WorkArea {
public:
    WorkArea()
    {
        m_connection = xcb_connect(nullptr, nullptr);
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        m_atom = internAtom(m_connection, "_NET_WORKAREA");
        XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, false, m_root, m_atom, XCB_ATOM_CARDINAL, 0, 64), nullptr));
        if (reply && reply->format == 32) {
            const auto *values = static_cast<const uint32_t *>(xcb_get_property_value(reply.get()));
            m_original.assign(values, values + xcb_get_property_value_length(reply.get()) / 4);
        }
    }
    ~WorkArea()
    {
        if (m_original.empty())
            xcb_delete_property(m_connection, m_root, m_atom);
        else
            set(m_original);
        // A round trip, so that the change is made before the connection goes.
        free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
        xcb_disconnect(m_connection);
    }
    void set(const std::vector<uint32_t> &values)
    {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_root, m_atom, XCB_ATOM_CARDINAL, 32,
                            uint32_t(values.size()), values.data());
        xcb_flush(m_connection);
    }

private:
    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = 0;
    xcb_atom_t m_atom = XCB_ATOM_NONE;
    std::vector<uint32_t> m_original;
};

} // namespace

TEST(NotchFileDropController, StripsFollowAChangeOfTheWorkArea)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        FAIL() << "needs an X display";
    QScreen *screen = QGuiApplication::primaryScreen();
    const QRect full = screen->geometry();
    const QRect before = screen->availableGeometry();
    NotchFileDropController controller([](const QList<QUrl> &) { return false; });
    controller.start();
    {
        WorkArea area;
        // A panel 40 pixels taller than any there now appears along the top: the strip reaches below it.
        const int inset = before.top() - full.top() + 40;
        area.set(
            {uint32_t(full.x()), uint32_t(full.y() + inset), uint32_t(full.width()), uint32_t(full.height() - inset)});
        ASSERT_TRUE(test::waitUntil([&] { return screen->availableGeometry().top() == full.top() + inset; }));
        EXPECT_EQ(controller.windows().front()->geometry(), notchDropFrame(full, screen->availableGeometry()));
        EXPECT_EQ(controller.windows().front()->height(), inset + 12);
    }
    ASSERT_TRUE(test::waitUntil([&] { return screen->availableGeometry() == before; }));
    EXPECT_EQ(controller.windows().front()->geometry(), notchDropFrame(full, before));
    controller.stop();
}

// Without a compositor nothing is see-through: the strip must be the drawn badge, not a black box.
TEST(NotchDropView, WithoutACompositorTheStripIsDrawnAsABadge)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        FAIL() << "needs an X display";
    ASSERT_FALSE(TransientWindow::compositorRunning()) << "the test display runs no compositor";
    NotchFileDropController controller([](const QList<QUrl> &) { return false; });
    controller.start();
    controller.setDragInProgress(true);
    NotchDropView &view = *controller.windows().front();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    const QRect frame = view.geometry();
    ASSERT_EQ(frame.size(), QSize(260, 38));
    EXPECT_FALSE(view.mask().isEmpty());
    EXPECT_FALSE(view.mask().contains(QPoint(0, 0))) << "the corners show what lies beneath";

    QScreen *screen = view.screen();
    const auto brightPixels = [&] {
        const QImage shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()).toImage();
        // Inside the badge only, well away from the corners.
        int bright = 0;
        for (int y = 10; y < 28; ++y)
            for (int x = 50; x < 230; ++x)
                bright += qGray(shot.pixel(x, y)) > 160;
        return bright;
    };
    // The label is drawn before anything is dragged over it.
    EXPECT_TRUE(test::waitUntil([&] { return brightPixels() > 40; })) << brightPixels();
    controller.setDragInProgress(false);
    controller.stop();
}
