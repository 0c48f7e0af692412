#include "Model/FallbackSessions.h"
#include "Support/PagesFixture.h"

#include "Quillmere/Model/FallbackMoveIn.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreFileGuard.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>

using namespace quillmere;
using test::leaveSession;

namespace {

int clipsIn(const QString &path)
{
    QString error;
    auto container = ModelContainer::open(path, systemClock(), &error);
    return container ? int(container->mainContext().clipCount()) : -1;
}

// The dates of the store's clips, last captured first.
std::vector<qint64> datesByCaptureOrder(ModelContext &ctx)
{
    std::vector<qint64> dates;
    QSqlQuery q(ctx.database());
    q.exec("SELECT createdAt FROM clips ORDER BY captureOrder DESC, id DESC");
    while (q.next())
        dates.push_back(q.value(0).toLongLong());
    return dates;
}

struct Outcome {
    bool finished = false;
    bool stopped = false;
};

void watch(FallbackMoveIn &moveIn, Outcome &outcome)
{
    QObject::connect(&moveIn, &FallbackMoveIn::finished, [&outcome] { outcome.finished = true; });
    QObject::connect(&moveIn, &FallbackMoveIn::stopped, [&outcome] { outcome.stopped = true; });
}

} // namespace

TEST(FallbackMoveIn, SessionsAndCopiesMadeMeanwhileComeBackInTheOrderTheyWereCopiedThroughAMoveCutShort)
{
    test::StoreFixture f(true);
    for (int i = 0; i < 5; ++i)
        f.putText(QString("stored %1").arg(i));
    QStringList sessions;
    for (int s = 1; s <= 3; ++s) {
        sessions << f.dir.filePath(QString("session%1.fallback").arg(s));
        // More than a slice each, so that a move can be cut short inside one.
        ASSERT_TRUE(leaveSession(f, sessions.back(), QString("session %1").arg(s), FallbackMoveIn::sliceClips + 8));
        f.putText(QString("between %1").arg(s));
    }
    // Copied at the start, before the move-in began.
    f.putText("first after start");
    const int total = 5 + 3 * (FallbackMoveIn::sliceClips + 8) + 3 + 1;

    int slices = 0;
    {
        // Taken in another order than they were left; cut short inside the second.
        FallbackMoveIn first(*f.store, {sessions[0], sessions[2], sessions[1]});
        first.setSliceSavedHook([&] {
            // The first has gone whole; the second is cut after its first slice.
            if (!QFile::exists(sessions[0]) && ++slices == 2)
                first.cancel();
        });
        first.start();
        ASSERT_TRUE(test::waitUntil([&] { return slices == 2; }));
    }
    f.putText("during the move");
    FallbackMoveIn resumed(*f.store, {sessions[2], sessions[1]});
    Outcome outcome;
    watch(resumed, outcome);
    resumed.setSliceSavedHook([&] { f.putText(QString("during slice %1").arg(++slices)); });
    resumed.start();
    ASSERT_TRUE(test::waitUntil([&] { return outcome.finished; }));
    const int during = slices - 2;

    const std::vector<qint64> dates = datesByCaptureOrder(f.ctx());
    ASSERT_EQ(int(dates.size()), total + 1 + during);
    // Every date is its own: last captured first is newest first.
    EXPECT_TRUE(std::ranges::is_sorted(dates, std::greater<>()));
    EXPECT_EQ(std::ranges::adjacent_find(dates), dates.end());
    for (const QString &session : sessions)
        EXPECT_FALSE(QFile::exists(session));
}

