#include "Model/FallbackSessions.h"
#include "Support/PagesFixture.h"
#include "Support/PoolBlocker.h"
#include "Support/SmallDisk.h"

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreSchema.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlQuery>
#include <QTest>
#include <QThreadPool>

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

// A session started on the damaged store at `path`, its salvage run on the worker.
struct SalvagedStart {
    explicit SalvagedStart(const QString &path) : setup(ModelContainerFactory::makeSetup({path, systemClock()}))
    {
        told.watch(caretaker);
        caretaker.start();
    }
    // The salvage was pending at the start, finished, and was told of alone.
    bool salvaged()
    {
        return setup.salvagePending
            && test::waitUntil([&] { return caretaker.step() == StoreCaretaker::Step::none; }, 30000)
            && told.kinds() == std::vector{StoreTrouble::Kind::storeMovedAside};
    }

    PersistenceSetup setup;
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store{setup.container, {prefs.prefs.get(), &center, systemClock(), nullptr}};
    StoreCaretaker caretaker{store, setup};
    Told told;
};

int storedClips(ModelContext &ctx, const QString &where = QStringLiteral("1"))
{
    QSqlQuery q(ctx.database());
    return q.exec(QStringLiteral("SELECT COUNT(*) FROM clips WHERE ") + where) && q.next() ? q.value(0).toInt() : -1;
}

// The clips of the fallback store of the store at `storePath` that `where` takes; -1 when it has none.
int fallbackClips(const QString &storePath, const QString &where)
{
    const QStringList found = FallbackStore::all(storePath);
    if (found.size() != 1)
        return -1;
    QString error;
    auto fallback = ModelContainer::open(found.front(), systemClock(), &error);
    return fallback ? storedClips(fallback->mainContext(), where) : -1;
}

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

TEST(StoreCaretaker, ASessionInAFallbackStoreMovesIntoItsStoreFileOnceItCanAndKeepsEveryRecord)
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
    ASSERT_TRUE(test::waitUntil([&] { return !told.troubles.empty(); }));
    ASSERT_EQ(told.kinds(), std::vector{StoreTrouble::Kind::fallbackSession});
    // The store's folder cannot be made: the state folder takes the fallback store.
    const QString state = qEnvironmentVariable("XDG_STATE_HOME") + "/Quillmere";
    EXPECT_FALSE(store.container().isInMemory());
    EXPECT_EQ(QFileInfo(store.container().storeURL()).absolutePath(), state);
    EXPECT_EQ(caretaker.fallbackPlace().value_or(FallbackStore::Place{}).folder, state);
    EXPECT_TRUE(told.troubles.front().message().contains("kept in a fallback store in " + state))
        << qPrintable(told.troubles.front().message());

    PageRef page = store.createPage("Work");
    const QByteArray picture(200 * 1024, 'p'); // large enough to be dropped from memory once saved
    ClipRef image = store.insertClip({.kind = ClipKind::image, .imageData = picture});
    ClipRef text = store.insertClip(test::StoreFixture::textContent("filed note"));
    store.assignClip(text, page);
    ASSERT_TRUE(image && text);

    ASSERT_TRUE(QFile::remove(dir.filePath("Quillmere")));
    ASSERT_TRUE(test::waitUntil([&] { return !caretaker.hasLeftStore() && FallbackStore::all(path).isEmpty(); }));
    EXPECT_EQ(store.container().storeURL(), path);
    EXPECT_FALSE(store.context().hasChanges());
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
    SalvagedStart started(path);
    ASSERT_TRUE(started.salvaged());
    EXPECT_FALSE(started.caretaker.hasLeftStore());
    const Told &told = started.told;
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

