#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/SingleInstance.h"
#include "Quillmere/App/StatusGlyph.h"
#include "Quillmere/App/StoreLock.h"
#include "Quillmere/Model/SqlitePageMemory.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Panel/HistoryStore.h"
#include "Quillmere/Platform/Core/ExitDeadline.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/Core/UnixSignals.h"
#include "Quillmere/Platform/X11Desktop.h"
#include "Quillmere/Sync/SchemaInitialization.h"
#include "Quillmere/Sync/SyncSettings.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <unistd.h>

using namespace quillmere;

namespace {

struct LaunchOption {
    const char *name;
    const char *help;
};

constexpr LaunchOption kLaunchOptions[] = {
    {"demo-data", "Start with sample clips and Pages in a store kept in memory only."},
    {"show-panel", "Open the history panel once started."},
    {"show-settings", "Open the settings once started."},
    {"show-onboarding", "Open the setup guide once started."},
    {"skip-onboarding", "Do not open the setup guide."},
    {"keep-open", "Keep the history panel open when it loses focus."},
    {"init-cloudkit-schema",
     "Developer builds with a sync folder set: write the record types of the sync folder's format "
     "(schema.json) into a new folder under the temporary folder, print its path and quit."},
};

// The options QApplication and its xcb platform take for themselves (with one dash or two), and
// whether each is followed by a value.
struct QtOption {
    const char *name;
    bool takesValue;
};

constexpr QtOption kQtOptions[] = {
    {"platform", true},
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"qwindowicon", true},
    {"qwindowtitle", true},
    {"geometry", true},
    {"title", true},
    {"icon", true},
    {"session", true},
    {"display", true},
    {"name", true},
    {"visual", true},
    {"ncols", true},
    {"cmap", true},
    {"style", true},
    {"stylesheet", true},
    {"reverse", false},
    {"widgetcount", false},
    {"testability", false},
    {"nograb", false},
    {"dograb", false},
    {"sync", false},
};

// The command line with Qt's own options taken out (they stay in argv for QApplication), and the
// platform and display they ask for. A single-dash word that is not Qt's is an error here: the
// parser would read it as a row of one-letter options.
struct LaunchArguments {
    QStringList own;
    QString platform;
    QString display;
    QString error;
};

LaunchArguments splitLaunchArguments(const QStringList &arguments)
{
    LaunchArguments out;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (i == 0 || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("--")) {
            out.own << argument;
            continue;
        }
        const bool doubleDash = argument.startsWith(QLatin1String("--"));
        const QString bare = argument.mid(doubleDash ? 2 : 1);
        if (bare.startsWith(QLatin1String("qmljsdebugger=")) || bare.startsWith(QLatin1String("style="))
            || bare.startsWith(QLatin1String("stylesheet="))) {
            continue;
        }
        const auto option = std::find_if(std::begin(kQtOptions), std::end(kQtOptions),
                                         [&](const QtOption &o) { return bare == QLatin1String(o.name); });
        if (option == std::end(kQtOptions)) {
            if (!doubleDash && bare.size() > 1 && out.error.isEmpty())
                out.error = QStringLiteral("Unknown option '%1'.").arg(argument);
            out.own << argument;
            continue;
        }
        if (!option->takesValue)
            continue;
        if (i + 1 >= arguments.size()) {
            out.error = QStringLiteral("Missing value after '%1'.").arg(argument);
            break;
        }
        const QString &value = arguments.at(++i);
        if (bare == QLatin1String("platform"))
            out.platform = value.section(QLatin1Char(':'), 0, 0);
        else if (bare == QLatin1String("display"))
            out.display = value;
    }
    return out;
}

