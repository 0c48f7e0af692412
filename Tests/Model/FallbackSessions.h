#pragma once

#include "Support/PagesFixture.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"

#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <functional>
#include <gtest/gtest.h>
#include <map>

// What the tests of fallback sessions share: a session as a start makes it, and the folders a
// fallback store may go to.
namespace quillmere::test {

inline int stored(ModelContext &ctx, const QString &sql)
{
    QSqlQuery q(ctx.database());
    return q.exec(sql) && q.next() ? q.value(0).toInt() : -1;
}

// `write` run by a session of its own on the store file at `at`, as an earlier session left it.
inline ::testing::AssertionResult writeStoreAt(const QString &at, const std::function<bool(ClipStore &)> &write,
                                               Clock clock = systemClock())
{
    QString error;
    std::shared_ptr<ModelContainer> container(ModelContainer::open(at, clock, &error).release());
    if (!container)
        return ::testing::AssertionFailure() << qPrintable(error);
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store(container, {prefs.prefs.get(), &center, clock, nullptr});
    if (!write(store))
        return ::testing::AssertionFailure() << "not written to " << qPrintable(at);
    return ::testing::AssertionSuccess();
}

// A session that could not use the store left `count` copies, "NAME copy 0" onwards, a second apart
// by `f`'s clock, in a fallback store at `path`.
inline ::testing::AssertionResult leaveSession(test::StoreFixture &f, const QString &path, const QString &name,
                                               int count)
{
    return writeStoreAt(
        path,
        [&](ClipStore &kept) {
            for (int i = 0; i < count; ++i) {
                f.clock.advance(1000);
                if (!kept.insertClip(test::StoreFixture::textContent(QString("%1 copy %2").arg(name).arg(i))))
                    return false;
            }
            return true;
        },
        f.clock.clock());
}

// A session on the store at `path` whose caretaker has done all it starts with: every fallback
// store moved in.
struct Restart {
    explicit Restart(const QString &path, std::function<bool(QString *why)> lockStore = {})
        : setup(ModelContainerFactory::makeSetup({path, systemClock(), {}, std::move(lockStore)}))
    {
        caretaker.setRetryDelays(10, 40);
        caretaker.start();
    }
    bool movedIn(const QString &path)
    {
        return test::waitUntil(
            [&] { return caretaker.step() == StoreCaretaker::Step::none && FallbackStore::all(path).isEmpty(); },
            30000);
    }
    PersistenceSetup setup;
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store{setup.container, {prefs.prefs.get(), &center, systemClock(), nullptr}};
    StoreCaretaker caretaker{store, setup};
};

// Another process holding the store's write lock for `holdMs`, or until let go.
struct StoreLocker {
    QProcess process;
    explicit StoreLocker(const QString &storePath, int holdMs = 60000)
    {
        process.start(QStringLiteral(QUILLMERE_STORE_LOCKER), {storePath, QString::number(holdMs)});
    }
    bool holds() { return process.waitForReadyRead(10000) && process.readLine().trimmed() == "locked"; }
    bool letGo()
    {
        process.closeWriteChannel();
        return process.waitForFinished(10000) && process.exitCode() == 0;
    }
    ~StoreLocker() { letGo(); }
};

// Points the folders a fallback store may go to where a test wants them, and back afterwards.
class Folders {
public:
    ~Folders()
    {
        for (const auto &[name, value] : m_saved)
            qputenv(name.constData(), value);
    }
    void set(const char *name, const QString &path)
    {
        m_saved.try_emplace(name, qgetenv(name));
        qputenv(name, QFile::encodeName(path));
    }

private:
    std::map<QByteArray, QByteArray> m_saved;
};

// A folder under a regular file: nobody, root included, can make it.
inline QString unmakeable(const QString &file, const char *under)
{
    QFile blocker(file);
    return blocker.open(QIODevice::WriteOnly) ? file + "/" + under : QString();
}

} // namespace quillmere::test