TEST(FallbackMoveIn, ASliceLeavesTheFallbackStoreOnlyOnceTheStoreSyncedItAndACancelStopsThatAtOnce)
{
    test::StoreFixture f(true);
    f.putText("stored");
    const QString fallbackPath = f.dir.filePath("kept.fallback");
    ASSERT_TRUE(leaveSession(f, fallbackPath, "kept", FallbackMoveIn::sliceClips + 8));

    FallbackMoveIn moveIn(*f.store, {fallbackPath});
    Outcome outcome;
    watch(moveIn, outcome);
    bool committed = false;
    // The damage path cancels from the store's own signals, between the commit and its sync.
    QObject::connect(f.store.get(), &ClipStore::didSave, [&] {
        if (!std::exchange(committed, true))
            moveIn.cancel();
    });
    moveIn.start();
    ASSERT_TRUE(test::waitUntil([&] { return committed; }));
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(outcome.finished || outcome.stopped);
    // Both hold the slice: nothing went before the store held it.
    EXPECT_EQ(f.ctx().clipCount(), 1 + FallbackMoveIn::sliceClips);
    EXPECT_EQ(clipsIn(fallbackPath), FallbackMoveIn::sliceClips + 8);
    // Cancelled for good.
    moveIn.start();
    QCoreApplication::processEvents();
    EXPECT_EQ(clipsIn(fallbackPath), FallbackMoveIn::sliceClips + 8);
}

TEST(FallbackMoveIn, AStoreFileDeletedUnderTheMoveLeavesEveryCopyWhereANameReachesIt)
{
    constexpr int total = 2 * FallbackMoveIn::sliceClips + 8;
    for (const bool beforeStart : {true, false}) {
        SCOPED_TRACE(beforeStart);
        test::StoreFixture f(true);
        f.putText("stored");
        const QString fallbackPath = f.dir.filePath("kept.fallback");
        ASSERT_TRUE(leaveSession(f, fallbackPath, "kept", total));

        FallbackMoveIn moveIn(*f.store, {fallbackPath});
        Outcome outcome;
        watch(moveIn, outcome);
        int slices = 0;
        moveIn.setSliceSavedHook([&] {
            if (++slices == 1) {
                EXPECT_TRUE(QFile::remove(f.path));
            }
        });
        if (beforeStart) {
            ASSERT_TRUE(QFile::remove(f.path));
        }
        moveIn.start();
        ASSERT_TRUE(test::waitUntil([&] {
            return (outcome.finished || outcome.stopped) && !f.store->fileGuard().isCopying() && QFile::exists(f.path);
        }));
        // What did not move waits in its file; what did is in the file the guard put back at the
        // store's path, moved into it again where it went into the deleted one.
        const int waiting = QFile::exists(fallbackPath) ? clipsIn(fallbackPath) : 0;
        EXPECT_EQ(outcome.finished, waiting == 0);
        QString error;
        auto atPath = ModelContainer::open(f.path, systemClock(), &error);
        ASSERT_TRUE(atPath) << qPrintable(error);
        QSqlQuery q(atPath->mainContext().database());
        ASSERT_TRUE(q.exec("SELECT COUNT(*), COUNT(DISTINCT dedupID) FROM clips WHERE text LIKE 'kept %'") && q.next());
        EXPECT_EQ(q.value(0).toInt(), q.value(1).toInt());
        EXPECT_GE(q.value(0).toInt() + waiting, total);
    }
}

TEST(FallbackMoveIn, RowsMovedOnAWorkerShowInTheHistoryAndLeaveTheIdsOfCopiesNotSavedYetAlone)
{
    test::StoreFixture f(true);
    f.putText("stored");
    const QString fallbackPath = f.dir.filePath("kept.fallback");
    {
        QString error;
        std::shared_ptr<ModelContainer> fallback(ModelContainer::open(fallbackPath, f.clock.clock(), &error).release());
        ASSERT_TRUE(fallback) << qPrintable(error);
        ClipStore kept(fallback, {f.prefs.prefs.get(), &f.center, f.clock.clock(), nullptr});
        const PageRef work = kept.createPage("Work");
        for (int i = 0; i < FallbackMoveIn::sliceClips + 8; ++i) {
            f.clock.advance(1000);
            const ClipRef clip = kept.insertClip(test::StoreFixture::textContent(QString("kept %1").arg(i)));
            ASSERT_TRUE(clip);
            if (i % 10 == 0)
                kept.assignClip(clip, work);
        }
    }
    // A copy the store has not taken yet holds the id the next new row would take.
    const ClipRef pending = f.store->makeClip(test::StoreFixture::textContent("not saved yet"));
    f.ctx().insert(pending);

    FallbackMoveIn moveIn(*f.store, {fallbackPath});
    Outcome outcome;
    watch(moveIn, outcome);
    int announced = 0;
    QObject::connect(f.store.get(), &ClipStore::didSave, [&] { ++announced; });
    moveIn.start();
    ASSERT_TRUE(test::waitUntil([&] { return outcome.finished; }));
    EXPECT_GE(announced, 2);

    QString error;
    EXPECT_TRUE(f.ctx().save(&error)) << qPrintable(error);
    EXPECT_EQ(clipsIn(f.path), 2 + FallbackMoveIn::sliceClips + 8);
    // The Page came in with the clips on it, as the main context's own record.
    const std::vector<PageRef> pages = f.ctx().pinboards();
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages.front()->name(), "Work");
    const std::vector<ClipRef> onIt = f.ctx().itemsOf(pages.front().get());
    EXPECT_EQ(int(onIt.size()), 4);
    for (const ClipRef &clip : onIt)
        EXPECT_EQ(clip->pinboard(), pages.front());
}

