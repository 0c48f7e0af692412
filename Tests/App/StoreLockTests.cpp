#include "Quillmere/App/StoreLock.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Support/BoundByPermissions.h"
#include "Support/PagesFixture.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace quillmere;
using State = StoreLock::State;

namespace {

// The clips a store file holds, read on a connection of its own that writes nothing; -1 when it
// cannot be read.
int clipsInFile(const QString &path)
{
    const QString name = QStringLiteral("clipsInFile");
    int clips = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery q(db);
        if (db.open() && q.exec(QStringLiteral("SELECT COUNT(*) FROM clips")) && q.next())
            clips = q.value(0).toInt();
    }
    QSqlDatabase::removeDatabase(name);
    return clips;
}

// The setup of a start whose every try at the store asks `lock` for it first, counted in `asked`.
PersistenceSetup setupAskingLock(const QString &path, StoreLock &lock, int &asked)
{
    PersistenceOptions options{path, systemClock()};
    options.lockStore = [&lock, &asked](QString *why) {
        ++asked;
        return lock.hold(why);
    };
    return ModelContainerFactory::makeSetup(options);
}

} // namespace

TEST(StoreLock, AFolderEmptiedWhileHeldIsLockedAgainAtOnce)
{
    QTemporaryDir dir;
    const QString store = dir.filePath("Quillmere/default.store");
    StoreLock lock(store, "/run/quillmere");
    ASSERT_EQ(lock.state(), State::held);
    EXPECT_TRUE(lock.retake()) << "unchanged, it is kept as it is";
    lock.watch();
    ASSERT_TRUE(QDir(dir.filePath("Quillmere")).removeRecursively());
    ASSERT_TRUE(test::waitUntil([&] { return QFile::exists(store + ".lock"); })) << "the lock was left behind";
    const StoreLock later(store, {});
    EXPECT_EQ(later.state(), State::heldElsewhere);
    EXPECT_EQ(later.holder().contact, "/run/quillmere");

    // Only the file goes, twice: each new one is locked in turn.
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(QFile::remove(store + ".lock"));
        ASSERT_TRUE(test::waitUntil([&] { return QFile::exists(store + ".lock"); })) << round;
        EXPECT_EQ(StoreLock(store, {}).state(), State::heldElsewhere) << round;
    }
}

TEST(StoreLock, WhatCannotBeLockedIsSaidWithoutWaitingAndLeftAsItIs)
{
    QTemporaryDir dir;
    // A FIFO put at the path is neither waited on nor replaced.
    const QString fifoStore = dir.filePath("fifo/default.store");
    ASSERT_TRUE(QDir().mkpath(dir.filePath("fifo")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifoStore + ".lock").constData(), 0600), 0);
    const StoreLock fifo(fifoStore, {});
    EXPECT_EQ(fifo.state(), State::unavailable);
    EXPECT_TRUE(fifo.error().contains("not a file")) << qPrintable(fifo.error());
    EXPECT_EQ(fifo.holder().pid, 0);

    // A folder that takes no writes: a lock file there is held all the same, unnamed; without one,
    // the start is told why.
    const QString frozen = dir.filePath("frozen");
    ASSERT_TRUE(QDir().mkpath(frozen));
    {
        QFile file(frozen + "/kept.store.lock");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("pid 1\n");
    }
    ASSERT_EQ(::chmod(QFile::encodeName(frozen).constData(), 0555), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(frozen + "/kept.store.lock").constData(), 0444), 0);
    {
        test::BoundByPermissions bound;
        const StoreLock kept(frozen + "/kept.store", {});
        EXPECT_EQ(kept.state(), State::held) << qPrintable(kept.error());
        const StoreLock missing(frozen + "/new.store", {});
        EXPECT_EQ(missing.state(), State::unavailable);
        EXPECT_TRUE(missing.error().contains("Permission denied")) << qPrintable(missing.error());
    }
    ::chmod(QFile::encodeName(frozen).constData(), 0700);
}