// Tesseract's OpenMP runtime reads its thread limit and wait policy once, as it loads, before
// main: left at their defaults its idle threads spin for minutes after a recognition. A start
// without them runs itself again with one thread and a passive wait; values the user set stay.
void restartWithQuietOpenMP(char *argv[])
{
    if (qEnvironmentVariableIsSet("OMP_THREAD_LIMIT") && qEnvironmentVariableIsSet("OMP_WAIT_POLICY"))
        return;
    ::setenv("OMP_THREAD_LIMIT", "1", 0);
    ::setenv("OMP_WAIT_POLICY", "PASSIVE", 0);
    ::execv("/proc/self/exe", argv);
    std::perror("quillmere: could not restart with a quiet OpenMP; going on without");
}

} // namespace

namespace {

// What a start that met a running program exits with, having said why; nothing when it runs.
std::optional<int> exitStatusFor(SingleInstance::Claim claim)
{
    switch (claim) {
    case SingleInstance::Claim::first:
        return std::nullopt;
    case SingleInstance::Claim::handedOver:
        qCInfo(lcApp, "Brindlewax is already running; handed the request over to it.");
        return 0;
    case SingleInstance::Claim::requestTooLarge:
        std::fprintf(stderr,
                     "Brindlewax is already running, and these arguments are too long to hand over to it "
                     "(at most %lld bytes).\n",
                     static_cast<long long>(SingleInstance::maxRequestBytes));
        return 1;
    case SingleInstance::Claim::handOverFailed:
        std::fputs("Brindlewax is already running, but the arguments could not be handed over to it.\n", stderr);
        return 1;
    }
    return 1;
}

// What a start whose store another process holds exits with, having handed its request over or
// said who holds it; nothing when this start may use the store.
std::optional<int> exitStatusFor(const StoreLock &lock, const QStringList &argumentsForRunning)
{
    if (lock.state() == StoreLock::State::unavailable)
        qCWarning(lcApp, "Could not lock %s (%s); the store is not written until it can be", qPrintable(lock.path()),
                  qPrintable(lock.error()));
    if (lock.state() != StoreLock::State::heldElsewhere)
        return std::nullopt;
    StoreLock::Holder holder;
    if (const auto claim = lock.handOver(argumentsForRunning, &holder); claim != SingleInstance::Claim::first)
        return exitStatusFor(claim);
    std::fprintf(stderr,
                 "Brindlewax is already running on the history in %s: %s holds it, and could not be reached to "
                 "take this request. This start quits and leaves the history alone.\n",
                 qPrintable(QFileInfo(lock.path()).absolutePath()), qPrintable(holder.description()));
    return 1;
}

// The program's last steps, whatever ends it: its event loop returning (a quit, or one of the
// signals that ask for one) or exit() called from inside that loop, as Qt's X11 plugin does when
// the display goes away (a session ending). Whichever comes first runs them, once, on the main
// thread; once this is gone exit() finds nothing left to do.
class LastSteps {
public:
    using Steps = std::function<void(int status)>;
    explicit LastSteps(Steps steps) : m_steps(std::move(steps))
    {
        // As late as can be: what exit() takes down that was made before this (the store's
        // database connections, the logging) is taken down after these steps ran.
        static const bool registered = std::atexit(&LastSteps::onExit) == 0;
        if (!registered)
            qCWarning(lcApp, "An exit from within the event loop would skip the last save");
        s_current = this;
    }
    ~LastSteps() { s_current = nullptr; }
    LastSteps(const LastSteps &) = delete;
    LastSteps &operator=(const LastSteps &) = delete;

    void run(const char *why, int status)
    {
        if (m_ran)
            return;
        m_ran = true;
        // The steps tell what they kept and what is lost.
        qCInfo(lcApp, "Ending (%s)", why);
        m_steps(status);
    }

private:
    // Another thread's exit() leaves the main thread's objects to it: that end saves nothing.
    static void onExit()
    {
        if (!s_current || QThread::currentThread() != QCoreApplication::instance()->thread())
            return;
        s_current->run("exit called while running", 1);
        // Static destructors would run under worker threads still at work (a salvage, a check).
        std::fflush(nullptr);
        ::_exit(1);
    }
    static inline LastSteps *s_current = nullptr;
    Steps m_steps;
    bool m_ran = false;
};

} // namespace

