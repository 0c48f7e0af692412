// Brings back the recovery files of a store and is killed (SIGKILL, as kill -9) once the NTH slice
// of them is saved: "spill_restore_probe STORE NTH". Exits 3 when the restore ended before that.
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <cstdio>

using namespace quillmere;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: spill_restore_probe STORE NTH\n", stderr);
        return 2;
    }
    int left = QString::fromLocal8Bit(argv[2]).toInt();
    QTemporaryDir prefsDir;
    Preferences prefs(prefsDir.filePath(QStringLiteral("prefs.json")));
    NotificationCenter center;
    const PersistenceSetup setup = ModelContainerFactory::makeSetup({QString::fromLocal8Bit(argv[1]), systemClock()});
    ClipStore store(setup.container, {&prefs, &center, systemClock(), nullptr});
    StoreCaretaker caretaker(store, setup);
    caretaker.setSliceSavedHook([&] {
        if (--left > 0)
            return;
        std::printf("stopped after slice %s\n", argv[2]);
        std::fflush(stdout);
        std::raise(SIGKILL);
    });
    // The restore tells what came back once every file is done.
    QObject::connect(&caretaker, &StoreCaretaker::troubleOccurred, &app, [&] { app.exit(3); });
    QTimer::singleShot(30000, &app, [&] { app.exit(4); });
    caretaker.start();
    return app.exec();
}
