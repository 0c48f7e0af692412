#include "Model/DamagedStores.h"
#include "Support/PagesFixture.h"
#include "Support/PoolBlocker.h"
#include "Support/SmallDisk.h"

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreFileGuard.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QThreadPool>
#include <cstdio>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace quillmere;
using test::PoolBlocker;

namespace {

class StoreFileGuardTest : public ::testing::Test, public test::StoreFixture {
protected:
    StoreFileGuardTest() : StoreFixture(true) {}

    void addClips(const QString &prefix, int count)
    {
        for (int i = 0; i < count; ++i) {
            clock.advance(1000);
            ASSERT_TRUE(store->insertClip(textContent(QStringLiteral("%1 %2").arg(prefix).arg(i))));
        }
    }

    // The clips saved in the store file at `at`, read as the next start would.
    int clipsStoredAt(const QString &at, const QString &prefix = {})
    {
        QString error;
        auto container = ModelContainer::open(at, clock.clock(), &error);
        if (!container) {
            ADD_FAILURE() << qPrintable(error);
            return -1;
        }
        int count = 0;
        for (const ClipRef &clip : container->mainContext().allClips())
            count += clip->text().value_or(QString()).startsWith(prefix);
        return count;
    }

    // `count` clips of their own added to the store file at `at`.
    void addToStoreAt(const QString &at, const QString &prefix, int count)
    {
        QString error;
        auto container = ModelContainer::open(at, clock.clock(), &error);
        ASSERT_TRUE(container) << qPrintable(error);
        ClipStore other(std::shared_ptr<ModelContainer>(container.release()),
                        {prefs.prefs.get(), &center, clock.clock(), nullptr});
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(other.insertClip(textContent(QStringLiteral("%1 %2").arg(prefix).arg(i))));
    }

    // What the store opened next tells first of the files beside it.
    QString toldAtOpen()
    {
        store.reset();
        open();
        QSignalSpy told(store.get(), &ClipStore::storeFileChanged);
        if (!told.wait(test::patienceMs))
            return {};
        return told.first().first().toString();
    }

    bool copyDone()
    {
        return test::waitUntil([&] { return !store->fileGuard().isCopying(); });
    }

    // A second store of `count` clips of its own, moved over the store's path as a user would.
    void replaceStore(int count)
    {
        const QString other = dir.filePath(QStringLiteral("other.store"));
        {
            QString error;
            auto container = ModelContainer::open(other, clock.clock(), &error);
            ASSERT_TRUE(container) << qPrintable(error);
            ClipStore otherStore(std::shared_ptr<ModelContainer>(container.release()),
                                 {prefs.prefs.get(), &center, clock.clock(), nullptr});
            for (int i = 0; i < count; ++i)
                ASSERT_TRUE(otherStore.insertClip(textContent(QStringLiteral("theirs %1").arg(i))));
        }
        // As mv does: the name moves over the store's, which its connection keeps open.
        ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()), 0);
    }

    // Bytes that are no store, moved over the store's path.
    void replaceWithGarbage()
    {
        const QString other = dir.filePath(QStringLiteral("garbage"));
        QFile file(other);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(QByteArray(20000, 'x')), 20000);
        file.close();
        ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()), 0);
    }

    // Another program's database of `rows` notes, readable by all as such files often are, moved
    // over the path; what it holds, to check it was left as it is.
    QByteArray replaceWithForeign(int rows = 5)
    {
        const QString other = dir.filePath(QStringLiteral("notes.db"));
        writeForeign(other, rows);
        const QByteArray digest = digestOf(other);
        EXPECT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()), 0);
        return digest;
    }

    static void writeForeign(const QString &at, int rows)
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("foreign"));
            db.setDatabaseName(at);
            ASSERT_TRUE(db.open());
            QSqlQuery q(db);
            ASSERT_TRUE(q.exec("PRAGMA user_version = 3"));
            ASSERT_TRUE(q.exec("CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT)"));
            for (int i = 0; i < rows; ++i)
                ASSERT_TRUE(q.exec(QStringLiteral("INSERT INTO notes(body) VALUES('note %1')").arg(i)));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("foreign"));
        QFile::setPermissions(at, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }

    static QByteArray digestOf(const QString &at)
    {
        QFile file(at);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
    }

    QStringList keptCopies() const
    {
        return QDir(dir.path()).entryList({QStringLiteral("pages.store.kept-*")}, QDir::Files);
    }

    QStringList setAside() const
    {
        return QDir(dir.path()).entryList({QStringLiteral("pages.store.unreadable-*")}, QDir::Files);
    }

    // Runs the store in a probe process that deletes or replaces the store file, copies three
    // clips and is killed with SIGKILL right after `killAfter`.
    void runProbeKilledAfter(const QString &killAfter, const QString &replace)
    {
        store.reset();
        QProcess probe;
        probe.start(QStringLiteral(QUILLMERE_STORE_FILE_GUARD_PROBE), {path, killAfter, replace});
        ASSERT_TRUE(probe.waitForFinished(30000)) << "the probe did not end";
        EXPECT_EQ(probe.exitStatus(), QProcess::CrashExit)
            << "the probe ended (" << probe.exitCode() << ") without reaching " << qPrintable(killAfter) << ": "
            << probe.readAllStandardError().toStdString();
        EXPECT_EQ(probe.readAllStandardOutput().trimmed(), "stopped after " + killAfter.toUtf8());
    }
};

} // namespace

