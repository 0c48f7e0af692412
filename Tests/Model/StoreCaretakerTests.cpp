#include "Support/PagesFixture.h"

#include "Quillmere/Model/StoreCaretaker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlQuery>
#include <sys/mount.h>

using namespace quillmere;

namespace {

struct Told {
    std::vector<StoreTrouble> troubles;
    void watch(StoreCaretaker &caretaker)
    {
        QObject::connect(&caretaker, &StoreCaretaker::troubleOccurred,
                         [this](const StoreTrouble &trouble) { troubles.push_back(trouble); });
    }
    std::vector<StoreTrouble::Kind> kinds() const
    {
        std::vector<StoreTrouble::Kind> out;
        for (const StoreTrouble &t : troubles)
            out.push_back(t.kind);
        return out;
    }
};

// Another process holding the store's write lock for `holdMs`, or until let go.
struct StoreLocker {
    QProcess process;
    StoreLocker(const QString &storePath, int holdMs)
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

int storedClips(ModelContext &ctx, const QString &where = QStringLiteral("1"))
{
    QSqlQuery q(ctx.database());
    return q.exec(QStringLiteral("SELECT COUNT(*) FROM clips WHERE ") + where) && q.next() ? q.value(0).toInt() : -1;
}

QString spillBeside(const QString &storePath)
{
    const QDir dir = QFileInfo(storePath).dir();
    const QStringList found =
        dir.entryList({QFileInfo(storePath).fileName() + ".unsaved-*.json"}, QDir::Files, QDir::Time);
    if (found.isEmpty())
        return {};
    QFile file(dir.filePath(found.front()));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// A small file system of its own: a disk that fills for real, write-ahead log and all.
struct SmallDisk {
    QTemporaryDir dir;
    bool mounted = false;
    explicit SmallDisk(const char *size) { mounted = ::mount("tmpfs", qPrintable(dir.path()), "tmpfs", 0, size) == 0; }
    ~SmallDisk()
    {
        if (mounted)
            ::umount2(qPrintable(dir.path()), MNT_DETACH);
    }
    // Writes zeros until the disk is full.
    void fill(const QString &name)
    {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly))
            return;
        const QByteArray block(4096, '\0');
        while (file.write(block) == block.size() && file.flush()) {}
    }
};

} // namespace

TEST(StoreCaretaker, CopiesKeptFromAFullDiskAreWrittenByTheRetryAndTheTroubleIsToldOnce)
{
    test::StoreFixture f(true);
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(10, 40);
    Told told;
    told.watch(caretaker);
    caretaker.start();
    EXPECT_TRUE(told.troubles.empty());

    f.fillDisk();
    const QString filler = QString(" filler").repeated(3000);
    for (const QString &text : {"first" + filler, "second" + filler})
        EXPECT_TRUE(f.store->insertClip(test::StoreFixture::textContent(text)));
    ASSERT_EQ(told.kinds(), std::vector{StoreTrouble::Kind::saveFailed});
    EXPECT_TRUE(told.troubles.front().diskFull);
    EXPECT_TRUE(told.troubles.front().message().contains("disk is full"));
    EXPECT_TRUE(f.ctx().hasChanges());

    // Nothing else is saved meanwhile: the retry alone writes them once there is room.
    f.makeRoom();
    EXPECT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges(); }));
    f.open();
    EXPECT_EQ(f.ctx().clipCount(), 2);
    EXPECT_EQ(told.troubles.size(), 1u);
}

TEST(StoreCaretaker, AMemoryOnlySessionMovesIntoItsStoreFileOnceItCanAndKeepsEveryRecord)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Quillmere/default.store");
    {
        QFile blocker(dir.filePath("Quillmere")); // a file where the folder should be
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ASSERT_EQ(setup.mode, PersistenceMode::inMemory);
    test::FakeClock clock;
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store(setup.container, {prefs.prefs.get(), &center, clock.clock(), nullptr});
    StoreCaretaker caretaker(store, setup);
    caretaker.setRetryDelays(10, 40);
    Told told;
    told.watch(caretaker);
    caretaker.start();
    ASSERT_EQ(told.kinds(), std::vector{StoreTrouble::Kind::memoryOnlySession});
    EXPECT_TRUE(told.troubles.front().message().contains("in memory only"));

    PageRef page = store.createPage("Work");
    const QByteArray picture(200 * 1024, 'p'); // large enough to be dropped from memory once saved
    ClipRef image = store.insertClip({.kind = ClipKind::image, .imageData = picture});
    ClipRef text = store.insertClip(test::StoreFixture::textContent("filed note"));
    store.assignClip(text, page);
    ASSERT_TRUE(image && text);

    ASSERT_TRUE(QFile::remove(dir.filePath("Quillmere")));
    ASSERT_TRUE(test::waitUntil([&] { return !caretaker.isMemoryOnly(); }));
    EXPECT_FALSE(store.container().isInMemory());
    EXPECT_FALSE(store.context().hasChanges());
    // The same objects, now of the store on disk.
    EXPECT_EQ(text->modelContext(), &store.context());
    EXPECT_EQ(store.context().clipWithDedupID(text->dedupID()), text);
    EXPECT_EQ(told.troubles.size(), 1u);

    QString error;
    auto reopened = ModelContainer::open(path, systemClock(), &error);
    ASSERT_TRUE(reopened) << qPrintable(error);
    ModelContext &disk = reopened->mainContext();
    ASSERT_EQ(disk.clipCount(), 2);
    EXPECT_EQ(disk.clipWithDedupID(image->dedupID())->imageData(), picture);
    ClipRef filed = disk.clipWithDedupID(text->dedupID());
    ASSERT_TRUE(filed && filed->pinboard());
    EXPECT_EQ(filed->pinboard()->name(), "Work");
}