TEST(StoreCaretaker, WhatAFullDiskKeepsFromTheStoreWaitsInAFallbackStoreUntilTheStoreTakesIt)
{
    test::StoreFixture f(true);
    const QDateTime copiedAt = f.clock.now();
    {
        StoreCaretaker caretaker(*f.store, {});
        caretaker.start();
        f.fillDisk();
        // Each larger than a page: none fits in the room the store's own pages have left.
        for (const char *text : {"kept one", "kept two"})
            f.store->insertClip(
                test::StoreFixture::textContent(QString::fromLatin1(text) + QString(" x").repeated(9000)));
        ASSERT_TRUE(f.ctx().hasChanges());
        ASSERT_TRUE(test::waitUntil([&] { return fallbackClips(f.path, "1") == 2; }));
        EXPECT_EQ(caretaker.keepAtQuit(), 0);
    }
    // Not beside the store: its disk is the one that failed.
    const QStringList fallbacks = FallbackStore::all(f.path);
    ASSERT_EQ(fallbacks.size(), 1);
    EXPECT_NE(QFileInfo(fallbacks.front()).absolutePath(), QFileInfo(f.path).absolutePath());
    EXPECT_EQ(QFile::permissions(fallbacks.front()) & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

    // Still no room at the next start: the fallback store stays as it is.
    f.open();
    f.fillDisk();
    f.clock.advance(3600 * 1000);
    {
        StoreCaretaker next(*f.store, {});
        next.setRetryDelays(10, 40);
        next.start();
        QTest::qWait(300);
        // What the full store kept from the move-in waits beside, in a file of the caretaker's own.
        QString error;
        auto left = ModelContainer::open(fallbacks.front(), systemClock(), &error);
        ASSERT_TRUE(left) << qPrintable(error);
        EXPECT_EQ(storedClips(left->mainContext()), 2);
    }

    // Once there is room: both come back with the date they were copied, and the fallback store goes.
    f.open();
    StoreCaretaker last(*f.store, {});
    last.start();
    ASSERT_TRUE(test::waitUntil([&] { return FallbackStore::all(f.path).isEmpty(); }));
    f.open();
    ASSERT_EQ(f.ctx().clipCount(), 2);
    for (const ClipRef &clip : f.ctx().allClips())
        EXPECT_EQ(clip->createdAt(), copiedAt);
}

TEST(StoreCaretaker, TheReadableRowsOfADamagedStoreAreKeptInTheNewOneAndCounted)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    // 40 short rows leave the later pages to other tables; 400 longer ones fill pages of clips.
    for (const int rows : {40, 400}) {
        SCOPED_TRACE(rows);
        QFile::remove(path);
        {
            auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
            test::TempPreferences prefs;
            NotificationCenter center;
            ClipStore store(setup.container, {prefs.prefs.get(), &center, systemClock(), nullptr});
            store.createPage("Work");
            for (int i = 0; i < rows; ++i)
                ASSERT_TRUE(store.insertClip(
                    test::StoreFixture::textContent(QString("<copy %1> ").arg(i).repeated(rows == 40 ? 20 : 60))));
        }
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        const qsizetype page = StoreSchema::pageBytes;
        // Pages 5 to 8, and with more rows the page that holds row 200 too.
        std::vector<qsizetype> damaged{4, 5, 6, 7};
        if (rows > 40) {
            // The clip's row, not its search key, which ends in a line break before the kind.
            const QByteArray text = QByteArray("<copy 200> ").repeated(60);
            qsizetype at = bytes.indexOf(text);
            while (at >= 0 && bytes.at(at + text.size()) == '\n')
                at = bytes.indexOf(text, at + 1);
            ASSERT_GE(at, 0);
            damaged.push_back(at / page);
        }
        quint32 seed = 12345;
        for (const qsizetype n : damaged) {
            ASSERT_GE(bytes.size(), (n + 1) * page);
            for (qsizetype i = n * page; i < (n + 1) * page; ++i)
                bytes[i] = char((seed = seed * 1103515245u + 12345u) >> 16);
        }
        ASSERT_TRUE(file.seek(0) && file.write(bytes) == bytes.size());
        file.close();

        auto started = std::make_unique<SalvagedStart>(path);
        ASSERT_TRUE(started->salvaged());
        const Told &told = started->told;
        ClipStore &store = started->store;
        const int salvaged = told.troubles.front().count;
        QFile aside(told.troubles.front().path);
        ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
        const QByteArray kept = aside.readAll();
        for (const qsizetype n : damaged)
            EXPECT_EQ(kept.mid(n * page, page), bytes.mid(n * page, page));
        ModelContext &ctx = store.context();
        if (rows == 40)
            EXPECT_EQ(salvaged, 40);
        else
            EXPECT_TRUE(salvaged > 300 && salvaged < 400) << salvaged;
        EXPECT_EQ(ctx.clipCount(), salvaged);
        // Rows past the damage are read too.
        EXPECT_TRUE(ctx.newestClipWithHash(
            test::StoreFixture::textContent(QString("<copy %1> ").arg(rows - 1).repeated(rows == 40 ? 20 : 60))
                .contentHash()));
        EXPECT_TRUE(told.troubles.front().message().contains(QString("The %1 copies").arg(salvaged)));
        started.reset();
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
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
    // The rest stays in the history, and in a fallback store until the store takes it.
    EXPECT_EQ(f.ctx().clipCount(), 15);
    EXPECT_EQ(caretaker.keepAtQuit(), 0);
    EXPECT_GE(fallbackClips(f.path, "text LIKE 'large %'"), 12 - largeStored);

    f.makeRoom();
    EXPECT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges() && FallbackStore::all(f.path).isEmpty(); }));
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
    test::StoreLocker locker(f.path, 3000);
    ASSERT_TRUE(locker.holds());
    ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent("while held")));
    EXPECT_EQ(f.ctx().lastSaveFailure(), ModelContext::SaveFailure::locked);
    ASSERT_EQ(told.kinds(), std::vector{StoreTrouble::Kind::saveFailed});
    EXPECT_FALSE(told.troubles.front().diskFull);
    EXPECT_TRUE(f.ctx().hasChanges());
    EXPECT_EQ(f.ctx().clipCount(), 2);
    // A quit meanwhile keeps it in a fallback store.
    EXPECT_EQ(caretaker.keepAtQuit(), 0);
    EXPECT_EQ(fallbackClips(f.path, "text = 'while held'"), 1);

    ASSERT_TRUE(locker.letGo());
    EXPECT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges() && FallbackStore::all(f.path).isEmpty(); }, 20000));
    f.open();
    EXPECT_EQ(f.ctx().clipCount(), 2);
}

