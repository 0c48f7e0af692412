// The salvage of a store of 20,000 or 100,000 clips damaged in the ways a failing disk or a cut
// copy damages it, against what SQLite itself reads of the damaged file. Goal: the salvage within
// 1.2 times the last release's (0.57 s at 20,000 clips, 2.2 to 2.4 s at 100,000).
//
//  - BM_SalvageReadsWhatSQLiteReads/<case>/<clips>: 0 the last 10 % of the file's pages cut off; 1 one bit
//    above the page size flipped in a cell pointer of the clips' root page; 2 NULL in two NOT NULL
//    columns of 1 clip in 97; 3 the last overflow page of 1 long clip in 3 zeroed. Counters: the
//    clips a lookup by row id reads with a writable schema (readable_rows), those kept (goal: every
//    one), those the salvage says were lost (at least, at most; -1: no bound) and came back
//    damaged, and the time of the salvage.
//  - BM_FallbackCopiedWholeToAnEmptyPath/<clips>: a fallback store copied page for page to the path
//    of a deleted store. Counters: its time, and the copy's size against the fallback store's
//    (goal: 1).
//  - BM_SavesHeldWhileCopiedWholeBesideABusyPool/<clips>: the same copy on a thread of its own, as
//    the caretaker makes it while saves are held, with every thread of the shared pool taken by
//    other work until it is over. Counters: from the request to its result on the main thread's
//    event loop, the time saves are held (goal: 250 ms at most at 100,000 clips), and the copy's own.
//  - BM_SearchKeysRefillAfterASalvage/<clips>: the store read back gives its clips their search keys
//    while the history is in use. Counter: the longest the main thread's event loop went without
//    a turn meanwhile (goal: 20 ms at most), and how long the keys took.

#include "BenchSupport.h"
#include "Model/DamagedStores.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Model/StoreSchema.h"
#include "Quillmere/Panel/HistoryStore.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <optional>
#include <sqlite3.h>

using namespace quillmere;

namespace {

// Every this many clips one is long enough to spill over a page of its own.
constexpr int kLongEvery = 100;
constexpr qint64 kPage = StoreSchema::pageBytes;

QString clipText(int i)
{
    const QString head = QStringLiteral("<copy %1> ").arg(i, 6, 10, QChar(u'0'));
    return i % kLongEvery == 0 ? head.repeated(1000) + QStringLiteral("<end %1>").arg(i) : head.repeated(20);
}

// The store's bytes of `clips` clips, its log folded in; made once.
QByteArray makeStore(int clips)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("default.store"));
    {
        Preferences prefs(dir.filePath(QStringLiteral("prefs.json")));
        NotificationCenter center;
        QString error;
        std::shared_ptr<ModelContainer> container(ModelContainer::open(path, systemClock(), &error).release());
        if (!container)
            qFatal("Cannot open the store: %s", qPrintable(error));
        ClipStore store(container, {&prefs, &center});
        store.setHistoryLimit(-1);
        for (int i = 1; i <= clips; ++i) {
            CapturedContent content{.kind = ClipKind::text};
            content.text = clipText(i);
            store.context().insert(store.makeClip(content));
            if (i % 5000 == 0)
                store.save();
        }
        store.save();
    }
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return test::fileBytes(path);
}

const QByteArray &storeBytes(int clips)
{
    static const QByteArray small = makeStore(20000), large = makeStore(100000);
    return clips == 20000 ? small : large;
}

bool damage(int which, int clips, const QString &path)
{
    QByteArray bytes = test::fileBytes(path);
    switch (which) {
    case 0: {
        const qint64 pages = bytes.size() / kPage;
        bytes.truncate((pages - pages / 10) * kPage);
        return test::writeFileBytes(path, bytes);
    }
    case 1:
        return test::flipInteriorCellPointer(bytes, kPage, test::rootPageOf(path, QStringLiteral("clips")), 0x8000)
            && test::writeFileBytes(path, bytes);
    case 2:
        return test::setNullWhereNotAllowed(path, QStringLiteral("clips"), QStringLiteral("isPinned"),
                                            QStringLiteral("id % 97 = 7"))
            && test::setNullWhereNotAllowed(path, QStringLiteral("clips"), QStringLiteral("kind"),
                                            QStringLiteral("id % 97 = 7"));
    default:
        for (int i = kLongEvery; i <= clips; i += 3 * kLongEvery)
            test::zeroOverflowEnding(bytes, kPage, QStringLiteral("<end %1>").arg(i).toUtf8());
        return test::writeFileBytes(path, bytes);
    }
}

