// Stores in trouble: damaged stores salvaged, the program started on one while its salvage runs, and
// a fallback store moved in by the running program. See bench_program.cpp for the goals.

#include "BenchSupport.h"
#include "Model/DamagedStores.h"
#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Model/StoreSchema.h"
#include "program/RunningProgram.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <tuple>
#include <utility>
#include <vector>

namespace quillmere::bench::program {
namespace {

// A damaged store, 50 patterns of random bytes over 6 pages (25 in the middle of the file, 25 near
// its end), as a failing disk leaves it.
struct DamagePattern {
    qint64 firstPage;
    quint32 seed;
};

std::vector<DamagePattern> damagePatterns(qint64 pages)
{
    std::vector<DamagePattern> patterns;
    for (quint32 n = 0; n < 50; ++n)
        patterns.push_back({n < 25 ? pages / 2 - 12 + n : pages - 30 + (n - 25), 7919 * (n + 1)});
    return patterns;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

//  - BM_SalvageDamagedStore: the salvage of stores of 20,000 and 100,000 clips, each damaged by the
//    50 patterns: time per salvage (median, max; goal: max at most 3x the median), and the clips
//    kept against those a lookup by row id reads from the damaged file (goal: every one, in every
//    pattern).
void BM_SalvageDamagedStore(benchmark::State &state)
{
    const Home &home = storeOf(int(state.range(0)));
    const QByteArray whole = test::fileBytes(home.storePath());
    const qint64 page = StoreSchema::pageBytes;
    std::vector<double> ms;
    qint64 readableRows = 0, keptRows = 0, readableLeft = 0;
    int patternsWhole = 0;
    for (auto _ : state) {
        for (const DamagePattern &pattern : damagePatterns(whole.size() / page)) {
            QTemporaryDir dir;
            const QString path = dir.filePath(QStringLiteral("default.store"));
            QByteArray bytes = whole;
            test::damagePages(bytes, page, pattern.firstPage, 6, pattern.seed);
            test::writeFileBytes(path, bytes);
            const std::vector<qint64> readable = test::rowsReadableByID(path, QStringLiteral("clips"), home.clips);
            QElapsedTimer timer;
            timer.start();
            const StoreSalvage::Outcome outcome = StoreSalvage::salvage(path, QDateTime::currentDateTime());
            ms.push_back(msSince(timer));
            const std::vector<qint64> kept =
                outcome.placed ? test::rowIDsIn(path, QStringLiteral("clips")) : std::vector<qint64>();
            std::vector<qint64> left;
            std::set_difference(readable.begin(), readable.end(), kept.begin(), kept.end(), std::back_inserter(left));
            readableRows += qint64(readable.size());
            keptRows += qint64(kept.size());
            readableLeft += qint64(left.size());
            patternsWhole += left.empty() && !outcome.unfinished ? 1 : 0;
        }
        state.SetIterationTime(median(ms) / 1000);
    }
    state.counters["median_ms"] = median(ms);
    state.counters["max_ms"] = *std::max_element(ms.begin(), ms.end());
    state.counters["max_over_median"] = *std::max_element(ms.begin(), ms.end()) / median(ms);
    state.counters["readable_rows"] = double(readableRows);
    state.counters["kept_rows"] = double(keptRows);
    state.counters["readable_rows_left"] = double(readableLeft);
    state.counters["patterns_every_readable_kept"] = patternsWhole;
    state.counters["patterns"] = double(ms.size());
}
BENCHMARK(BM_SalvageDamagedStore)
    ->Arg(20000)
    ->Arg(100000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

//  - BM_StartDuringSalvage: the program started on such a store whose newest clip's page is damaged
//    too, so that its start meets the damage: exec to "Ready." (goal 2 s in every run), to the
//    history moved into the store read back, and SIGTERM to exit, once salvaged and once while the
//    salvage runs (goal 1 s).
void BM_StartDuringSalvage(benchmark::State &state)
{
    const Home &made = storeOf(int(state.range(0)));
    const QByteArray whole = test::fileBytes(made.storePath());
    const qint64 page = StoreSchema::pageBytes;
    // The newest clip's row, read at every start; not its search key, which ends in a line break.
    const QByteArray newest = clipText(made.clips - 1).toUtf8();
    qsizetype at = whole.indexOf(newest);
    while (at >= 0 && whole.at(at + newest.size()) == '\n')
        at = whole.indexOf(newest, at + 1);
    const qint64 newestPage = at / page + 1;
    std::vector<double> ready, salvaged, stops, stopsDuringSalvage;
    int readyWithin2s = 0;
    const std::vector<DamagePattern> patterns = damagePatterns(whole.size() / page);
    for (auto _ : state) {
        for (size_t n = 0; n < patterns.size(); n += size_t(state.range(1))) {
            const std::unique_ptr<Home> home = made.clone();
            QByteArray bytes = whole;
            test::damagePages(bytes, page, patterns[n].firstPage, 6, patterns[n].seed);
            // No page of a table starts so: its every read is damage.
            bytes.replace((newestPage - 1) * page, 8, QByteArray(8, '\xff'));
            test::writeFileBytes(home->storePath(), bytes);
            QElapsedTimer clock;
            clock.start();
            Program program(*home);
            if (program.waitForLine("Ready.") < 0) {
                state.SkipWithError("the program did not report ready");
                return;
            }
            ready.push_back(program.waitForLine("Ready."));
            readyWithin2s += ready.back() <= 2000 ? 1 : 0;
            if (program.waitForLine("the history kept in memory moves into it", 60000) < 0) {
                std::fputs(program.log().right(4000).constData(), stderr);
                state.SkipWithError("the salvage did not end");
                return;
            }
            salvaged.push_back(msSince(clock));
            stops.push_back(program.stop());
            // Once more, stopped while it salvages: the next start finishes the salvage.
            test::writeFileBytes(home->storePath(), bytes);
            for (const char *companion : {"-wal", "-shm"})
                QFile::remove(home->storePath() + QLatin1String(companion));
            Program stopped(*home);
            if (stopped.waitForLine("Ready.") < 0) {
                state.SkipWithError("the program did not report ready");
                return;
            }
            stopsDuringSalvage.push_back(stopped.stop());
        }
        state.SetIterationTime(median(ready) / 1000);
    }
    bench::reportPercentiles(state, ready, {50});
    state.counters["ready_within_2s"] = readyWithin2s;
    state.counters["runs"] = double(ready.size());
    state.counters["moved_in_p50_ms"] = median(salvaged);
    state.counters["moved_in_max_ms"] = *std::max_element(salvaged.begin(), salvaged.end());
    state.counters["stop_max_ms"] = *std::max_element(stops.begin(), stops.end());
    state.counters["stop_during_salvage_max_ms"] =
        *std::max_element(stopsDuringSalvage.begin(), stopsDuringSalvage.end());
}
// Every pattern (the second argument takes every n-th one).
BENCHMARK(BM_StartDuringSalvage)
    ->Args({20000, 1})
    ->Args({100000, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The lines the store logs when it could not save a copy.
int refusedSaves(const QByteArray &log)
{
    int refused = 0;
    for (const char *line :
         {"Failed to insert clip: ", "Failed to save context: ", "Failed to save part of the history: ",
          "Failed to upsert app brand: ", "could not be saved"})
        refused += int(log.count(line));
    return refused;
}

// A store of 10,000 clips beside a fallback store of 100,000 text copies made while the store could
// not take them: from the start until they have all moved in, the main thread's longest stretch of
// running on end and of being held (goal 20 ms), its share busy, and the time the move took, with
// no copies meanwhile (second argument 0) or with copies at 10 a second all through it (1); the p99
// of the time to capture those copies, and of copies after it (goal 2x at most); and how often the
// store could not save a copy (goal 0).
void BM_FallbackMoveIn(benchmark::State &state)
{
    const bool copying = state.range(1) != 0;
    const std::unique_ptr<Home> home = storeOf(10000).clone();
    {
        QString error;
        auto fallback = ModelContainer::open(home->storePath() + QStringLiteral(".fallback"), systemClock(), &error);
        if (!fallback) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (int i = 0; i < int(state.range(0)); ++i) {
            auto clip = std::make_shared<ClipItem>();
            clip->setKind(ClipKind::text);
            clip->setText(QStringLiteral("kept aside ") + clipText(i));
            clip->setCreatedAt(now.addMSecs(i - state.range(0)));
            clip->setCaptureOrder(now.addMSecs(i - state.range(0)).toMSecsSinceEpoch());
            fallback->mainContext().insert(clip);
        }
        if (!fallback->mainContext().save(&error)) {
            state.SkipWithError(qPrintable(error));
            return;
        }
    }
    // Another program copies for `seconds` while `until` waits, and is cut short once it returns
    // with `cut`; the p99 of their times to capture, and how many were captured.
    const auto captureP99 = [](Program &program, int seconds, bool cut,
                               const std::function<void()> &until) -> std::pair<double, double> {
        const qsizetype from = program.log().size();
        QProcess setter;
        startCopying(setter, seconds);
        until();
        if (cut)
            setter.kill();
        while (setter.state() != QProcess::NotRunning && !setter.waitForFinished(20))
            program.log(20);
        program.log(200);
        const QByteArray captured = program.log().mid(from);
        QByteArray offers = setter.readAllStandardError();
        // The copy on offer as it was cut may never have been fetched: it has no time to capture.
        if (cut && offers.count(" at ") == captured.count("Capture took") + 1)
            offers.truncate(offers.lastIndexOf('\n', offers.lastIndexOf(" at ")) + 1);
        const auto paired = captureLatencies(offers, captured);
        if (!paired || paired->empty())
            return {-1, 0};
        std::vector<double> sorted = *paired;
        std::sort(sorted.begin(), sorted.end());
        return {sorted[size_t(0.99 * double(sorted.size() - 1))], double(sorted.size())};
    };
    for (auto _ : state) {
        QElapsedTimer move;
        move.start();
        Program program(*home, relatedSearchEnvironment(*home));
        // The start itself is another figure's.
        if (program.waitForLine("Ready.") < 0) {
            state.SkipWithError("the program did not report ready");
            return;
        }
        MainThreadWatch watch(program);
        double moveMs = 0;
        const auto watchMove = [&] {
            while (!FallbackStore::all(home->storePath()).isEmpty() && move.elapsed() < 300000)
                watch.watch(program, 100);
            moveMs = msSince(move);
        };
        if (copying)
            std::tie(state.counters["capture_p99_during_ms"], state.counters["copies_during"]) =
                captureP99(program, 300, true, watchMove);
        else
            watchMove();
        watch.watchUntilQuiet(program, 1000, 20000);
        state.SetIterationTime(moveMs / 1000);
        state.counters["move_in_ms"] = moveMs;
        state.counters["main_thread_longest_ms"] = watch.longestMs();
        state.counters["main_thread_longest_held_ms"] = watch.longestHeldMs();
        state.counters["main_thread_busy"] = watch.busyShare();
        // The same copies once it is over.
        const auto readFor15s = [&] {
            QElapsedTimer after;
            after.start();
            while (after.elapsed() < 15000)
                program.log(100);
        };
        state.counters["capture_p99_after_ms"] = captureP99(program, 15, false, readFor15s).first;
        program.stop();
        state.counters["refused"] = refusedSaves(program.log());
    }
}
BENCHMARK(BM_FallbackMoveIn)
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace quillmere::bench::program
