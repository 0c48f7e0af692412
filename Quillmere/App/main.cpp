#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/SingleInstance.h"
#include "Quillmere/Platform/Logging.h"
#include "Quillmere/Platform/NotificationCenter.h"
#include "Quillmere/Platform/Preferences.h"
#include "Quillmere/Platform/UnixSignals.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLoggingCategory>
#include <cstdio>

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
    {"init-cloudkit-schema", "Prepare the cloud schema and quit (no cloud container in this build)."},
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
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(rawArguments))
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("quillmere"))), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("Brindlewax %s\n", QUILLMERE_VERSION);
        return 0;
    }
    if (parser.isSet(QStringLiteral("init-cloudkit-schema"))) {
        qCInfo(lcSchema, "This build has no cloud container; there is no schema to prepare.");
        return 0;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fputs("Brindlewax needs an X11 display (or XWayland); DISPLAY is not set.\n", stderr);
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brindlewax"));
    QApplication::setOrganizationName(QStringLiteral("orvantide"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLMERE_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList arguments = QApplication::arguments();

    // A demo keeps to itself, so it can run beside the real history.
    const bool demo = arguments.contains(QStringLiteral("--demo-data"));
    SingleInstance instance(SingleInstance::defaultName(demo ? QStringLiteral("-demo") : QString()));
    switch (instance.claim(arguments.mid(1))) {
    case SingleInstance::Claim::first:
        break;
    case SingleInstance::Claim::handedOver:
        qCInfo(lcApp, "Brindlewax is already running; handed the request over to it.");
        return 0;
    case SingleInstance::Claim::requestTooLarge:
        std::fprintf(stderr, "Brindlewax is already running, and these arguments are too long to hand over to it "
                             "(at most %lld bytes).\n", static_cast<long long>(SingleInstance::maxRequestBytes));
        return 1;
    case SingleInstance::Claim::handOverFailed:
        std::fputs("Brindlewax is already running, but the arguments could not be handed over to it.\n", stderr);
        return 1;
    }
    if (wayland)
        qCInfo(lcApp, "Running under Wayland through XWayland: only X11 applications are covered.");

    UnixSignals unixSignals;
    QObject::connect(&unixSignals, &UnixSignals::terminationRequested, &app, [](int sig) {
        qCInfo(lcApp, "Received signal %d, quitting", sig);
        QApplication::quit();
    });

    AppEnvironment &environment = AppEnvironment::shared();
    qCInfo(lcApp, "Persistence mode: %s", qPrintable(persistenceModeName(environment.persistence().mode)));

    AppDelegate delegate(environment, Preferences::standard(), NotificationCenter::defaultCenter(), {});
    QObject::connect(&instance, &SingleInstance::argumentsReceived, &delegate, &AppDelegate::handleArguments);
    delegate.applicationDidFinishLaunching(arguments);

    const int status = app.exec();
    delegate.applicationWillTerminate();
    environment.store().save();
    Preferences::standard().sync();
    return status;
}
