// Starts a session on a store and is killed (SIGKILL, as kill -9) at a chosen point:
// "move_in_probe STORE NTH" once the NTH slice moved into the
// store is saved (exits 3 when that ended before); "move_in_probe STORE NTH full" once NTH
// copies made while the store's disk is full are in a fallback store.
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QCoreApplication>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <cstdio>

using namespace quillmere;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3 && argc != 4) {
        std::fputs("usage: move_in_probe STORE NTH [full]\n", stderr);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    int left = QString::fromLocal8Bit(argv[2]).toInt();
    QTemporaryDir prefsDir;
    Preferences prefs(prefsDir.filePath(QStringLiteral("prefs.json")));
    NotificationCenter center;
    const PersistenceSetup setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ClipStore store(setup.container, {&prefs, &center, systemClock(), nullptr});
    StoreCaretaker caretaker(store, setup);
    const auto kill = [&] {
        std::printf("stopped after %s\n", argv[2]);
        std::fflush(stdout);
        std::raise(SIGKILL);
    };
    QTimer::singleShot(30000, &app, [&] { app.exit(4); });
    if (argc == 4) {
        // The store can grow no more, as on a full disk.
        QSqlQuery q(store.context().database());
        if (!q.exec(QStringLiteral("PRAGMA page_count")) || !q.next())
            return 5;
        const qint64 pages = q.value(0).toLongLong();
        q.finish();
        q.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pages));
        caretaker.start();
        for (int i = 0; i < left; ++i)
            store.insertClip({.kind = ClipKind::text, .text = QStringLiteral("pending %1 ").arg(i).repeated(3000)});
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &app, [&] {
            if (!FallbackStore::all(path).isEmpty())
                kill();
        });
        poll.start(5);
        return app.exec();
    }
    caretaker.setSliceSavedHook([&] {
        if (--left <= 0)
            kill();
    });
    // The restore tells what came back once every file is done.
    QObject::connect(&caretaker, &StoreCaretaker::troubleOccurred, &app, [&] { app.exit(3); });
    caretaker.start();
    return app.exec();
}
