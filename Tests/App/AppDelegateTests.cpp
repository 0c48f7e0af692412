#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/CopyFeedback.h"
#include "Quillmere/App/StatusGlyph.h"
#include "Quillmere/App/StatusItem.h"
#include "Quillmere/Clipboard/ClipboardMonitor.h"
#include "Quillmere/Clipboard/SequentialPasteController.h"
#include "Quillmere/Panel/Window/HistoryPanel.h"
#include "Quillmere/Panel/Window/PanelController.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/SoundPlayer.h"
#include "Support/DisplayTestSupport.h"
#include "Support/ProgramWindow.h"
#include "Support/SmallDisk.h"
#include "Support/TestSupport.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <mutex>

using namespace quillmere;

namespace {

// Played on the sound's own thread: the list is read under the lock.
struct RecordingSounds : SoundPlayer {
    QStringList *played;
    std::mutex *mutex;
    RecordingSounds(QStringList *p, std::mutex *m) : played(p), mutex(m) {}
    void play(const QString &name) override
    {
        std::lock_guard lock(*mutex);
        *played << name;
    }
};

void copyWithXclip(const QString &text)
{
    // xclip goes to the background to serve the selection; the shell returns at once.
    QProcess::execute("sh", {"-c", "printf '%s' \"$1\" | xclip -selection clipboard -i", "sh", text});
}

class AppDelegateLaunch : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            FAIL() << "needs an X display";
        if (QStandardPaths::findExecutable("xclip").isEmpty())
            FAIL() << "needs xclip";
        AppEnvironment::Options options;
        options.arguments = {"quillmere", "--demo-data"};
        options.store.preferences = prefs.prefs.get();
        options.store.notificationCenter = &center;
        environment = std::make_unique<AppEnvironment>(options);
        AppDelegate::Platform platform;
        platform.glyphs = std::make_shared<StatusGlyphs>();
        platform.sounds = std::make_unique<RecordingSounds>(&played, &playedLock);
        platform.watchDrops = false;
        delegate = std::make_unique<AppDelegate>(*environment, *prefs, center, std::move(platform));
        delegate->applicationDidFinishLaunching(options.arguments);
    }
    void TearDown() override
    {
        if (delegate)
            delegate->applicationWillTerminate();
    }

    int clipCount() const { return int(environment->store().context().clipCount()); }

    test::TempPreferences prefs;
    NotificationCenter center;
    QStringList played;
    std::mutex playedLock;
    std::unique_ptr<AppEnvironment> environment;
    std::unique_ptr<AppDelegate> delegate;
};

QStringList menuTitles(QMenu *menu)
{
    QStringList titles;
    for (QAction *a : menu->actions())
        if (!a->isSeparator())
            titles << a->text();
    return titles;
}

} // namespace