// The worker's connection into the store reads the main thread's commits between slices again.
TEST(FallbackMoveIn, ABrandAndAPageChangeMadeBetweenSlicesAreNeitherDoubledNorUndone)
{
    for (const bool deleted : {false, true}) {
        SCOPED_TRACE(deleted ? "Page deleted" : "Page renamed");
        test::StoreFixture f(true);
        f.putText("stored");
        const QString fallbackPath = f.dir.filePath("kept.fallback");
        {
            QString error;
            std::shared_ptr<ModelContainer> fallback(
                ModelContainer::open(fallbackPath, f.clock.clock(), &error).release());
            ASSERT_TRUE(fallback) << qPrintable(error);
            ClipStore kept(fallback, {f.prefs.prefs.get(), &f.center, f.clock.clock(), nullptr});
            kept.upsertSourceAppBrand("org.example.editor", QString("Editor"), "#112233", std::nullopt);
            const PageRef work = kept.createPage("Work");
            for (int i = 0; i < 3 * FallbackMoveIn::sliceClips; ++i) {
                f.clock.advance(1000);
                const ClipRef clip = kept.insertClip(test::StoreFixture::textContent(QString("kept %1").arg(i)));
                ASSERT_TRUE(clip);
                // On every slice, so that each takes the Page in again.
                if (i % 10 == 0)
                    kept.assignClip(clip, work);
            }
        }

        FallbackMoveIn moveIn(*f.store, {fallbackPath});
        Outcome outcome;
        watch(moveIn, outcome);
        int slices = 0;
        moveIn.setSliceSavedHook([&] {
            // The main context reads the first slice's rows after its hook.
            if (++slices != 2)
                return;
            f.clock.advance(60'000);
            f.store->upsertSourceAppBrand("org.example.editor", QString("Editor"), "#112233", std::nullopt);
            const std::vector<PageRef> pages = f.store->pages();
            ASSERT_EQ(pages.size(), 1u);
            EXPECT_TRUE(deleted ? f.store->deletePage(pages.front()) : f.store->renamePage(pages.front(), "Renamed"));
        });
        moveIn.start();
        ASSERT_TRUE(test::waitUntil([&] { return outcome.finished; }));
        ASSERT_GT(slices, 3);

        QSqlQuery q(f.ctx().database());
        ASSERT_TRUE(q.exec("SELECT COUNT(*) FROM source_app_brands WHERE bundleID = 'org.example.editor'") && q.next());
        EXPECT_EQ(q.value(0).toInt(), 1);
        q.finish();
        ASSERT_TRUE(q.exec("SELECT COUNT(*) FROM clips WHERE pinboardID IS NOT NULL"
                           " AND pinboardID NOT IN (SELECT id FROM pinboards)")
                    && q.next());
        EXPECT_EQ(q.value(0).toInt(), 0);
        q.finish();
        if (!deleted) {
            ASSERT_TRUE(q.exec("SELECT name FROM pinboards") && q.next());
            EXPECT_EQ(q.value(0).toString(), "Renamed");
            EXPECT_FALSE(q.next());
        }
    }
}

TEST(FallbackMoveIn, FinishesWhileCopiesArriveAllThroughWithNoSaveRefusedAndNoRowTakenTwice)
{
    test::StoreFixture f(true);
    f.putText("stored");
    const QString fallbackPath = f.dir.filePath("kept.fallback");
    constexpr int kKept = 8 * FallbackMoveIn::sliceClips + 5;
    ASSERT_TRUE(leaveSession(f, fallbackPath, "kept", kKept));

    int refused = 0;
    QObject::connect(f.store.get(), &ClipStore::saveFailed, [&refused] { ++refused; });
    FallbackMoveIn moveIn(*f.store, {fallbackPath});
    Outcome outcome;
    watch(moveIn, outcome);
    // Each slice holds the store's write lock far longer than a save waits for it, as on a busy disk.
    moveIn.setInTransactionHook([] { QThread::msleep(40); });
    // A copy at every turn of the event loop, the worker's slices in between.
    int copies = 0;
    QTimer copying;
    QObject::connect(&copying, &QTimer::timeout, [&] {
        f.store->insertClip(test::StoreFixture::textContent(QString("arrived %1").arg(copies++)));
    });
    copying.start(0);
    moveIn.start();
    ASSERT_TRUE(test::waitUntil([&] { return outcome.finished || outcome.stopped; }, 60000));
    copying.stop();
    ASSERT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges(); }));
    EXPECT_TRUE(outcome.finished);
    EXPECT_FALSE(outcome.stopped);
    EXPECT_EQ(refused, 0);
    EXPECT_GT(copies, 0);

    f.open();
    QSqlQuery q(f.ctx().database());
    ASSERT_TRUE(q.exec("SELECT COUNT(*), COUNT(DISTINCT text) FROM clips WHERE text LIKE 'kept copy %'") && q.next());
    EXPECT_EQ(q.value(0).toInt(), kKept);
    EXPECT_EQ(q.value(1).toInt(), kKept);
    ASSERT_TRUE(q.exec("SELECT COUNT(*), COUNT(DISTINCT text) FROM clips WHERE text LIKE 'arrived %'") && q.next());
    EXPECT_EQ(q.value(0).toInt(), copies);
    EXPECT_EQ(q.value(1).toInt(), copies);
    EXPECT_FALSE(QFile::exists(fallbackPath));
}

