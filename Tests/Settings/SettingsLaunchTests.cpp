#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/StatusGlyph.h"
#include "Quillmere/App/StatusItem.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Settings/SettingsWindow.h"
#include "Support/TestSupport.h"

#include <QAction>
#include <QMenu>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

struct CountingPanel : PanelPresenting {
    int *hides;
    explicit CountingPanel(int *h) : hides(h) {}
    bool isVisible() const override { return true; }
    bool isHiding() const override { return false; }
    void show() override {}
    void hide() override { ++*hides; }
    bool hideImmediately() override
    {
        ++*hides;
        return true;
    }
    ClipRef handleDroppedFiles(const QList<QUrl> &) override { return nullptr; }
};

} // namespace

TEST(SettingsLaunch, TheTrayItemAndTheLaunchArgumentOpenOneWindowAfterThePanelHides)
{
    test::TempPreferences prefs;
    NotificationCenter center;
    AppEnvironment::Options options;
    options.arguments = {"quillmere", "--demo-data"};
    options.store.preferences = prefs.prefs.get();
    options.store.notificationCenter = &center;
    AppEnvironment environment(options);
    int hides = 0;
    AppDelegate::Platform platform;
    platform.glyphs = std::make_shared<StatusGlyphs>();
    platform.makePanel = [&hides](AppDelegate &) { return std::make_unique<CountingPanel>(&hides); };
    platform.registerHotKeys = false;
    platform.watchDrops = false;
    AppDelegate delegate(environment, *prefs, center, std::move(platform));
    delegate.applicationDidFinishLaunching({"quillmere", "--demo-data", "--skip-onboarding", "--show-settings"});
    ASSERT_TRUE(test::waitUntil([&] { return delegate.settingsWindow() && delegate.settingsWindow()->isVisible(); }));
    EXPECT_EQ(hides, 1);
    SettingsWindow *window = delegate.settingsWindow();

    delegate.settingsPaneRequests().request(SettingsPane::privacy);
    EXPECT_EQ(window->model().selectedPane(), SettingsPane::privacy);

    window->close();
    delegate.statusItem()->rebuildMenu();
    QAction *settings = nullptr;
    for (QAction *action : delegate.statusItem()->menu()->actions())
        if (action->text() == QStringLiteral("Settings…\tCtrl+,"))
            settings = action;
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settings->trigger();
    EXPECT_EQ(delegate.settingsWindow(), window) << "one window, opened again";
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(hides, 2);
    delegate.applicationWillTerminate();
}
