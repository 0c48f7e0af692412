#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/StatusGlyph.h"
#include "Quillmere/App/StatusItem.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/SoundPlayer.h"
#include "Support/DisplayTestSupport.h"
#include "Support/TestSupport.h"

#include <QClipboard>
#include <QMimeData>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

struct SilentSounds : SoundPlayer {
    void play(const QString &) override {}
};

QAction *menuAction(QMenu *menu, const QString &title)
{
    for (QAction *action : menu->actions())
        if (action->text().section(QLatin1Char('\t'), 0, 0) == title)
            return action;
    return nullptr;
}

} // namespace

TEST(CaptureWiring, TrayItemsReachTheScreenshotTool)
{
    if (!test::onX11())
        FAIL() << "needs an X display";
    test::TempPreferences prefs;
    NotificationCenter center;
    AppEnvironment::Options options;
    options.arguments = {"quillmere", "--demo-data"};
    options.store.preferences = prefs.prefs.get();
    options.store.notificationCenter = &center;
    AppEnvironment environment(options);
    AppDelegate::Platform platform;
    platform.glyphs = std::make_shared<StatusGlyphs>();
    platform.sounds = std::make_unique<SilentSounds>();
    platform.watchDrops = false;
    platform.screenshotTool = QStringLiteral(QUILLMERE_SCREENSHOT_TOOL);
    AppDelegate delegate(environment, *prefs, center, std::move(platform));
    delegate.applicationDidFinishLaunching(options.arguments);
    ClipStore &store = environment.store();
    auto newest = [&] { return store.historyNewestFirst().front(); };

    // The recording item opens the region selector; chosen again, it closes it.
    StatusItemController *tray = delegate.statusItem();
    tray->rebuildMenu();
    QAction *record = menuAction(tray->menu(), "Record Screen…");
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->isEnabled());
    const auto selectorShown = [] {
        for (QWidget *window : QApplication::topLevelWidgets())
            if (window->windowTitle() == QLatin1String("Brindlewax Recording Selection") && window->isVisible())
                return true;
        return false;
    };
    record->trigger();
    ASSERT_TRUE(test::waitUntil(selectorShown));
    tray->rebuildMenu();
    menuAction(tray->menu(), "Record Screen…")->trigger();
    ASSERT_TRUE(test::waitUntil([&] { return !selectorShown(); }));

    int notices = 0;
    center.addObserver(QStringLiteral("quillmere.clipCaptured"), &delegate, [&](const Notification &) { ++notices; });
    menuAction(tray->menu(), "Capture Full Screen")->trigger();
    ASSERT_TRUE(test::waitUntil([&] { return newest()->sourceAppName() == QString("Quillmere Capture"); }, 20000));
    const QSize screen = QGuiApplication::primaryScreen()->size();
    EXPECT_EQ(QImage::fromData(*newest()->imageData()).size(), screen);
    EXPECT_TRUE(test::waitUntil([] { return QGuiApplication::clipboard()->mimeData()->hasFormat("image/png"); }));
    // The capture is announced: the card, the toast and the notice.
    const auto shown = [](const char *name) {
        return test::waitUntil([name] {
            for (QWidget *window : QApplication::topLevelWidgets())
                if (window->objectName() == QLatin1String(name) && window->isVisible())
                    return true;
            return false;
        });
    };
    EXPECT_TRUE(shown("CaptureOverlayCard"));
    EXPECT_TRUE(shown("CaptureToast"));
    EXPECT_EQ(notices, 1);

    delegate.applicationWillTerminate();
}