TEST(StoreCaretaker, AStoreSetAsideIsToldWithWhereItLies)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("not a database").repeated(100));
    }
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store(setup.container, {prefs.prefs.get(), &center, systemClock(), nullptr});
    StoreCaretaker caretaker(store, setup);
    Told told;
    told.watch(caretaker);
    caretaker.start();
    ASSERT_EQ(told.kinds(), std::vector{StoreTrouble::Kind::storeMovedAside});
    const QStringList aside = QDir(dir.path()).entryList({"default.store.unreadable-*"});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(told.troubles.front().path, dir.filePath(aside.front()));
    EXPECT_TRUE(told.troubles.front().message().contains(dir.filePath(aside.front())));
}

TEST(StoreCaretaker, AsRoomReturnsALittleAtATimeTheCopiesGoInAFewAtATime)
{
    test::StoreFixture f(true);
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(10, 40);
    caretaker.start();
    f.fillDisk();
    const QString filler = QString(" filler").repeated(3000);
    for (int i = 0; i < 30; ++i)
        f.store->insertClip(test::StoreFixture::textContent(QString::number(i) + filler));
    ASSERT_TRUE(f.ctx().hasChanges());

    // Room for a few: saving all thirty at once would never fit, a few at a time does.
    QSqlQuery q(f.ctx().database());
    ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA page_count")) && q.next());
    const qint64 pages = q.value(0).toLongLong();
    q.finish();
    ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pages + 80)));
    auto stored = [&] {
        QSqlQuery count(f.ctx().database());
        return count.exec(QStringLiteral("SELECT COUNT(*) FROM clips")) && count.next() ? count.value(0).toInt() : -1;
    };
    EXPECT_TRUE(test::waitUntil([&] { return stored() > 0; }, 20000));
    EXPECT_LT(stored(), 30);
    EXPECT_TRUE(f.ctx().hasChanges());

    f.makeRoom();
    EXPECT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges(); }, 20000));
    EXPECT_EQ(stored(), 30);
}

