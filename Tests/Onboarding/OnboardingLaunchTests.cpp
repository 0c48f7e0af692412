#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/StatusGlyph.h"
#include "Quillmere/Onboarding/OnboardingWindow.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Support/DisplayTestSupport.h"
#include "Support/TestSupport.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

void requireDesktop()
{
    ASSERT_TRUE(test::onX11()) << "needs an X display";
    ASSERT_TRUE(test::windowManagerRunning()) << "needs a window manager";
}

int onboardingWindowCount()
{
    int count = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (qobject_cast<OnboardingWindow *>(w) && w->isVisible())
            ++count;
    return count;
}

// The program's start-up in this process, with a store of its own and no tray or hot keys.
struct Startup {
    explicit Startup(bool completedBefore = false)
    {
        if (completedBefore)
            prefs->setBool("onboardingCompleted", true);
    }
    ~Startup()
    {
        if (delegate)
            delegate->applicationWillTerminate();
    }

    void launch(const QStringList &arguments)
    {
        AppEnvironment::Options options;
        options.arguments = arguments;
        options.persistence.storePath = dir.filePath("default.store");
        options.store.preferences = prefs.prefs.get();
        options.store.notificationCenter = &center;
        environment = std::make_unique<AppEnvironment>(options);
        AppDelegate::Platform platform;
        platform.glyphs = std::make_shared<StatusGlyphs>();
        platform.installStatusItem = false;
        platform.registerHotKeys = false;
        platform.watchDrops = false;
        delegate = std::make_unique<AppDelegate>(*environment, *prefs, center, std::move(platform));
        delegate->applicationDidFinishLaunching(arguments);
        // Start-up defers the guide to the event loop; once this later call has run, so has it.
        bool settled = false;
        QTimer::singleShot(0, [&settled] { settled = true; });
        test::waitUntil([&] { return settled; });
    }

    bool guideOpen() const { return delegate->onboarding() && delegate->onboarding()->window(); }

    QTemporaryDir dir;
    test::TempPreferences prefs;
    NotificationCenter center;
    std::unique_ptr<AppEnvironment> environment;
    std::unique_ptr<AppDelegate> delegate;
};

} // namespace

TEST(OnboardingStartup, TheGuideOpensOnlyWhenItShould)
{
    requireDesktop();
    struct Case {
        bool completedBefore;
        QStringList arguments;
        bool opens;
    };
    const Case cases[] = {
        {false, {"quillmere"}, true},
        {true, {"quillmere"}, false},
        {false, {"quillmere", "--skip-onboarding"}, false},
        {true, {"quillmere", "--show-onboarding"}, true},
        {false, {"quillmere", "--show-onboarding", "--skip-onboarding"}, false},
    };
    for (const Case &c : cases) {
        Startup startup(c.completedBefore);
        startup.launch(c.arguments);
        EXPECT_EQ(startup.guideOpen(), c.opens) << c.arguments.join(' ').toStdString();
        if (c.opens) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(startup.delegate->onboarding()->window()));
            startup.delegate->onboarding()->window()->close();
            EXPECT_TRUE(test::waitUntil([&] { return !startup.delegate->onboarding(); }));
        }
    }

    // A second start of a program whose guide is done hands "--show-onboarding" over to it.
    Startup running(true);
    running.launch({"quillmere"});
    ASSERT_FALSE(running.guideOpen());
    running.delegate->handleArguments({"--show-onboarding", "--skip-onboarding"});
    QTest::qWait(0);
    EXPECT_FALSE(running.guideOpen());
    running.delegate->handleArguments({"--show-onboarding"});
    EXPECT_TRUE(test::waitUntil([&] { return running.guideOpen(); }));
}

TEST(OnboardingStartup, ASecondRequestRaisesTheOpenGuideAndFinishingOpensThePanel)
{
    requireDesktop();
    Startup startup;
    startup.launch({"quillmere"});
    ASSERT_TRUE(startup.guideOpen());
    OnboardingWindowController *first = startup.delegate->onboarding();
    first->flow().selectStep(OnboardingStep::hotkey);
    startup.delegate->showOnboarding(); // "Setup Guide…" while it is open
    EXPECT_EQ(startup.delegate->onboarding(), first);
    startup.delegate->handleArguments({"--show-onboarding"}); // a second start asking for it
    QTest::qWait(0);
    EXPECT_EQ(startup.delegate->onboarding(), first);
    EXPECT_EQ(first->flow().selectedStep(), OnboardingStep::hotkey);
    EXPECT_TRUE(test::waitUntil([] { return onboardingWindowCount() == 1; }));

    first->finish(true);
    ASSERT_TRUE(test::waitUntil([&] { return startup.delegate->panel()->isVisible(); }, 5000));
    EXPECT_EQ(startup.delegate->onboarding(), nullptr);
    EXPECT_TRUE(startup.prefs->boolValue("onboardingCompleted", false));
    startup.delegate->panel()->hideImmediately();

    // Reopened after it finished: a fresh guide on the first step, and closing it opens nothing.
    startup.delegate->showOnboarding();
    ASSERT_TRUE(startup.guideOpen());
    EXPECT_NE(startup.delegate->onboarding(), nullptr);
    EXPECT_EQ(startup.delegate->onboarding()->flow().selectedStep(), OnboardingStep::privacy);
    startup.delegate->onboarding()->window()->close();
    ASSERT_TRUE(test::waitUntil([&] { return !startup.delegate->onboarding(); }));
    QTest::qWait(0);
    EXPECT_FALSE(startup.delegate->panel()->isVisible());
}