TEST_F(StoreFileGuardTest, ADeletedStoreIsWrittenAgainAtItsPathWithEveryCopy)
{
    QSignalSpy told(store.get(), &ClipStore::storeFileChanged);
    addClips("old", 40);
    // Changed in place, the file is still the one the connection holds: nothing to do.
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    addClips("old again", 1);
    EXPECT_FALSE(store->fileGuard().isCopying());
    EXPECT_EQ(told.size(), 0);

    // Only the store file goes; its log and index stay behind.
    ASSERT_TRUE(QFile::remove(path));
    addClips("new", 3);
    ASSERT_TRUE(copyDone());
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_EQ(clipsStoredAt(path), 44);
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told.first().first().toString().contains(QStringLiteral("was deleted")));

    // Later copies go to the file at the path, and the clips in memory stay the history's.
    addClips("later", 2);
    EXPECT_EQ(clipsStoredAt(path), 46);
    EXPECT_EQ(ctx().clipCount(), 46);

    // The whole folder, companions included.
    ASSERT_TRUE(QDir(QFileInfo(path).absolutePath()).removeRecursively());
    addClips("after the folder", 1);
    ASSERT_TRUE(copyDone());
    EXPECT_EQ(clipsStoredAt(path), 47);
    EXPECT_EQ(told.size(), 2);
    EXPECT_FALSE(QFile::exists(StoreFileGuard::rewritingPath(path)));
    EXPECT_FALSE(QFile::exists(StoreFileGuard::rewrittenPath(path)));
    EXPECT_EQ(QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

    // Deleted with nothing copied after it, the history is written again before the program ends.
    ASSERT_TRUE(QFile::remove(path));
    store->fileGuard().checkNow();
    EXPECT_FALSE(store->fileGuard().isCopying());
    EXPECT_EQ(clipsStoredAt(path), 47);
    EXPECT_EQ(told.size(), 3);
}

TEST_F(StoreFileGuardTest, AReplacedStoreIsLeftAsPutThereAndTheHistoryHeldIsKeptBesideIt)
{
    QSignalSpy told(store.get(), &ClipStore::storeFileChanged);
    addClips("old", 40);
    replaceStore(40);
    addClips("new", 3);
    ASSERT_TRUE(copyDone());

    // The replacement's clips are all there and the session goes on in it.
    EXPECT_EQ(clipsStoredAt(path, "theirs"), 40);
    EXPECT_EQ(ctx().clipCount(), 40);
    addClips("later", 1);
    EXPECT_EQ(clipsStoredAt(path), 41);
    // Nothing the program held is lost: it sits beside, and the user is told where.
    const QStringList kept = keptCopies();
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(clipsStoredAt(dir.filePath(kept.first()), "old"), 40);
    EXPECT_EQ(clipsStoredAt(dir.filePath(kept.first()), "new"), 3);
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told.first().first().toString().contains(kept.first()));

    // Replaced again as the program ends, with a copy not saved yet: that one is kept as well.
    clock.advance(1000);
    ctx().insert(store->makeClip(textContent("pending")));
    replaceStore(40);
    store->fileGuard().checkNow();
    QStringList both = keptCopies();
    ASSERT_EQ(both.size(), 2);
    both.removeAll(kept.first());
    EXPECT_EQ(clipsStoredAt(dir.filePath(both.first()), "pending"), 1);
    EXPECT_EQ(clipsStoredAt(path, "theirs"), 40);
    EXPECT_EQ(told.size(), 2);
}

