#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/StatusItem.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/SoundPlayer.h"
#include "Quillmere/Platform/XcbSupport.h"
#include "Support/DisplayTestSupport.h"
#include "Support/TestSupport.h"

#include <QClipboard>
#include <QMimeData>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

struct SilentSounds : SoundPlayer {
    void play(const QString &) override {}
};

QAction *menuAction(QMenu *menu, const QString &title)
{
    for (QAction *action : menu->actions())
        if (action->text() == title)
            return action;
    return nullptr;
}

bool pointerGrabbedElsewhere()
{
    xcb_connection_t *c = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    XcbReply<xcb_grab_pointer_reply_t> reply(xcb_grab_pointer_reply(
        c, xcb_grab_pointer(c, 0, root, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
        nullptr));
    if (reply && reply->status == XCB_GRAB_STATUS_SUCCESS) {
        xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
        xcb_flush(c);
        return false;
    }
    return reply && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
}

} // namespace

TEST(CaptureWiring, TrayItemsAndShortcutsReachTheScreenshotTool)
{
    if (!test::onX11() || QStandardPaths::findExecutable("xdotool").isEmpty())
        GTEST_SKIP() << "needs an X display and xdotool";
    test::TempPreferences prefs;
    NotificationCenter center;
    AppEnvironment::Options options;
    options.arguments = {"quillmere", "--demo-data"};
    options.store.preferences = prefs.prefs.get();
    options.store.notificationCenter = &center;
    AppEnvironment environment(options);
    AppDelegate::Platform platform;
    platform.sounds = std::make_unique<SilentSounds>();
    platform.watchDrops = false;
    platform.screenshotTool = QStringLiteral(QUILLMERE_SCREENSHOT_TOOL);
    AppDelegate delegate(environment, *prefs, center, std::move(platform));
    delegate.applicationDidFinishLaunching(options.arguments);
    ClipStore &store = environment.store();
    auto newest = [&] { return store.historyNewestFirst().front(); };

    // Recording is not there yet, and the tray says so.
    StatusItemController *tray = delegate.statusItem();
    tray->rebuildMenu();
    QAction *record = menuAction(tray->menu(), "Record Screen (not available yet)");
    ASSERT_TRUE(record);
    EXPECT_FALSE(record->isEnabled());

    menuAction(tray->menu(), "Capture Full Screen")->trigger();
    ASSERT_TRUE(test::waitUntil([&] { return newest()->sourceAppName() == QString("Quillmere Capture"); }, 20000));
    const QSize screen = QGuiApplication::primaryScreen()->size();
    EXPECT_EQ(QImage::fromData(*newest()->imageData()).size(), screen);
    EXPECT_TRUE(test::waitUntil([] { return QGuiApplication::clipboard()->mimeData()->hasFormat("image/png"); }));

    // Ctrl+Shift+4 selects an area.
    QProcess::execute("xdotool", {"mouseup", "1"});
    ASSERT_EQ(QProcess::execute("xdotool", {"key", "--clearmodifiers", "ctrl+shift+4"}), 0);
    ASSERT_TRUE(test::waitUntil(pointerGrabbedElsewhere, 10000));
    ASSERT_EQ(QProcess::execute("xdotool", {"mousemove", "40", "40", "mousedown", "1", "mousemove", "90", "60",
                                            "mousemove", "140", "90", "mouseup", "1"}),
              0);
    ASSERT_TRUE(test::waitUntil([&] { return QImage::fromData(newest()->imageData().value_or(QByteArray())).size() == QSize(100, 50); },
                                20000));
    delegate.applicationWillTerminate();
}