TEST(StoreCaretaker, TheRoomFreedOnAFullDiskHoldsCopiesRatherThanTheLogsLeftovers)
{
    test::SmallDisk disk(3 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    test::StoreFixture f(true);
    f.path = disk.filePath("pages.store");
    f.open();
    ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent("first")));
    QSqlQuery(f.ctx().database()).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(10, 40);
    caretaker.start();
    {
        QFile spare(disk.filePath("spare"));
        ASSERT_TRUE(spare.open(QIODevice::WriteOnly) && spare.write(QByteArray(600 * 1024, 'x')) == 600 * 1024);
    }
    ASSERT_TRUE(disk.fill());
    const QString large = QString("x").repeated(30000);
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent(QString("large %1 ").arg(i) + large)));
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(storedClips(f.ctx()), 1);

    ASSERT_TRUE(QFile::remove(disk.filePath("spare")));
    for (const char *text : {"small one", "small two", "small three"})
        ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent(QString::fromLatin1(text))));
    EXPECT_TRUE(test::waitUntil([&] { return storedClips(f.ctx(), "text LIKE 'small %'") == 3; }));
    // 600 KB hold most of the 30 KB copies that would fit, each beside its search key.
    EXPECT_TRUE(test::waitUntil([&] { return storedClips(f.ctx(), "text LIKE 'large %'") >= 6; }));
    EXPECT_EQ(f.ctx().clipCount(), 16);

    ASSERT_TRUE(QFile::remove(disk.filePath("filler")));
    EXPECT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges(); }));
    EXPECT_EQ(storedClips(f.ctx()), 16);
}

TEST(StoreCaretaker, LeavingADamagedStoreHoldsSavesOnlyWhileItRunsNotWhileTheSharedPoolIsBusy)
{
    test::StoreFixture f(true);
    f.putText("stored before");
    StoreCaretaker caretaker(*f.store, {});
    caretaker.start();
    // Search, previews and recognition keep every thread of the shared pool busy meanwhile.
    std::vector<std::unique_ptr<test::PoolBlocker>> busy;
    while (int(busy.size()) < QThreadPool::globalInstance()->maxThreadCount())
        busy.push_back(std::make_unique<test::PoolBlocker>());

    f.store->reportDamage();
    ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent("copied as the damage was met")));
    ASSERT_TRUE(test::waitUntil([&] { return caretaker.hasLeftStore() && !f.store->savesHeld(); }));
    // The copy held meanwhile is on disk in the fallback store, the pool still busy.
    f.putText("copied after");
    EXPECT_FALSE(f.ctx().hasChanges());
    const QString fallback = f.store->container().storeURL();
    ASSERT_NE(fallback, f.path);
    QString error;
    auto kept = ModelContainer::open(fallback, systemClock(), &error);
    ASSERT_TRUE(kept) << qPrintable(error);
    EXPECT_EQ(storedClips(kept->mainContext(), "text LIKE 'copied %'"), 2);
}
