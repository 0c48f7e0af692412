#include "Model/FallbackSessions.h"
#include "Support/PagesFixture.h"
#include "Support/PowerCutFiles.h"

#include "Quillmere/Model/FallbackMoveIn.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreSyncer.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <set>
#include <sqlite3.h>
#include <thread>

using namespace quillmere;
using namespace std::chrono_literals;

// Whatever a copy leaves, the disk holds it elsewhere first: a power cut right after it left finds
// it in the place it went to. The store's disk is slow here, syncing only once the program has
// nothing else to do, so that a removal that does not wait for the sync comes before it.

namespace {

// The store of a fixture taken through a file layer whose power can be cut, the store's log begun
// and synced, so that the next sync is one a commit asks for.
std::unique_ptr<test::PowerCutFiles> underPowerCut(test::StoreFixture &f)
{
    auto files = std::make_unique<test::PowerCutFiles>();
    f.open();
    // Its first commit syncs the log's header on the committing thread, which the gate would hold.
    f.putText("stored");
    QObject receiver;
    bool synced = false;
    f.store->container().whenSynced(&receiver, [&] { synced = true; });
    EXPECT_TRUE(test::waitUntil([&] { return synced; }));
    return files;
}

// The event loop turned until `done`, asked after every turn. The syncs held at the gate go
// through only once a turn finds nothing due and `syncsMayGo` says so.
bool turnUntil(
    test::PowerCutFiles &files, const std::function<bool()> &done,
    const std::function<bool()> &syncsMayGo = [] { return true; })
{
    QEventLoop loop;
    const QDeadlineTimer deadline(30s);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        if (loop.processEvents(QEventLoop::AllEvents))
            continue;
        if (syncsMayGo())
            files.letSyncsThrough(files.syncsAtGate());
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Waits for what another thread does, without turning the event loop.
void waitFor(const std::function<bool()> &condition)
{
    for (const QDeadlineTimer limit(10s); !condition() && !limit.hasExpired();)
        std::this_thread::sleep_for(1ms);
}

// The clips of the store file at `path` as a reader sees them now; -1 when there is none.
int clipsNow(const QString &path)
{
    if (!QFileInfo::exists(path))
        return -1;
    sqlite3 *db = nullptr;
    int count = -1;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *q = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM clips", -1, &q, nullptr) == SQLITE_OK
            && sqlite3_step(q) == SQLITE_ROW)
            count = sqlite3_column_int(q, 0);
        sqlite3_finalize(q);
    }
    sqlite3_close_v2(db);
    return count;
}

// The texts of the clips the store file at `path` holds, read as a start would; none without one.
std::set<QString> textsIn(const QString &path)
{
    std::set<QString> texts;
    if (!QFileInfo::exists(path))
        return texts;
    QString error;
    auto container = ModelContainer::open(path, systemClock(), &error);
    EXPECT_TRUE(container) << qPrintable(error);
    QSqlQuery q(container ? container->mainContext().database() : QSqlDatabase());
    for (q.exec(QStringLiteral("SELECT text FROM clips")); q.next();)
        texts.insert(q.value(0).toString());
    return texts;
}

// Every file closed, the power comes back without the layer.
void powerBack(std::unique_ptr<test::PowerCutFiles> &files, test::StoreFixture &f)
{
    f.store.reset();
    EXPECT_TRUE(files->waitUntilAllClosed(10s));
    files.reset();
}

} // namespace

TEST(RemovalAfterSync, CopiesAFullStoreRefusedHoldThroughAPowerCutRightAfterTheirFallbackStoreGoes)
{
    constexpr int copies = 20;
    // Outlives the store's connections, whatever ends the test.
    std::unique_ptr<test::PowerCutFiles> files;
    test::StoreFixture f(true);
    files = underPowerCut(f);
    auto caretaker = std::make_unique<StoreCaretaker>(*f.store, PersistenceSetup{});
    caretaker->setRetryDelays(10, 40);
    caretaker->start();

    // Each larger than the room the store's own pages have left.
    f.fillDisk();
    for (int i = 0; i < copies; ++i)
        ASSERT_TRUE(f.store->insertClip(
            test::StoreFixture::textContent(QString("copy %1").arg(i) + QString(" x").repeated(9000))));
    QString fallback;
    ASSERT_TRUE(test::waitUntil([&] {
        const QStringList found = FallbackStore::all(f.path);
        fallback = found.size() == 1 ? found.front() : QString();
        return clipsNow(fallback) == copies;
    }));

    files->holdSyncs(QFile::encodeName(f.path).toStdString());
    f.makeRoom();
    ASSERT_TRUE(turnUntil(*files, [&] { return !QFileInfo::exists(fallback); }));
    files->cutPower();
    caretaker.reset();
    powerBack(files, f);

    const std::set<QString> kept = textsIn(f.path);
    int survived = 0;
    for (int i = 0; i < copies; ++i)
        survived += kept.contains(QString("copy %1").arg(i) + QString(" x").repeated(9000));
    EXPECT_EQ(survived, copies);
}