TEST_F(StoreFileGuardTest, CopiesMadeWhileTheConnectionIsClosedWaitForItToOpenAgain)
{
    addClips("old", 2);
    ctx().closeConnection();
    clock.advance(1000);
    ASSERT_TRUE(store->insertClip(textContent("while closed")));
    EXPECT_TRUE(ctx().hasChanges());
    QString error;
    ASSERT_TRUE(ctx().reopenConnection(&error)) << qPrintable(error);
    ASSERT_TRUE(store->save());
    EXPECT_EQ(clipsStoredAt(path), 3);
    // Gone while closed, the file is not made anew empty.
    ctx().closeConnection();
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_FALSE(ctx().reopenConnection(&error));
    EXPECT_FALSE(QFile::exists(path));
}

TEST_F(StoreFileGuardTest, KilledBetweenAnyTwoStepsOfPuttingTheCopyInPlaceLosesNothing)
{
    addClips("old", 40);
    const QString original = dir.filePath("original.store");
    store.reset();
    ASSERT_TRUE(QFile::copy(path, original));
    // How the store file went, and the steps of putting it back in the order they are taken.
    const std::pair<QString, QStringList> runs[] = {
        {"deleted", {"whole", "copied", "inPlace", "connectionClosed"}},
        {"store", {"whole", "copied", "connectionClosed", "inPlace"}},
        {"garbage", {"whole", "setAside", "copied", "inPlace", "connectionClosed"}},
        {"foreign", {"whole", "setAside", "copied", "inPlace", "connectionClosed"}}};
    for (const auto &[how, steps] : runs)
        for (const QString &step : steps) {
            SCOPED_TRACE(QStringLiteral("%1, killed after %2").arg(how, step).toStdString());
            for (const QString &file : QDir(dir.path()).entryList({QStringLiteral("pages.store*")}, QDir::Files))
                ASSERT_TRUE(QFile::remove(dir.filePath(file)));
            ASSERT_TRUE(QFile::copy(original, path));
            runProbeKilledAfter(step, how);
            // The next start puts a whole copy in place before it opens the store.
            StoreFileGuard::finishInterruptedRewrite(path);
            EXPECT_FALSE(QFile::exists(StoreFileGuard::rewrittenPath(path)));
            EXPECT_FALSE(QFile::exists(StoreFileGuard::rewritingPath(path)));
            const QStringList kept = keptCopies();
            ASSERT_EQ(kept.size(), how == "store" ? 1 : 0);
            const QStringList aside = setAside();
            ASSERT_EQ(aside.size(), how == "garbage" || how == "foreign" ? 1 : 0);
            // Another program's file is set aside as it was put there.
            if (how == "foreign") {
                EXPECT_EQ(ModelContainer::kindOf(dir.filePath(aside.first())), ModelContainer::FileKind::foreign);
                EXPECT_EQ(QFileInfo(dir.filePath(aside.first())).permissions() & QFile::ReadOther, QFile::ReadOther);
            }
            const QString history = how == "store" ? dir.filePath(kept.first()) : path;
            EXPECT_EQ(clipsStoredAt(history, "old"), 40);
            EXPECT_EQ(clipsStoredAt(history, "new"), 3);
            if (how == "store") {
                EXPECT_EQ(clipsStoredAt(path, "theirs"), 40);
                EXPECT_EQ(clipsStoredAt(path, "old"), 0);
            }
        }
}

TEST_F(StoreFileGuardTest, AReplacementThatIsNoStoreIsSetAsideAndTheHistoryGoesOnAtItsPath)
{
    QSignalSpy told(store.get(), &ClipStore::storeFileChanged);
    addClips("old", 40);
    replaceWithGarbage();
    addClips("new", 3);
    ASSERT_TRUE(copyDone());

    EXPECT_EQ(clipsStoredAt(path), 43);
    EXPECT_TRUE(keptCopies().isEmpty());
    const QStringList aside = setAside();
    ASSERT_EQ(aside.size(), 1);
    QFile garbage(dir.filePath(aside.first()));
    ASSERT_TRUE(garbage.open(QIODevice::ReadOnly));
    EXPECT_EQ(garbage.readAll(), QByteArray(20000, 'x'));
    ASSERT_EQ(told.size(), 1);
    const QString message = told.first().first().toString();
    EXPECT_TRUE(message.contains(aside.first()) && message.contains("cannot read")) << qPrintable(message);

    // The session goes on at the path, and a restart opens what it saved.
    addClips("later", 1);
    EXPECT_EQ(ctx().clipCount(), 44);
    store.reset();
    StoreFileGuard::finishInterruptedRewrite(path);
    EXPECT_EQ(clipsStoredAt(path), 44);
}