TEST(StoreCaretaker, WhatCannotBeSavedAtQuitIsKeptBesideTheStoreAndToldOnceAtTheNextStart)
{
    test::StoreFixture f(true);
    {
        StoreCaretaker caretaker(*f.store, {});
        caretaker.start();
        f.fillDisk();
        // Each larger than a page: none fits in the room the store's own pages have left.
        for (const char *text : {"kept one", "kept two"})
            f.store->insertClip(
                test::StoreFixture::textContent(QString::fromLatin1(text) + QString(" x").repeated(9000)));
        ASSERT_TRUE(f.ctx().hasChanges());
        EXPECT_EQ(caretaker.keepUnsaved(), 2);
    }
    const QString storePath = f.store->container().storeURL();
    const QStringList found =
        QDir(QFileInfo(storePath).path()).entryList({QFileInfo(storePath).fileName() + ".unsaved-*.json"});
    ASSERT_EQ(found.size(), 1);
    QFile file(QFileInfo(storePath).dir().filePath(found.front()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray kept = file.readAll();
    EXPECT_TRUE(kept.contains("kept one") && kept.contains("kept two"));
    EXPECT_EQ(file.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

    for (int start = 0; start < 2; ++start) {
        StoreCaretaker next(*f.store, {});
        Told told;
        told.watch(next);
        next.start();
        if (start == 0) {
            ASSERT_EQ(told.kinds(), std::vector{StoreTrouble::Kind::unsavedAtQuit});
            EXPECT_TRUE(told.troubles.front().message().contains(found.front()));
        } else {
            EXPECT_TRUE(told.troubles.empty());
        }
    }
}

TEST(StoreCaretaker, ABacklogTooLargeForTheRoomFreedHoldsBackNoSmallerCopyAndLosesNone)
{
    test::StoreFixture f(true);
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(10, 40);
    caretaker.start();
    f.fillDisk();
    const QString large = QString("x").repeated(30000);
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent(QString("large %1 ").arg(i) + large)));

    // Room for a few of the large ones, not for a batch of them.
    QSqlQuery q(f.ctx().database());
    ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA page_count")) && q.next());
    const qint64 pages = q.value(0).toLongLong();
    q.finish();
    ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pages + 14)));
    for (const char *text : {"small one", "small two", "small three"})
        ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent(QString::fromLatin1(text))));

    EXPECT_TRUE(test::waitUntil([&] { return storedClips(f.ctx(), "text LIKE 'small %'") == 3; }));
    EXPECT_TRUE(test::waitUntil([&] { return storedClips(f.ctx(), "text LIKE 'large %'") > 0; }));
    const int largeStored = storedClips(f.ctx(), "text LIKE 'large %'");
    EXPECT_LT(largeStored, 12);
    // The rest stays in the history and goes beside the store at quit.
    EXPECT_EQ(f.ctx().clipCount(), 15);
    EXPECT_EQ(caretaker.keepUnsaved(), 12 - largeStored);
    const QString spill = spillBeside(f.path);
    EXPECT_FALSE(spill.contains("small"));
    EXPECT_EQ(spill.count("large "), 12 - largeStored);

    f.makeRoom();
    EXPECT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges(); }));
    EXPECT_EQ(storedClips(f.ctx()), 15);
}

TEST(StoreCaretaker, ACopyMadeWhileAnotherProcessHoldsTheStoreIsKeptUntilItLetsGo)
{
    test::StoreFixture f(true);
    ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent("before")));
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(10, 40);
    Told told;
    told.watch(caretaker);
    caretaker.start();

    // Let go on its own, well before a save that waited for the lock would give up.
    StoreLocker locker(f.path, 3000);
    ASSERT_TRUE(locker.holds());
    ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent("while held")));
    EXPECT_EQ(f.ctx().lastSaveFailure(), ModelContext::SaveFailure::locked);
    ASSERT_EQ(told.kinds(), std::vector{StoreTrouble::Kind::saveFailed});
    EXPECT_FALSE(told.troubles.front().diskFull);
    EXPECT_TRUE(f.ctx().hasChanges());
    EXPECT_EQ(f.ctx().clipCount(), 2);
    // A quit meanwhile keeps it beside the store.
    EXPECT_EQ(caretaker.keepUnsaved(), 1);
    EXPECT_TRUE(spillBeside(f.path).contains("while held"));

    ASSERT_TRUE(locker.letGo());
    EXPECT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges(); }, 20000));
    f.open();
    EXPECT_EQ(f.ctx().clipCount(), 2);
}

TEST(StoreCaretaker, TheRoomFreedOnAFullDiskHoldsCopiesRatherThanTheLogsLeftovers)
{
    SmallDisk disk("size=3m");
    ASSERT_TRUE(disk.mounted) << "mounting a tmpfs needs root";
    test::StoreFixture f(true);
    f.path = disk.dir.filePath("pages.store");
    f.open();
    ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent("first")));
    QSqlQuery(f.ctx().database()).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(10, 40);
    caretaker.start();
    {
        QFile spare(disk.dir.filePath("spare"));
        ASSERT_TRUE(spare.open(QIODevice::WriteOnly) && spare.write(QByteArray(300 * 1024, 'x')) == 300 * 1024);
    }
    disk.fill("filler");
    const QString large = QString("x").repeated(30000);
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent(QString("large %1 ").arg(i) + large)));
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(storedClips(f.ctx()), 1);

    ASSERT_TRUE(QFile::remove(disk.dir.filePath("spare")));
    for (const char *text : {"small one", "small two", "small three"})
        ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent(QString::fromLatin1(text))));
    EXPECT_TRUE(test::waitUntil([&] { return storedClips(f.ctx(), "text LIKE 'small %'") == 3; }));
    // 300 KB hold most of the ten 30 KB copies that would fit.
    EXPECT_TRUE(test::waitUntil([&] { return storedClips(f.ctx(), "text LIKE 'large %'") >= 6; }));
    EXPECT_EQ(f.ctx().clipCount(), 16);

    ASSERT_TRUE(QFile::remove(disk.dir.filePath("filler")));
    EXPECT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges(); }));
    EXPECT_EQ(storedClips(f.ctx()), 16);
}