void BM_SalvageReadsWhatSQLiteReads(benchmark::State &state)
{
    const int clips = int(state.range(1));
    const QByteArray &whole = storeBytes(clips);
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("default.store"));
        if (!test::writeFileBytes(path, whole) || !damage(int(state.range(0)), clips, path)) {
            state.SkipWithError("the store could not be damaged");
            return;
        }
        const std::vector<qint64> readable = test::rowsReadableByID(path, QStringLiteral("clips"), clips);
        QElapsedTimer timer;
        timer.start();
        const StoreSalvage::Outcome outcome = StoreSalvage::salvage(path, QDateTime::currentDateTime());
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        state.SetIterationTime(ms / 1000);
        const std::vector<qint64> kept =
            outcome.placed ? test::rowIDsIn(path, QStringLiteral("clips")) : std::vector<qint64>();
        std::vector<qint64> left;
        std::set_difference(readable.begin(), readable.end(), kept.begin(), kept.end(), std::back_inserter(left));
        state.counters["readable_rows"] = double(readable.size());
        state.counters["kept_rows"] = double(kept.size());
        state.counters["readable_rows_left"] = double(left.size());
        state.counters["said_lost"] = outcome.loss.lost;
        state.counters["said_lost_at_most"] = outcome.loss.lostAtMost;
        state.counters["said_damaged"] = outcome.loss.damaged;
        state.counters["salvage_ms"] = ms;
    }
}
BENCHMARK(BM_SalvageReadsWhatSQLiteReads)
    ->ArgsProduct({{0, 1, 2, 3}, {20000, 100000}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Keys still to give: the mark the fill leaves until it is done.
bool keysLeft(const QString &path)
{
    sqlite3 *db = nullptr;
    sqlite3_stmt *q = nullptr;
    bool left = true;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK
        && sqlite3_prepare_v2(db, "SELECT count(*) FROM clip_search_fill", -1, &q, nullptr) == SQLITE_OK
        && sqlite3_step(q) == SQLITE_ROW)
        left = sqlite3_column_int(q, 0) > 0;
    sqlite3_finalize(q);
    sqlite3_close(db);
    return left;
}

void BM_SearchKeysRefillAfterASalvage(benchmark::State &state)
{
    const int clips = int(state.range(0));
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("default.store"));
        if (!test::writeFileBytes(path, storeBytes(clips)) || !damage(1, clips, path)
            || !StoreSalvage::salvage(path, QDateTime::currentDateTime()).placed) {
            state.SkipWithError("the store could not be salvaged");
            return;
        }
        Preferences prefs(dir.filePath(QStringLiteral("prefs.json")));
        NotificationCenter center;
        QString error;
        std::shared_ptr<ModelContainer> container(ModelContainer::open(path, systemClock(), &error).release());
        if (!container || !keysLeft(path)) {
            state.SkipWithError("the store read back has its keys already or cannot be opened");
            return;
        }
        ClipStore store(container, {&prefs, &center});
        ClipStoreHistory history(store);
        QElapsedTimer since, fill;
        qint64 longest = 0;
        QTimer tick, look;
        QEventLoop loop;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longest = std::max(longest, since.nsecsElapsed());
            since.restart();
        });
        QObject::connect(&look, &QTimer::timeout, [&] {
            if (!keysLeft(path))
                loop.quit();
            // The benchmark's own look is no time the program held the thread.
            since.restart();
        });
        since.start();
        fill.start();
        tick.start(1);
        look.start(200);
        loop.exec();
        state.SetIterationTime(double(fill.nsecsElapsed()) / 1e9);
        state.counters["longest_main_thread_ms"] = double(longest) / 1e6;
        state.counters["keys_s"] = double(fill.nsecsElapsed()) / 1e9;
    }
}
BENCHMARK(BM_SearchKeysRefillAfterASalvage)->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// A fallback store copied whole to the store's path, where no file is: its time, and the room the
// copy takes against the fallback store's.
// A fallback store of `clips` clips at `fallback`; false, the benchmark told why, when it cannot be written.
bool writeFallback(const QString &fallback, int clips, benchmark::State &state)
{
    if (test::writeFileBytes(fallback, storeBytes(clips)))
        return true;
    state.SkipWithError("the fallback store could not be written");
    return false;
}