TEST_F(StoreFileGuardTest, AStoreWrittenAgainThatDoesNotOpenSaysSoKeepsZeroingAndOpensOnceItCan)
{
    QSignalSpy told(store.get(), &ClipStore::storeFileChanged);
    addClips("old", 5);
    // A directory where the log must go: the copy is in place, but no connection to it opens.
    const QString log = path + QStringLiteral("-wal");
    store->fileGuard().setStepHook([&](StoreFileGuard::CopyStep s) {
        if (s == StoreFileGuard::CopyStep::connectionClosed) {
            ASSERT_TRUE(QDir().mkdir(log));
        }
    });
    ASSERT_TRUE(QFile::remove(path));
    store->fileGuard().checkNow();
    ASSERT_EQ(told.size(), 1);
    const QString message = told.first().first().toString();
    EXPECT_TRUE(message.contains("could not be opened again") && message.contains("go to a fallback store"))
        << qPrintable(message);
    QSqlQuery q(ctx().database());
    ASSERT_TRUE(q.exec("PRAGMA secure_delete") && q.next());
    EXPECT_EQ(q.value(0).toInt(), 1);
    q.finish();

    ASSERT_TRUE(QDir().rmdir(log));
    addClips("after", 1);
    ASSERT_EQ(told.size(), 2);
    EXPECT_TRUE(told.last().first().toString().contains("opened again")) << qPrintable(told.last().first().toString());
    EXPECT_EQ(clipsStoredAt(path), 6);
}

TEST_F(StoreFileGuardTest, SavesWaitingForTheSyncAreDeferredAndAStaleSyncPlacesNoNewerCopy)
{
    QThreadPool &pool = *QThreadPool::globalInstance();
    const int threads = pool.maxThreadCount();
    pool.setMaxThreadCount(1);
    addClips("old", 5);
    {
        PoolBlocker first;
        ASSERT_TRUE(QFile::remove(path));
        addClips("new", 1);
        ASSERT_TRUE(test::waitUntil([&] { return store->fileGuard().holdsSaves(); }));
        clock.advance(1000);
        ctx().insert(store->makeClip(textContent("waiting")));
        EXPECT_EQ(store->savePart(10), ClipStore::SaveResult::deferred);
        EXPECT_TRUE(ctx().hasChanges());
        // A quit meanwhile keeps the change in a fallback store rather than trying to save it for ever.
        StoreCaretaker caretaker(*store, PersistenceSetup{nullptr, PersistenceMode::localOnly});
        EXPECT_EQ(caretaker.keepAtQuit(), 0);
        EXPECT_EQ(FallbackStore::all(path).size(), 1);

        // The end of the program places that copy; a second one is synced after the first's sync.
        store->fileGuard().checkNow();
        EXPECT_EQ(clipsStoredAt(path), 7);
        PoolBlocker second;
        ASSERT_TRUE(QFile::remove(path));
        store->fileGuard().check();
        ASSERT_TRUE(test::waitUntil([&] { return store->fileGuard().holdsSaves(); }));
        first.release();
        // The first sync's answer comes back; the second copy is not synced yet.
        QTest::qWait(200);
        EXPECT_TRUE(store->fileGuard().holdsSaves());
        EXPECT_FALSE(QFile::exists(path));
    }
    ASSERT_TRUE(copyDone());
    pool.setMaxThreadCount(threads);
    EXPECT_EQ(clipsStoredAt(path), 7);
}