TEST(StoreLock, AStartHandsOverToAHolderThatBeginsToListenAMomentLater)
{
    QTemporaryDir dir;
    const QString store = dir.filePath("default.store");
    const QString socket = dir.filePath("quillmere");
    const StoreLock held(store, socket);
    ASSERT_EQ(held.state(), State::held);
    const StoreLock second(store, {});
    ASSERT_EQ(second.state(), State::heldElsewhere);

    // Two starts at once: the one that took the lock is still on its way to listening.
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(server, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(socket);
    ASSERT_LT(size_t(native.size()), sizeof(address.sun_path));
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    std::thread listening([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        ::bind(server, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        ::listen(server, 4);
    });
    StoreLock::Holder holder;
    EXPECT_EQ(second.handOver({"--show-panel"}, &holder), SingleInstance::Claim::handedOver);
    listening.join();
    EXPECT_EQ(holder.pid, qint64(::getpid()));
    const int connection = ::accept(server, nullptr, nullptr);
    ASSERT_GE(connection, 0);
    char request[64] = {};
    EXPECT_GT(::read(connection, request, sizeof request - 1), 0);
    EXPECT_STREQ(request, "[\"--show-panel\"]\n");
    ::close(connection);
    ::close(server);
}

TEST(StoreLock, AStoreFolderItsOwnerMadeReadOnlyIsNeitherMadeWritableNorOpenedWithoutTheLock)
{
    QTemporaryDir dir;
    // Fallback stores kept in the test's own folders.
    std::vector<std::pair<const char *, QByteArray>> saved;
    for (const char *name : {"XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        saved.emplace_back(name, qgetenv(name));
        qputenv(name, QFile::encodeName(dir.filePath(QString::fromLatin1(name))));
    }
    const QString folder = dir.filePath("Quillmere");
    const QString path = folder + "/default.store";
    const auto modeOf = [&] {
        struct stat info {};
        return ::stat(QFile::encodeName(folder).constData(), &info) == 0 ? info.st_mode & 07777 : 0u;
    };
    {
        const PersistenceSetup earlier = ModelContainerFactory::makeSetup({path, systemClock()});
        test::TempPreferences prefs;
        NotificationCenter center;
        ClipStore store(earlier.container, {prefs.prefs.get(), &center, systemClock(), nullptr});
        ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent("before")));
    }
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0555), 0);
    {
        test::BoundByPermissions bound;
        StoreLock lock(path, {});
        ASSERT_EQ(lock.state(), State::unavailable);
        int asked = 0;
        const PersistenceSetup setup = setupAskingLock(path, lock, asked);
        EXPECT_NE(setup.container->storeURL(), path);
        EXPECT_TRUE(setup.unavailableReason.contains("cannot be locked")) << qPrintable(setup.unavailableReason);
        EXPECT_EQ(modeOf(), 0555u);

        test::TempPreferences prefs;
        NotificationCenter center;
        ClipStore store(setup.container, {prefs.prefs.get(), &center, systemClock(), nullptr});
        StoreCaretaker caretaker(store, setup);
        caretaker.setRetryDelays(10, 40);
        caretaker.start();
        ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent("meanwhile")));
        // Every retry asks for the lock first, and leaves the store alone without it.
        ASSERT_TRUE(test::waitUntil([&] { return asked >= 4; }));
        EXPECT_TRUE(caretaker.hasLeftStore());
        EXPECT_EQ(modeOf(), 0555u);

        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0700), 0);
        ASSERT_TRUE(test::waitUntil([&] { return !caretaker.hasLeftStore() && FallbackStore::all(path).isEmpty(); }));
        EXPECT_EQ(lock.state(), State::held);
        EXPECT_EQ(store.container().storeURL(), path);
        EXPECT_EQ(store.context().clipCount(), 2);

        // A second start, one that could not reach this one's socket, is kept out.
        StoreLock second(path, {});
        QString why;
        EXPECT_FALSE(second.hold(&why));
        EXPECT_TRUE(why.contains("holds it")) << qPrintable(why);
    }
    for (const auto &[name, value] : saved)
        qputenv(name, value);
}

TEST(StoreLock, ALockTakenByAnotherProcessWhileRunningKeepsEveryCopyOutOfTheStoreUntilItIsOursAgain)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Quillmere/default.store");
    StoreLock lock(path, {});
    ASSERT_EQ(lock.state(), State::held);
    int asked = 0;
    const PersistenceSetup setup = setupAskingLock(path, lock, asked);
    ASSERT_EQ(setup.container->storeURL(), path);
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store(setup.container, {prefs.prefs.get(), &center, systemClock(), nullptr});
    StoreCaretaker caretaker(store, setup);
    caretaker.setRetryDelays(10, 40);
    std::vector<StoreTrouble> told;
    QObject::connect(&caretaker, &StoreCaretaker::troubleOccurred,
                     [&](const StoreTrouble &trouble) { told.push_back(trouble); });
    lock.watch([&](const QString &why) { caretaker.lockLost(why); });
    caretaker.start();
    ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent("before")));
    ASSERT_EQ(clipsInFile(path), 1);

    // The lock file removed, and a new one locked by another process before this one sees it go.
    ASSERT_TRUE(QFile::remove(path + ".lock"));
    QProcess holder;
    holder.start(QStringLiteral(QUILLMERE_STORE_LOCK_HOLDER), {path});
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    ASSERT_EQ(holder.readLine().trimmed(), "held");
    ASSERT_TRUE(test::waitUntil([&] { return !told.empty(); }));
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told.front().kind, StoreTrouble::Kind::lockLost);
    const QString message = told.front().message();
    EXPECT_TRUE(message.contains(path) && message.contains(QStringLiteral("process %1").arg(holder.processId())))
        << qPrintable(message);

    constexpr int meanwhile = 5;
    for (int i = 0; i < meanwhile; ++i)
        ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent(QStringLiteral("meanwhile %1").arg(i))));
    EXPECT_EQ(store.context().clipCount(), 1 + meanwhile) << "the history shows them all the same";
    ASSERT_TRUE(test::waitUntil([&] {
        const QStringList fallbacks = FallbackStore::all(path);
        return fallbacks.size() == 1 && clipsInFile(fallbacks.front()) == meanwhile;
    })) << "every copy is on disk in a fallback store";
    // Retries ask for the lock and write nothing while the other holds it.
    const int askedBefore = asked;
    ASSERT_TRUE(test::waitUntil([&] { return asked >= askedBefore + 3; }));
    EXPECT_EQ(clipsInFile(path), 1);
    EXPECT_EQ(lock.state(), State::heldElsewhere);

    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(10000));
    ASSERT_TRUE(test::waitUntil([&] { return !store.context().hasChanges() && FallbackStore::all(path).isEmpty(); }));
    EXPECT_EQ(lock.state(), State::held);
    EXPECT_EQ(clipsInFile(path), 1 + meanwhile);
    EXPECT_EQ(told.size(), 1u);

    // Watched again: a lock file removed now is locked anew at once.
    ASSERT_TRUE(QFile::remove(path + ".lock"));
    ASSERT_TRUE(test::waitUntil([&] { return QFile::exists(path + ".lock"); }));
    EXPECT_EQ(StoreLock(path, {}).state(), State::heldElsewhere);
    ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent("after")));
    EXPECT_EQ(clipsInFile(path), 2 + meanwhile);
}
