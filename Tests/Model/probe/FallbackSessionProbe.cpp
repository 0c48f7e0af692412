// A second program on the same history that cannot take the store's lock: its copies go to a
// fallback store of its own. "fallback_session_probe STORE" prints "fallback PATH", then copies
// each line its input gives, printing "saved N" once the Nth is on disk, and quits (as a SIGTERM
// ends the program) when its input closes.
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <cstdio>
#include <string>
#include <unistd.h>

using namespace quillmere;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: fallback_session_probe STORE\n", stderr);
        return 2;
    }
    QTemporaryDir prefsDir;
    Preferences prefs(prefsDir.filePath(QStringLiteral("prefs.json")));
    NotificationCenter center;
    const auto heldElsewhere = [](QString *why) {
        *why = QStringLiteral("another program holds it");
        return false;
    };
    const PersistenceSetup setup =
        ModelContainerFactory::makeSetup({QString::fromLocal8Bit(argv[1]), systemClock(), {}, heldElsewhere});
    if (setup.container->isInMemory())
        return 3;
    ClipStore store(setup.container, {&prefs, &center, systemClock(), nullptr});
    StoreCaretaker caretaker(store, setup);
    caretaker.start();
    std::printf("fallback %s\n", qPrintable(setup.container->storeURL()));
    std::fflush(stdout);
    int saved = 0;
    std::string line;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char c = 0;
        if (::read(STDIN_FILENO, &c, 1) != 1) {
            input.setEnabled(false);
            caretaker.end();
            app.quit();
            return;
        }
        if (c != '\n') {
            line += c;
            return;
        }
        store.insertClip({.kind = ClipKind::text, .text = QString::fromStdString(std::exchange(line, {}))});
        if (store.save() && !store.context().hasChanges())
            std::printf("saved %d\n", ++saved);
        else
            std::printf("unsaved\n");
        std::fflush(stdout);
    });
    return app.exec();
}