TEST_F(StoreFileGuardTest, AnotherProgramsDatabaseIsNeverWrittenIntoButSetAsideAsItIs)
{
    // Put there while the program runs.
    QSignalSpy told(store.get(), &ClipStore::storeFileChanged);
    addClips("old", 40);
    const QByteArray theirs = replaceWithForeign();
    addClips("new", 3);
    ASSERT_TRUE(copyDone());
    EXPECT_EQ(clipsStoredAt(path), 43);
    EXPECT_TRUE(keptCopies().isEmpty());
    const QStringList aside = setAside();
    ASSERT_EQ(aside.size(), 1);
    const QString asidePath = dir.filePath(aside.first());
    EXPECT_EQ(digestOf(asidePath), theirs);
    EXPECT_EQ(QFileInfo(asidePath).permissions() & QFile::ReadOther, QFile::ReadOther);
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told.first().first().toString().contains("another program's database"))
        << qPrintable(told.first().first().toString());

    // Found there at a start: set aside as it is, and a new history begins at the path.
    store.reset();
    const QString other = dir.filePath("at start.store");
    writeForeign(other, 7);
    const QByteArray before = digestOf(other);
    QString error;
    EXPECT_FALSE(ModelContainer::open(other, clock.clock(), &error));
    EXPECT_EQ(digestOf(other), before);
    const PersistenceSetup setup = ModelContainerFactory::makeSetup({other, clock.clock()});
    ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
    ASSERT_FALSE(setup.movedAsidePath.isEmpty());
    EXPECT_EQ(digestOf(setup.movedAsidePath), before);
    EXPECT_EQ(QFileInfo(setup.movedAsidePath).permissions() & QFile::ReadOther, QFile::ReadOther);
    EXPECT_EQ(setup.container->mainContext().clipCount(), 0);
    StoreTrouble atStart{StoreTrouble::Kind::storeMovedAside, setup.movedAsidePath};
    atStart.foreign = setup.movedAsideForeign;
    EXPECT_TRUE(atStart.message().contains("program's database")) << qPrintable(atStart.message());

    // An empty database and older stores of ours are still taken as stores.
    const QString empty = dir.filePath("empty.store");
    {
        QFile file(empty);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    EXPECT_EQ(ModelContainer::kindOf(empty), ModelContainer::FileKind::empty);
    EXPECT_TRUE(ModelContainer::open(empty, clock.clock(), &error)) << qPrintable(error);
    EXPECT_EQ(ModelContainer::kindOf(empty), ModelContainer::FileKind::ours);
    // Nor does a FIFO at the path hold the start.
    const QString fifo = dir.filePath("fifo.store");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(ModelContainer::kindOf(fifo), ModelContainer::FileKind::unknown);
}

TEST_F(StoreFileGuardTest, ADeletionIsNoticedAtOnceWithoutASave)
{
    addClips("old", 5);
    ASSERT_TRUE(QFile::remove(path));
    // No save and no check: the folder's watch alone starts the copy, long before the half-minute look.
    EXPECT_TRUE(test::waitUntil([&] { return QFile::exists(path) && !store->fileGuard().isCopying(); }, 3000));
    store.reset();
    EXPECT_EQ(clipsStoredAt(path), 5);
}

TEST_F(StoreFileGuardTest, AStoreDeletedBeforeTheGuardIsSetUpIsStillWrittenAgain)
{
    addClips("old", 4);
    store.reset();
    QString error;
    auto container = ModelContainer::open(path, clock.clock(), &error);
    ASSERT_TRUE(container) << qPrintable(error);
    // As on a slow disk, the start takes its time between opening the store and watching it.
    ASSERT_TRUE(QFile::remove(path));
    store = std::make_unique<ClipStore>(std::shared_ptr<ModelContainer>(container.release()),
                                        ClipStoreDependencies{prefs.prefs.get(), &center, clock.clock(), &audit});
    store->fileGuard().checkNow();
    EXPECT_FALSE(store->fileGuard().isCopying());
    store.reset();
    EXPECT_EQ(clipsStoredAt(path), 4);
}