void BM_FallbackCopiedWholeToAnEmptyPath(benchmark::State &state)
{
    const int clips = int(state.range(0));
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString fallback = dir.filePath(QStringLiteral("default.store.fallback"));
        const QString path = dir.filePath(QStringLiteral("default.store"));
        if (!writeFallback(fallback, clips, state))
            return;
        const std::atomic<bool> stop{false};
        QElapsedTimer timer;
        timer.start();
        const FallbackStore::WholeCopy copy = FallbackStore::copyWhole(fallback, path, stop);
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        if (!copy.error.isEmpty()) {
            state.SkipWithError(qPrintable(copy.error));
            return;
        }
        state.counters["copy_ms"] = double(timer.nsecsElapsed()) / 1e6;
        state.counters["room_vs_fallback"] = double(QFileInfo(path).size()) / double(QFileInfo(fallback).size());
    }
}
BENCHMARK(BM_FallbackCopiedWholeToAnEmptyPath)
    ->Arg(20000)
    ->Arg(100000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_SavesHeldWhileCopiedWholeBesideABusyPool(benchmark::State &state)
{
    const int clips = int(state.range(0));
    QThreadPool &shared = *QThreadPool::globalInstance();
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString fallback = dir.filePath(QStringLiteral("default.store.fallback"));
        const QString path = dir.filePath(QStringLiteral("default.store"));
        if (!writeFallback(fallback, clips, state))
            return;
        // The caretaker's own thread for the steps that hold saves: none of the shared pool's.
        ThreadOfItsOwn stepThread;
        QObject receiver;
        // Held until the copy is over, or for two minutes: a copy that never ends is no reason to hang.
        const int threads = shared.maxThreadCount();
        QSemaphore started, over;
        for (int i = 0; i < threads; ++i)
            runOn(shared, [&started, &over] {
                started.release();
                over.tryAcquire(1, 120000);
            });
        started.acquire(threads);
        const std::atomic<bool> stop{false};
        std::optional<FallbackStore::WholeCopy> copy;
        double copyMs = 0;
        QEventLoop loop;
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        QElapsedTimer held;
        held.start();
        inBackground(
            &receiver,
            [&] {
                QElapsedTimer own;
                own.start();
                FallbackStore::WholeCopy made = FallbackStore::copyWhole(fallback, path, stop);
                copyMs = double(own.nsecsElapsed()) / 1e6;
                return made;
            },
            [&](const FallbackStore::WholeCopy &done) {
                copy = done;
                loop.quit();
            },
            stepThread.pool());
        loop.exec();
        const double heldMs = double(held.nsecsElapsed()) / 1e6;
        over.release(threads);
        shared.waitForDone();
        if (!copy || !copy->error.isEmpty()) {
            state.SkipWithError(copy ? qPrintable(copy->error) : "the copy did not end within two minutes");
            return;
        }
        state.SetIterationTime(heldMs / 1000);
        state.counters["saves_held_ms"] = heldMs;
        state.counters["copy_ms"] = copyMs;
        state.counters["shared_threads_taken"] = threads;
    }
}
BENCHMARK(BM_SavesHeldWhileCopiedWholeBesideABusyPool)
    ->Arg(20000)
    ->Arg(100000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