TEST_F(AppDelegateLaunch, DemoDataTrayMenuCopyFeedbackPauseAndPasteNext)
{
    // Demo clips and Pages, newest first.
    ClipStore &store = environment->store();
    const auto history = store.historyNewestFirst();
    ASSERT_EQ(history.size(), 6u);
    EXPECT_TRUE(history.front()->text()->startsWith("Chief Ops Alert"));
    const auto pages = store.pages();
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0]->name(), "Coding Snippets");
    EXPECT_EQ(pages[0]->items().size(), 2u);
    EXPECT_EQ(pages[1]->name(), "Builder");

    // The tray icon and its menu.
    StatusItemController *tray = delegate->statusItem();
    ASSERT_TRUE(tray && tray->trayIcon());
    EXPECT_TRUE(tray->trayIcon()->isVisible());
    tray->rebuildMenu();
    EXPECT_TRUE(menuTitles(tray->menu()).contains("Pause Capture"));
    // Shortcuts as the desktop writes them, never Qt's "Meta".
    EXPECT_TRUE(menuTitles(tray->menu()).contains("Capture Area…\tCtrl+Shift+4"));
    EXPECT_TRUE(menuTitles(tray->menu()).contains("Copy Text From Area…\tShift+Super+2"));
    EXPECT_FALSE(menuTitles(tray->menu()).join('\n').contains("Meta"));
    tray->menu()->popup(QPoint(40, 40));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(tray->menu()));
    QTest::qWait(50); // the picture asserts nothing
    tray->menu()->grab().save(test::artifactPath("tray-menu.png"));
    tray->menu()->hide();

    // A copy elsewhere is captured with sound and check mark.
    const qint64 flashes = delegate->copyFeedback()->generation();
    copyWithXclip("copied in another program");
    ASSERT_TRUE(test::waitUntil([&] { return clipCount() == 7; }));
    EXPECT_EQ(store.historyNewestFirst().front()->text(), QString("copied in another program"));
    // xclip has no window and nothing else has the focus: no source, and never this program.
    EXPECT_FALSE(store.historyNewestFirst().front()->sourceAppName());
    // The same after the panel was open and went: the window system may still name it active.
    delegate->handleArguments({"--show-panel"});
    ASSERT_TRUE(test::waitUntil([&] { return delegate->panelController()->isShown(); }));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&delegate->panelController()->panel()));
    delegate->panelController()->hideImmediately();
    copyWithXclip("copied after the panel went");
    ASSERT_TRUE(test::waitUntil([&] { return clipCount() == 8; }));
    EXPECT_FALSE(store.historyNewestFirst().front()->sourceAppName())
        << qPrintable(store.historyNewestFirst().front()->sourceAppName().value_or(QString()));
    EXPECT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(playedLock);
        return played.contains("Pop");
    }));
    EXPECT_GT(delegate->copyFeedback()->generation(), flashes);

    // Pause Capture stops capture and flips its title.
    for (QAction *a : tray->menu()->actions())
        if (a->text() == "Pause Capture")
            a->trigger();
    EXPECT_TRUE(prefs->boolValue("capturePaused"));
    tray->rebuildMenu();
    EXPECT_TRUE(menuTitles(tray->menu()).contains("Resume Capture"));
    copyWithXclip("copied while paused");
    QTest::qWait(600);
    EXPECT_EQ(clipCount(), 8);

    // Alt-Super-V pastes the next stack entry into another program's window: it lands on the
    // clipboard.
    ASSERT_TRUE(delegate->pasteNextHotKeyID().has_value());
    const ClipRef note = history.back();
    delegate->sequentialPaste()->enqueue(note->dedupID());
    test::ProgramWindow xterm("xterm", {"-T", "paste-next target", "-e", "cat"},
                              "paste-next target"); // nothing pasted runs
    ASSERT_TRUE(xterm.activate()) << qPrintable(xterm.trouble());
    QProcess::execute("xdotool", {"key", "--clearmodifiers", "alt+super+v"});
    EXPECT_TRUE(test::waitUntil([&] { return QGuiApplication::clipboard()->text() == *note->text(); }));
    EXPECT_TRUE(test::waitUntil([&] { return delegate->sequentialPaste()->stack().isEmpty(); }));
}

TEST_F(AppDelegateLaunch, OpenTrayMenuScreenshot)
{
    // With a tray host the icon embeds; the open menu is kept as a test artefact.
    QProcess trayer;
    trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120"});
    if (!trayer.waitForStarted(2000))
        FAIL() << "no tray host";
    EXPECT_TRUE(test::waitUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5000));
    StatusItemController *tray = delegate->statusItem();
    tray->refresh();
    QTest::qWait(500);
    const QRect icon = tray->trayIcon()->geometry();
    tray->menu()->popup(icon.isValid() ? icon.bottomLeft() : QPoint(1400, 40));
    QTest::qWait(400);
    EXPECT_TRUE(tray->menu()->isVisible());
    const QString dir = QDir::currentPath() + "/artifacts";
    QDir().mkpath(dir);
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
    EXPECT_TRUE(shot.save(dir + "/tray-menu.png"));
    tray->menu()->hide();
    trayer.terminate();
    trayer.waitForFinished(2000);
}

TEST(AppDelegateRules, OnboardingDecisionAndUnpauseMigration)
{
    test::TempPreferences prefs;
    EXPECT_TRUE(AppDelegate::shouldShowOnboarding({"q"}, *prefs));
    EXPECT_FALSE(AppDelegate::shouldShowOnboarding({"q", "--demo-data"}, *prefs));
    EXPECT_TRUE(AppDelegate::shouldShowOnboarding({"q", "--demo-data", "--show-onboarding"}, *prefs));
    EXPECT_FALSE(AppDelegate::shouldShowOnboarding({"q", "--show-onboarding", "--skip-onboarding"}, *prefs));
    prefs->setBool("onboardingCompleted", true);
    EXPECT_FALSE(AppDelegate::shouldShowOnboarding({"q"}, *prefs));

    // First launch: the migration marks itself done and leaves a pause alone.
    test::TempPreferences fresh;
    fresh->setBool("capturePaused", true);
    AppDelegate::runCaptureUnpauseMigration(*fresh);
    EXPECT_TRUE(fresh->boolValue("captureUnpauseMigrationV1"));
    EXPECT_TRUE(fresh->boolValue("capturePaused"));

    // A user stuck in pause is resumed once, and never again.
    prefs->setBool("capturePaused", true);
    AppDelegate::runCaptureUnpauseMigration(*prefs);
    EXPECT_FALSE(prefs->boolValue("capturePaused"));
    prefs->setBool("capturePaused", true);
    AppDelegate::runCaptureUnpauseMigration(*prefs);
    EXPECT_TRUE(prefs->boolValue("capturePaused"));
}