int main(int argc, char *argv[])
{
    // Debug lines are for developers; QT_LOGGING_RULES still turns them on.
    QLoggingCategory::setFilterRules(QStringLiteral("com.orvantide.quillmere.*.debug=false"));
    // Hot keys, pasting and the front-window lookup all speak X11; under Wayland that is XWayland.
    const bool wayland = qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    qputenv("QT_QPA_PLATFORM", "xcb");

    // Answer --help and --version without needing a display.
    QCoreApplication::setApplicationName(QStringLiteral("Quillmere"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLMERE_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Brindlewax — clipboard history for the desktop."));
    parser.addHelpOption();
    parser.addVersionOption();
    for (const LaunchOption &option : kLaunchOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(option.name), QString::fromLatin1(option.help)));
    parser.addOption(QCommandLineOption(
        QStringLiteral("sync-folder"), QStringLiteral("Sync the history through this folder (instead of the one set)."),
        QStringLiteral("folder")));
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QString::fromLocal8Bit(argv[i]);
    const LaunchArguments launch = splitLaunchArguments(rawArguments);
    const QString usage = parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("quillmere"));
    const bool parsed = parser.parse(launch.own);
    if (!launch.error.isEmpty() || !parsed || !parser.positionalArguments().isEmpty()) {
        const QString error = !launch.error.isEmpty() ? launch.error
            : !parsed                                 ? parser.errorText()
                      : QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().front());
        std::fprintf(stderr, "quillmere: %s\n\n%s", qPrintable(error), qPrintable(usage));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        std::fputs(qPrintable(usage), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("Brindlewax %s\n", QUILLMERE_VERSION);
        return 0;
    }
    // A running program takes the request before this start opens a display, a store or the
    // preferences.
    // A demo keeps to itself, so it can run beside the real history, and writes nothing of the user's.
    const bool demo = parser.isSet(QStringLiteral("demo-data"));
    if (!parser.isSet(QStringLiteral("init-cloudkit-schema"))) {
        const QString path = SingleInstance::defaultName(demo ? QStringLiteral("-demo") : QString());
        if (const auto status = exitStatusFor(SingleInstance::handOver(path, launch.own.mid(1))))
            return *status;
    }
    restartWithQuietOpenMP(argv);
    // The store's own guard, for a running program this start's socket could not reach (one with
    // another runtime folder): it is taken before anything is written beside the store.
    std::optional<StoreLock> storeLock;
    if (!parser.isSet(QStringLiteral("init-cloudkit-schema")) && !demo) {
        storeLock.emplace(ModelContainerFactory::defaultStorePath(), SingleInstance::defaultName());
        if (const auto status = exitStatusFor(*storeLock, launch.own.mid(1)))
            return *status;
    }
    // Before any store is opened. Room for the panel's kept search cache and the few small caches
    // of the connections open beside it.
    if (QString why; !reserveSqlitePageMemory(ClipStoreHistory::searchCacheBytes + (qint64(32) << 20), &why))
        qCWarning(lcApp, "Store pages will come from the heap: %s", qPrintable(why));
    // The one preferences file of the program, passed down to whatever reads it; a demo's settings
    // and counters last only while it runs.
    const auto preferencesHolder =
        demo ? std::make_unique<Preferences>(Preferences::InMemory{}) : std::make_unique<Preferences>();
    Preferences &preferences = *preferencesHolder;
    {
        const QString environment = QStringLiteral(QUILLMERE_CLOUDKIT_ENVIRONMENT);
        SchemaInitialization::initializeCloudKitSchemaIfRequested(
            launch.own,
            {environment.isEmpty() ? std::nullopt : std::optional(environment),
             !SyncSettings::folder(launch.own, preferences).isEmpty(), QDir::tempPath()});
    }
    // Qt aborts the process when it cannot reach the display; say what is wrong and stop cleanly.
    if (launch.platform.isEmpty() || launch.platform == QLatin1String("xcb")) {
        const QString display = launch.display.isEmpty() ? qEnvironmentVariable("DISPLAY") : launch.display;
        if (display.isEmpty()) {
            std::fputs("Brindlewax needs an X11 display (or XWayland); DISPLAY is not set.\n", stderr);
            return 1;
        }
        if (!X11Desktop::displayIsReachable(display)) {
            std::fprintf(stderr, "Brindlewax cannot open display %s.\n", qPrintable(display));
            return 1;
        }
    }

    // Outlives the application and everything it owns, whose teardown it bounds.
    ExitDeadline exitDeadline;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brindlewax"));
    QApplication::setOrganizationName(QStringLiteral("orvantide"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLMERE_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList arguments = QApplication::arguments();

    SingleInstance instance(SingleInstance::defaultName(demo ? QStringLiteral("-demo") : QString()));
    if (const auto status = exitStatusFor(instance.claim(arguments.mid(1))))
        return *status;
    if (wayland)
        qCInfo(lcApp, "Running under Wayland through XWayland: only X11 applications are covered.");

    UnixSignals unixSignals;
    // Any end must be over within a second; the last tenth is the kernel's, to take back the memory.
    UnixSignals::endWithin(std::chrono::milliseconds(900));
    QObject::connect(&unixSignals, &UnixSignals::terminationRequested, &app, [](int sig) {
        qCInfo(lcApp, "Received signal %d, quitting", sig);
        QApplication::quit();
    });

    NotificationCenter notifications;
    AppEnvironment::Options options = AppEnvironment::programOptions(arguments, preferences, notifications);
    if (storeLock)
        options.persistence.lockStore = [&storeLock](QString *why) { return storeLock->hold(why); };
    AppEnvironment environment(std::move(options));
    if (const PersistenceSetup &persistence = environment.persistence(); persistence.unavailableStorePath.isEmpty())
        qCInfo(lcApp, "Persistence mode: %s", qPrintable(persistenceModeName(persistence.mode)));
    else
        qCInfo(lcApp, "Persistence: the store at %s cannot be used now; the history goes on in %s",
               qPrintable(persistence.unavailableStorePath),
               persistence.container->isInMemory()
                   ? "memory only"
                   : qPrintable(QStringLiteral("the fallback store at ") + persistence.container->storeURL()));

    // The tray's drawn icons, kept for the life of the program.
    AppDelegate::Platform platform;
    platform.glyphs = std::make_shared<StatusGlyphs>();
    platform.filesInMemory = demo;
    AppDelegate delegate(environment, preferences, notifications, std::move(platform));
    QObject::connect(&instance, &SingleInstance::argumentsReceived, &delegate, &AppDelegate::handleArguments);
    delegate.applicationDidFinishLaunching(arguments);
    // A store folder emptied while running takes the lock file with it: a new one is locked at once,
    // and while another start holds it instead the store is not written.
    if (storeLock)
        storeLock->watch([&delegate](const QString &why) {
            if (StoreCaretaker *caretaker = delegate.storeCaretaker())
                caretaker->lockLost(why);
        });
    // The first turn of the event loop: the clipboard is watched and hot keys and requests answer.
    QTimer::singleShot(0, &delegate, [] { qCInfo(lcApp, "Ready."); });

    LastSteps lastSteps([&](int status) {
        // After a quit or the display going, not bound by the end's limit: copying a deleted store
        // file back may take longer, and each step ends once it stops advancing. After a signal the
        // limit runs from the signal, so that any end comes within a second.
        delegate.applicationWillTerminate();
        environment.store().save();
        environment.syncHealth().flush();
        preferences.sync();
        // All the user made is on disk; what is left lets go of background work.
        UnixSignals::endStarted();
        exitDeadline.arm(std::chrono::milliseconds(500), status);
    });
    const int status = app.exec();
    lastSteps.run("asked to quit", status);
    return status;
}