// ---- The program itself ----------------------------------------------------------------------

namespace {

QString xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

QString windowNamed(const QString &pattern, bool visibleOnly)
{
    QStringList arguments{QStringLiteral("search")};
    if (visibleOnly)
        arguments << QStringLiteral("--onlyvisible");
    arguments << QStringLiteral("--name") << pattern;
    return xdotool(arguments).section(QLatin1Char('\n'), 0, 0);
}

QImage grab(const QString &window)
{
    return QGuiApplication::primaryScreen()->grabWindow(WId(window.toULongLong())).toImage();
}

class FirstStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        requireDesktop();
        ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) << "needs xdotool";
        ASSERT_TRUE(home.isValid());
        QDir(home.path()).mkpath(QStringLiteral("run"));
        QFile::setPermissions(home.filePath("run"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.filePath("config"));
        env.insert("XDG_DATA_HOME", home.filePath("data"));
        env.insert("XDG_CACHE_HOME", home.filePath("cache"));
        env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
        env.remove("QT_QPA_PLATFORM");
    }

    void start(QProcess &program, const QStringList &arguments)
    {
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(QUILLMERE_EXECUTABLE), arguments);
        ASSERT_TRUE(program.waitForStarted());
    }

    static void stop(QProcess &program)
    {
        program.terminate();
        if (!program.waitForFinished(15000)) {
            program.kill();
            program.waitForFinished();
        }
    }

    QJsonObject preferences() const
    {
        QFile file(home.filePath("config/orvantide/quillmere.json"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    QTemporaryDir home;
    QProcessEnvironment env;
};

} // namespace

TEST_F(FirstStart, ShowsTheGuideTheKeyboardWalksToTheOpenPanelAndASecondStartDoesNot)
{
    QProcess program;
    start(program, {});
    QString guide;
    ASSERT_TRUE(test::waitUntil([&] { return !(guide = windowNamed("^Set Up Brindlewax$", true)).isEmpty(); }, 20000))
        << "no setup guide on a first start";
    ASSERT_TRUE(test::waitUntil([&] { return xdotool({"getactivewindow"}) == guide; }, 10000))
        << "the guide did not take the keyboard";

    // Return presses "Continue" four times and then "Finish & Open", each once the last has shown.
    QImage shown;
    ASSERT_TRUE(test::waitUntil([&] { return !(shown = grab(guide)).isNull() && shown.width() >= 780; }));
    shown.save(test::artifactPath("onboarding/first-start-0.png"));
    for (int press = 1; press <= 4; ++press) {
        xdotool({"key", "--delay", "150", "Return"});
        QImage next;
        ASSERT_TRUE(test::waitUntil([&] { return (next = grab(guide)) != shown; }, 10000)) << "press " << press;
        // Let the page finish drawing before it is kept.
        test::waitUntil([&] { return grab(guide) == (next = grab(guide)); }, 2000);
        shown = next;
        shown.save(test::artifactPath(QStringLiteral("onboarding/first-start-%1.png").arg(press)));
    }
    xdotool({"key", "--delay", "150", "Return"});
    ASSERT_TRUE(test::waitUntil([&] { return windowNamed("^Set Up Brindlewax$", true).isEmpty(); }, 10000));
    ASSERT_TRUE(test::waitUntil([&] { return !windowNamed("^Brindlewax$", true).isEmpty(); }, 10000))
        << "the panel did not open after Finish & Open";
    stop(program);
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(preferences().value("onboardingCompleted").toBool());

    // The second start: the panel asked for on the command line shows, and no guide with it.
    QProcess again;
    start(again, {"--show-panel"});
    ASSERT_TRUE(test::waitUntil([&] { return !windowNamed("^Brindlewax$", true).isEmpty(); }, 20000));
    EXPECT_TRUE(windowNamed("^Set Up Brindlewax$", false).isEmpty());
    stop(again);
}
