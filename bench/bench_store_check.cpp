// The check of the whole store file for damage no read meets, at 20,000 and 100,000 clips: the
// check itself (time and CPU, on the benchmark's thread), and the longest the main thread's event
// loop is held while a check runs on its worker.
#include "BenchSupport.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/StoreCheck.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <map>
#include <memory>

using namespace quillmere;

namespace {

struct History {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    std::unique_ptr<ClipStore> store;
};

// A store of `n` text clips from seven applications, written once per run.
History &history(int n)
{
    static std::map<int, std::unique_ptr<History>> made;
    std::unique_ptr<History> &h = made[n];
    if (h)
        return *h;
    h = std::make_unique<History>();
    QString error;
    auto container = ModelContainer::open(h->dir.filePath(QStringLiteral("default.store")), systemClock(), &error);
    if (!container)
        qFatal("Cannot open the store: %s", qPrintable(error));
    h->store = std::make_unique<ClipStore>(std::shared_ptr<ModelContainer>(container.release()),
                                           ClipStoreDependencies{&h->prefs, &h->center});
    h->store->setHistoryLimit(-1);
    for (int i = 0; i < n; ++i) {
        CapturedContent content;
        content.text =
            QStringLiteral("note number %1 about the meeting, the budget and the %2 report").arg(i).arg(i % 97);
        content.sourceAppName = QStringLiteral("App %1").arg(i % 7);
        content.sourceAppBundleID = QStringLiteral("org.example.app%1").arg(i % 7);
        h->store->context().insert(h->store->makeClip(content));
    }
    if (!h->store->save())
        qFatal("Cannot save the sample clips");
    // Checked from the file itself, as a store some time after its writes.
    QSqlQuery q(h->store->context().database());
    if (!q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")))
        qFatal("Cannot checkpoint the sample store");
    return *h;
}

void BM_WholeStoreCheck(benchmark::State &state)
{
    const QString path = history(int(state.range(0))).store->container().storeURL();
    for (auto _ : state) {
        StoreCheck::Stop stop;
        if (StoreCheck::check(path, stop) != StoreCheck::Result::whole)
            state.SkipWithError("the sample store did not check whole");
    }
    state.counters["store_MB"] = double(QFileInfo(path).size()) / 1e6;
}
BENCHMARK(BM_WholeStoreCheck)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);

// The check as the program runs it; max_ms is the longest turn of the main thread's event loop
// meanwhile (p50/p99 of the turns too).
void BM_MainThreadWhileTheStoreIsChecked(benchmark::State &state)
{
    ClipStore &store = *history(int(state.range(0))).store;
    std::vector<double> turns;
    for (auto _ : state) {
        StoreCheck check(store, 0, StoreCheck::intervalMs);
        bool done = false;
        QObject::connect(&check, &StoreCheck::checked, [&](StoreCheck::Result result) {
            done = true;
            if (result != StoreCheck::Result::whole)
                state.SkipWithError("the sample store did not check whole");
        });
        QElapsedTimer turn;
        QTimer ticker;
        ticker.setInterval(0);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            turns.push_back(double(turn.nsecsElapsed()) / 1e6);
            turn.restart();
        });
        turn.start();
        ticker.start();
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        turns.push_back(double(turn.nsecsElapsed()) / 1e6);
    }
    bench::reportPercentiles(state, turns, {50, 99});
}
BENCHMARK(BM_MainThreadWhileTheStoreIsChecked)
    ->Arg(20000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
