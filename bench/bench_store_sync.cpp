// Copies kept through a power cut: the capture time of each copy into a store file, the longest
// the main thread goes without its event loop, the syncs per copy, and how long the last copy
// waits to be synced, at a burst of 50 copies a second and at one a second.
// Run on a disk, not tmpfs: ./bench_store_sync (the store goes beside the working folder).

#include "BenchSupport.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include "Tests/Support/PowerCutFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

void BM_CopiesSynced(benchmark::State &state)
{
    const int perSecond = int(state.range(0));
    const int copies = int(state.range(1));
    for (auto _ : state) {
        QTemporaryDir dir(QDir::current().filePath(QStringLiteral("bench-store-sync-XXXXXX")));
        test::PowerCutFiles files(false);
        Preferences prefs(dir.filePath(QStringLiteral("prefs.json")));
        NotificationCenter center;
        QString error;
        auto container = ModelContainer::open(dir.filePath(QStringLiteral("default.store")), systemClock(), &error);
        if (!container) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        ClipStore store(std::shared_ptr<ModelContainer>(container.release()),
                        {&prefs, &center, systemClock(), nullptr});
        const int syncsBefore = files.syncs();

        std::vector<double> captureMs;
        double longestStretchMs = 0;
        QElapsedTimer clock;
        clock.start();
        qint64 lastProbeNs = clock.nsecsElapsed();
        // Every turn of the event loop a millisecond apart: a late one is the main thread held.
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            longestStretchMs = std::max(longestStretchMs, (now - lastProbeNs) / 1e6 - 1.0);
            lastProbeNs = now;
        });
        probe.start(1);

        QEventLoop loop;
        QTimer copier;
        copier.setTimerType(Qt::PreciseTimer);
        int made = 0;
        double syncWaitMs = 0;
        QObject::connect(&copier, &QTimer::timeout, [&] {
            const qint64 start = clock.nsecsElapsed();
            store.insertClip({.kind = ClipKind::text, .text = QStringLiteral("copy %1 ").arg(made).repeated(8)});
            captureMs.push_back((clock.nsecsElapsed() - start) / 1e6);
            if (++made < copies)
                return;
            copier.stop();
            const qint64 last = clock.nsecsElapsed();
            store.container().whenSynced(&loop, [&, last] {
                syncWaitMs = (clock.nsecsElapsed() - last) / 1e6;
                loop.quit();
            });
        });
        copier.start(1000 / perSecond);
        loop.exec();
        probe.stop();

        bench::reportPercentiles(state, captureMs, {50, 99});
        state.counters["longest_stretch_ms"] = longestStretchMs;
        state.counters["syncs_per_copy"] = double(files.syncs() - syncsBefore) / copies;
        state.counters["last_copy_synced_ms"] = syncWaitMs;
    }
}
BENCHMARK(BM_CopiesSynced)
    ->ArgNames({"per_s", "copies"})
    ->Args({50, 250})
    ->Args({1, 15})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