TEST_F(StoreFileGuardTest, ADeletedStoreWhoseCopyFindsNoRoomGoesOnInAFallbackStoreAndComesBackWhole)
{
    test::SmallDisk disk(2 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    path = disk.filePath("pages.store");
    open();
    addClips("old", 40);
    {
        StoreCaretaker caretaker(*store, PersistenceSetup{nullptr, PersistenceMode::localOnly});
        caretaker.setRetryDelays(10, 40);
        caretaker.start();
        QSignalSpy copied(&store->fileGuard(), &StoreFileGuard::copiedToFallback);
        ASSERT_TRUE(QFile::remove(path));
        ASSERT_TRUE(disk.fill());
        // They go into the open file, or wait in memory when it has no room either.
        for (int i = 0; i < 3; ++i) {
            clock.advance(1000);
            ctx().insert(store->makeClip(textContent(QStringLiteral("new %1").arg(i))));
            store->save();
        }
        // The copy finds no room at the path: it is made in another folder, and the history goes on there.
        // Once the deleted file is let go its room comes back, and the history may move back to the
        // path at once: the signal, not the state, tells that the fallback store was made.
        ASSERT_TRUE(copied.count() > 0 || copied.wait(10000));
        const QString fallback = copied.front().front().toString();
        EXPECT_FALSE(fallback.startsWith(disk.path())) << qPrintable(fallback);
        addClips("later", 2);
        // They wait in memory only while the history is copied whole back to the path, a moment.
        EXPECT_TRUE(test::waitUntil([&] { return !ctx().hasChanges(); }));
        // Killed here, nothing is lost: every copy is saved, in the fallback store or the store.
    }

    // The next start, with room again, finds a new store and moves every copy into it.
    store.reset();
    disk.release();
    open();
    StoreCaretaker caretaker(*store, PersistenceSetup{nullptr, PersistenceMode::localOnly});
    caretaker.start();
    EXPECT_TRUE(test::waitUntil([&] { return FallbackStore::all(path).isEmpty(); }));
    store.reset();
    EXPECT_EQ(clipsStoredAt(path, "old"), 40);
    EXPECT_EQ(clipsStoredAt(path, "new"), 3);
    EXPECT_EQ(clipsStoredAt(path, "later"), 2);
}

TEST_F(StoreFileGuardTest, ADeletedStoreComesBackToItsPathInTheRoomItTookBefore)
{
    test::SmallDisk disk(4 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    path = disk.filePath("pages.store");
    open();
    constexpr int kept = 4000;
    for (int i = 0; i < kept; ++i) {
        clock.advance(1000);
        ctx().insert(store->makeClip(textContent(QStringLiteral("old %1 of a history that filled its disk").arg(i))));
    }
    ASSERT_TRUE(store->save());
    ASSERT_TRUE(QSqlQuery(ctx().database()).exec("PRAGMA wal_checkpoint(TRUNCATE)"));
    StoreCaretaker caretaker(*store, PersistenceSetup{nullptr, PersistenceMode::localOnly});
    caretaker.setRetryDelays(10, 40);
    caretaker.start();
    QSignalSpy copied(&store->fileGuard(), &StoreFileGuard::copiedToFallback);
    ASSERT_TRUE(QFile::remove(path));
    // Once the deleted file is let go, the disk has its room and little more.
    ASSERT_TRUE(disk.fill());
    QFile filler(disk.filePath("filler"));
    ASSERT_TRUE(filler.resize(filler.size() - 256 * 1024));
    ASSERT_TRUE(copied.count() > 0 || copied.wait(10000));
    const QString fallback = copied.front().front().toString();
    addClips("new", 2);
    // Rows put in one by one would take more pages than the file they came from held.
    EXPECT_TRUE(test::waitUntil(
        [&] { return !caretaker.hasLeftStore() && !ctx().hasChanges() && FallbackStore::all(path).isEmpty(); }, 20000));
    EXPECT_FALSE(QFile::exists(fallback));
    addClips("later", 1);
    store.reset();
    EXPECT_EQ(clipsStoredAt(path, "old"), kept);
    EXPECT_EQ(clipsStoredAt(path, "new"), 2);
    EXPECT_EQ(clipsStoredAt(path, "later"), 1);
}

TEST_F(StoreFileGuardTest, AHistoryNoCopyCanHoldAtItsPathGoesToAFallbackStoreAwayFromThatFolder)
{
    addClips("old", 5);
    // The copy's name is taken by a folder, on a disk with room.
    ASSERT_TRUE(QDir().mkdir(StoreFileGuard::rewritingPath(path)));
    ASSERT_TRUE(QFile::remove(path));
    store->fileGuard().checkNow();
    const QStringList kept = FallbackStore::all(path);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_FALSE(kept.front().startsWith(dir.path())) << qPrintable(kept.front());
    EXPECT_EQ(clipsStoredAt(kept.front(), "old"), 5);
    FallbackStore::remove(kept.front());
}

TEST_F(StoreFileGuardTest, ACopyCutShortIsNeverTakenForTheHistoryAndTheNextStartSaysSo)
{
    addClips("old", 40);
    // Killed as the copy of the deleted store begins: its file is there, empty.
    runProbeKilledAfter("begun", "deleted");
    ASSERT_TRUE(QFile::exists(StoreFileGuard::rewritingPath(path)));
    EXPECT_FALSE(StoreFileGuard::finishInterruptedRewrite(path));
    EXPECT_FALSE(QFile::exists(StoreFileGuard::rewritingPath(path)));
    EXPECT_FALSE(QFile::exists(path));
    open();
    QSignalSpy told(store.get(), &ClipStore::storeFileChanged);
    ASSERT_TRUE(told.wait(test::patienceMs));
    const QString message = told.first().first().toString();
    EXPECT_TRUE(message.contains("could not be used and was removed")) << qPrintable(message);
    EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("pages.store.unfinished-*")}).isEmpty());
}

