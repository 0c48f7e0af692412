// Opens the store STORE, takes it away (deleted, or replaced by a store of 40 clips of its own, by
// another program's database or by bytes that are no store), copies three clips and ends as the
// program does, killed (SIGKILL, as kill -9) right after the guard's step STEP:
// "store_file_guard_probe STORE STEP deleted|store|foreign|garbage".
// Exits 3 when the step was never reached.
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <csignal>
#include <cstdio>
#include <map>

using namespace quillmere;
using CopyStep = StoreFileGuard::CopyStep;

namespace {

CapturedContent text(const QString &words)
{
    return CapturedContent{.kind = ClipKind::text, .text = words};
}

// Another program's database, readable by all.
bool writeForeign(const QString &at)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("foreign"));
        db.setDatabaseName(at);
        QSqlQuery q(db);
        ok = db.open() && q.exec(QStringLiteral("CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT)"))
            && q.exec(QStringLiteral("INSERT INTO notes(body) VALUES('a note')"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("foreign"));
    return ok && QFile::setPermissions(at, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

// A store of 40 clips of its own, another program's database or bytes that are none, written beside
// `path` and moved over it.
bool replace(const QString &path, const QString &how, Preferences &prefs, NotificationCenter &center)
{
    const QString other = path + QStringLiteral(".other");
    if (how == QLatin1String("foreign")) {
        if (!writeForeign(other))
            return false;
    } else if (how == QLatin1String("store")) {
        QString error;
        auto container = ModelContainer::open(other, systemClock(), &error);
        if (!container)
            return false;
        ClipStore store(std::shared_ptr<ModelContainer>(container.release()),
                        {&prefs, &center, systemClock(), nullptr});
        for (int i = 0; i < 40; ++i)
            if (!store.insertClip(text(QStringLiteral("theirs %1").arg(i))))
                return false;
    } else {
        QFile file(other);
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(20000, 'x')) != 20000)
            return false;
    }
    return QFile::rename(other, path) || (QFile::remove(path) && QFile::rename(other, path));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const std::map<QString, CopyStep> steps{
        {"begun", CopyStep::begun},   {"whole", CopyStep::whole},     {"setAside", CopyStep::setAside},
        {"copied", CopyStep::copied}, {"inPlace", CopyStep::inPlace}, {"connectionClosed", CopyStep::connectionClosed}};
    const auto chosen = argc == 4 ? steps.find(QString::fromLocal8Bit(argv[2])) : steps.end();
    const QString how = argc == 4 ? QString::fromLocal8Bit(argv[3]) : QString();
    if (chosen == steps.end() || !QStringList{"deleted", "store", "foreign", "garbage"}.contains(how)) {
        std::fputs("usage: store_file_guard_probe STORE STEP deleted|store|foreign|garbage\n", stderr);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir prefsDir;
    Preferences prefs(prefsDir.filePath(QStringLiteral("prefs.json")));
    NotificationCenter center;
    QString error;
    auto container = ModelContainer::open(path, systemClock(), &error);
    if (!container) {
        std::fprintf(stderr, "cannot open %s: %s\n", argv[1], qPrintable(error));
        return 2;
    }
    ClipStore store(std::shared_ptr<ModelContainer>(container.release()), {&prefs, &center, systemClock(), nullptr});
    store.fileGuard().setStepHook([&](CopyStep s) {
        if (s != chosen->second)
            return;
        std::printf("stopped after %s\n", argv[2]);
        std::fflush(stdout);
        std::raise(SIGKILL);
    });
    const bool gone = how == "deleted" ? QFile::remove(path) : replace(path, how, prefs, center);
    if (!gone) {
        std::fputs("the store could not be taken away\n", stderr);
        return 2;
    }
    for (int i = 0; i < 3; ++i)
        store.insertClip(text(QStringLiteral("new %1").arg(i)));
    store.fileGuard().checkNow();
    return 3;
}