namespace {

QStringList g_appWarnings;

void recordAppWarnings(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtWarningMsg && QLatin1String(context.category) == QLatin1String("com.orvantide.quillmere.app"))
        g_appWarnings << text;
}

// A start without a tray, whose messages are logged instead and gathered in g_appWarnings until
// it ends.
struct TrayLessStart {
    NotificationCenter center;
    QStringList played;
    std::mutex playedLock;
    std::unique_ptr<AppEnvironment> environment;
    std::unique_ptr<AppDelegate> delegate;
    QtMessageHandler previous = nullptr;

    TrayLessStart(Preferences &prefs, const QString &storePath)
    {
        AppEnvironment::Options options;
        options.arguments = {"quillmere", "--skip-onboarding"};
        options.persistence.storePath = storePath;
        options.store.preferences = &prefs;
        options.store.notificationCenter = &center;
        environment = std::make_unique<AppEnvironment>(options);
        AppDelegate::Platform platform;
        platform.glyphs = std::make_shared<StatusGlyphs>();
        platform.sounds = std::make_unique<RecordingSounds>(&played, &playedLock);
        platform.installStatusItem = platform.registerHotKeys = platform.watchDrops = false;
        delegate = std::make_unique<AppDelegate>(*environment, prefs, center, std::move(platform));
        g_appWarnings.clear();
        previous = qInstallMessageHandler(recordAppWarnings);
        delegate->applicationDidFinishLaunching(options.arguments);
    }
    void end()
    {
        qInstallMessageHandler(previous);
        delegate->applicationWillTerminate();
    }
};

} // namespace

TEST(AppDelegateStoreTrouble, AHistoryInAFallbackStoreIsToldOnceAndLoggedWithoutATray)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        FAIL() << "needs an X display";
    QTemporaryDir dir;
    QFile blocker(dir.filePath("Quillmere")); // a file where the data folder should be
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    test::TempPreferences prefs;
    TrayLessStart start(*prefs, dir.filePath("Quillmere/default.store"));
    test::waitUntil([] { return !g_appWarnings.isEmpty(); }, 2000);
    start.environment->store().insertClip({.kind = ClipKind::text, .text = QString("kept in a fallback store")});
    QCoreApplication::processEvents();
    start.end();

    EXPECT_EQ(g_appWarnings.filter("kept in a fallback store in").size(), 1) << qPrintable(g_appWarnings.join('\n'));
}

// A configuration folder that takes no writes is told by the start itself, once, though nothing
// the start does changes a setting; not first when some window writes one.
TEST(AppDelegateStoreTrouble, SettingsThatCannotBeSavedAreToldAtTheStartOnce)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        FAIL() << "needs an X display";
    test::SmallDisk config;
    QUILLMERE_SKIP_WITHOUT(config.missing());
    const QString prefsPath = config.filePath("quillmere.json");
    {
        // What an earlier start wrote: this one has nothing of its own to write.
        Preferences before(prefsPath);
        AppDelegate::runCaptureUnpauseMigration(before);
        before.setBool("onboardingCompleted", true);
        ASSERT_TRUE(before.sync());
    }
    ASSERT_TRUE(config.setReadOnly(true));
    Preferences prefs(prefsPath);
    QTemporaryDir data;
    TrayLessStart start(prefs, data.filePath("default.store"));
    const auto told = [] { return g_appWarnings.filter("Settings could not be saved").size(); };
    const bool toldAtStart = test::waitUntil([&] { return told() > 0; }, 3000);
    prefs.setBool("copySoundEnabled", !prefs.boolValue("copySoundEnabled"));
    QTest::qWait(100);
    start.end();
    ASSERT_TRUE(config.setReadOnly(false));

    EXPECT_TRUE(toldAtStart) << "not said until a change met it";
    EXPECT_EQ(told(), 1) << "said again at the first change: " << qPrintable(g_appWarnings.join('\n'));
}