TEST(FallbackMoveIn, BrandsTheMainThreadSavesWhileTheLastSliceIsOutAreNotDoubled)
{
    test::StoreFixture f(true);
    f.putText("stored");
    const QString fallbackPath = f.dir.filePath("kept.fallback");
    const QStringList apps{"a", "b", "c", "d", "e"};
    ASSERT_TRUE(leaveSession(f, fallbackPath, "kept", FallbackMoveIn::sliceClips + 8));
    ASSERT_TRUE(test::writeStoreAt(fallbackPath, [&](ClipStore &kept) {
        for (const QString &app : apps)
            kept.upsertSourceAppBrand("org.example." + app, app, "#112233", std::nullopt);
        return true;
    }));

    FallbackMoveIn moveIn(*f.store, {fallbackPath});
    Outcome outcome;
    watch(moveIn, outcome);
    int slices = 0;
    moveIn.setSliceSavedHook([&] {
        // Both slices of clips are in: the next, of Pages and brands, goes to the worker in this turn.
        if (++slices == 2)
            QTimer::singleShot(0, [&] {
                for (const QString &app : apps)
                    f.store->upsertSourceAppBrand("org.example." + app, app, "#445566", std::nullopt);
            });
    });
    moveIn.start();
    ASSERT_TRUE(test::waitUntil([&] { return outcome.finished || outcome.stopped; }));
    ASSERT_TRUE(test::waitUntil([&] { return !f.ctx().hasChanges(); }));
    EXPECT_TRUE(outcome.finished);

    f.open();
    QSqlQuery q(f.ctx().database());
    ASSERT_TRUE(q.exec("SELECT COUNT(*), COUNT(DISTINCT bundleID) FROM source_app_brands") && q.next());
    EXPECT_EQ(q.value(0).toInt(), apps.size());
    EXPECT_EQ(q.value(1).toInt(), apps.size());
    // The main thread's are the later: theirs stand.
    ASSERT_TRUE(q.exec("SELECT COUNT(*) FROM source_app_brands WHERE colorHex = '#445566'") && q.next());
    EXPECT_EQ(q.value(0).toInt(), apps.size());
}
