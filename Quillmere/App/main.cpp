#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/Platform/Logging.h"
#include "Quillmere/Platform/UnixSignals.h"

#include <QApplication>

using namespace quillmere;

int main(int argc, char *argv[])
{
    // The global hot keys, the paste path and the front-window lookup all speak X11.
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brindlewax"));
    QApplication::setOrganizationName(QStringLiteral("orvantide"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLMERE_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    UnixSignals unixSignals;
    QObject::connect(&unixSignals, &UnixSignals::terminationRequested, &app, [](int sig) {
        qCInfo(lcApp, "Received signal %d, quitting", sig);
        QApplication::quit();
    });

    AppEnvironment &environment = AppEnvironment::shared();
    qCInfo(lcApp, "Persistence mode: %s", qPrintable(persistenceModeName(environment.persistence().mode)));

    const int status = app.exec();
    environment.store().save();
    return status;
}