TEST_F(StoreFileGuardTest, TheNextStartNamesAHistoryKeptBesideThatHoldsCopiesMissingFromTheStore)
{
    addClips("shared", 3);
    store.reset();
    const QString kept = path + ".kept-20260101-000000";
    ASSERT_TRUE(QFile::copy(path, kept));
    const QString same = path + ".kept-20260101-000001";
    ASSERT_TRUE(QFile::copy(path, same));
    addToStoreAt(kept, "only kept", 2);
    // Another program's file set aside holds no copies of ours.
    writeForeign(path + ".unreadable-20260101-000000", 3);
    // Nor does a FIFO, which would hold the reader.
    ASSERT_EQ(::mkfifo(QFile::encodeName(path + ".kept-20260101-000002").constData(), 0600), 0);
    open();
    QSignalSpy told(store.get(), &ClipStore::storeFileChanged);
    ASSERT_TRUE(told.wait(test::patienceMs));
    const QString message = told.first().first().toString();
    EXPECT_TRUE(message.contains(kept + " (2 copies)")) << qPrintable(message);
    EXPECT_FALSE(message.contains(same)) << qPrintable(message);
    EXPECT_FALSE(message.contains(".unreadable-")) << qPrintable(message);
}

TEST_F(StoreFileGuardTest, AnEarlierHistoryBesideIsToldOnceUntilItChangesOrAnotherComes)
{
    addClips("shared", 3);
    store.reset();
    const QString first = path + ".kept-20260101-000000";
    ASSERT_TRUE(QFile::copy(path, first));
    addToStoreAt(first, "first", 2);
    QString message = toldAtOpen();
    EXPECT_TRUE(message.contains(first + " (2 copies)")) << qPrintable(message);
    // A start after it tells only of what is new beside the store.
    const QString second = path + ".kept-20260101-000001";
    ASSERT_TRUE(QFile::copy(path, second));
    addToStoreAt(second, "second", 1);
    message = toldAtOpen();
    EXPECT_TRUE(message.contains(second + " (1 copy)")) << qPrintable(message);
    EXPECT_FALSE(message.contains(first)) << qPrintable(message);
    // A file told of that changed since is told of again.
    addToStoreAt(first, "more", 1);
    message = toldAtOpen();
    EXPECT_TRUE(message.contains(first + " (3 copies)")) << qPrintable(message);
    EXPECT_FALSE(message.contains(second)) << qPrintable(message);
}

TEST_F(StoreFileGuardTest, ACopyCutShortIsToldOnceAHistoryOpenedInMemoryIsWrittenToItsFile)
{
    const QString file = path;
    store.reset();
    path.clear();
    open();
    addClips("memory", 2);
    const QString unfinished = file + ".unfinished-20260101-000000";
    QFile cut(unfinished);
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    ASSERT_EQ(cut.write(QByteArray(4096, 'x')), 4096);
    cut.close();
    QSignalSpy told(store.get(), &ClipStore::storeFileChanged);
    QString error;
    auto container = ModelContainer::open(file, clock.clock(), &error);
    ASSERT_TRUE(container) << qPrintable(error);
    store->moveHistoryTo(std::shared_ptr<ModelContainer>(container.release()));
    ASSERT_TRUE(told.wait(test::patienceMs));
    const QString message = told.first().first().toString();
    EXPECT_TRUE(message.contains("could not be used and was removed")) << qPrintable(message);
    EXPECT_FALSE(QFile::exists(unfinished));
}