TEST(RemovalAfterSync, EveryClipOfAFallbackStoreMovingInIsSomewhereAfterAPowerCutRightAfterAnyRemovalFromIt)
{
    // Enough slices that the rows of the first leave a few slices before the last.
    constexpr int total = 5 * FallbackMoveIn::sliceClips + 8;
    int rounds = 0;
    for (int cutAfter = 1;; ++cutAfter) {
        SCOPED_TRACE(cutAfter);
        ASSERT_LT(cutAfter, 10);
        std::unique_ptr<test::PowerCutFiles> files;
        test::StoreFixture f(true);
        const QString fallbackPath = f.dir.filePath("kept.fallback");
        ASSERT_TRUE(test::leaveSession(f, fallbackPath, "kept", total));
        files = underPowerCut(f);
        files->holdSyncs(QFile::encodeName(f.path).toStdString());
        auto moveIn = std::make_unique<FallbackMoveIn>(*f.store, QStringList{fallbackPath});
        bool finished = false;
        QObject::connect(moveIn.get(), &FallbackMoveIn::finished, [&] { finished = true; });
        int left = total;
        int removals = 0;
        int slices = 0;
        bool cut = false;
        int released = 0;
        int atSliceBefore = 0;
        bool pastLastSlice = false;
        moveIn->setSliceSavedHook([&] {
            // Rows left the fallback store with this slice, or its file went.
            const int now = clipsNow(fallbackPath);
            if (now < left && ++removals == cutAfter) {
                // The disk may have taken the fallback store's writes before the store's.
                if (now >= 0)
                    StoreSyncer::syncFile(fallbackPath);
                files->cutPower();
                cut = true;
                moveIn->cancel();
                return;
            }
            left = now;
            // The first slice's sync, asked for once its hook was done, comes before the second ends.
            if (++slices == 2)
                waitFor([&] { return files->syncsAtGate() > 0; });
            // A sync goes through only at the slice after the one it came to the gate at, so that rows that
            // would not wait for it leave before it ends; it ends here, so that what it synced leaves with
            // the slices still to come.
            if (atSliceBefore > released) {
                const quint64 syncs = f.store->container().syncs();
                files->letSyncsThrough(released = atSliceBefore);
                waitFor([&] { return f.store->container().syncs() > syncs; });
            }
            atSliceBefore = files->syncsAtGate();
            // Past the last slice the move waits for syncs alone.
            pastLastSlice = f.ctx().clipCount() == 1 + total;
        });
        moveIn->start();
        ASSERT_TRUE(turnUntil(
            *files, [&] { return cut || finished; }, [&] { return pastLastSlice; }));
        rounds = cutAfter;
        moveIn.reset();
        if (!cut)
            files->holdSyncs({});
        powerBack(files, f);

        const std::set<QString> inStore = textsIn(f.path);
        const std::set<QString> inFallback = textsIn(fallbackPath);
        int lost = 0;
        for (int i = 0; i < total; ++i) {
            const QString text = QString("kept copy %1").arg(i);
            lost += !inStore.contains(text) && !inFallback.contains(text);
        }
        EXPECT_EQ(lost, 0) << inStore.size() - 1 << " in the store, " << inFallback.size() << " in the fallback store";
        if (!cut) {
            EXPECT_FALSE(QFileInfo::exists(fallbackPath));
            break;
        }
    }
    // Rows left between slices, not only with the file.
    EXPECT_GE(rounds, 3);
}
