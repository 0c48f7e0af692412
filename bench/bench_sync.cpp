// Sync through a shared folder: a full export and import of 10,000 clips, and how long one new
// clip takes from the copy on one device to the other device's store.

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncEngine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

constexpr int kClips = 10000;

// Runs the event loop in 1 ms steps until `done` holds or the time is up.
template <typename F> bool waitFor(F done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(1, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

struct Device {
    explicit Device(const QString &root, const QString &id, SyncEngine::Options options = {})
    {
        QString error;
        container = std::shared_ptr<ModelContainer>(
            ModelContainer::open(dir.filePath(QStringLiteral("default.store")), systemClock(), &error).release());
        ClipStoreDependencies deps;
        deps.preferences = &prefs;
        deps.notificationCenter = &notifications;
        store = std::make_unique<ClipStore>(container, deps);
        options.root = root;
        options.device = id;
        engine = std::make_unique<SyncEngine>(*store, options);
    }
    void settle() const
    {
        waitFor([this] { return engine->isIdle(); }, 600000);
    }

    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter notifications;
    std::shared_ptr<ModelContainer> container;
    std::unique_ptr<ClipStore> store;
    std::unique_ptr<SyncEngine> engine;
};

// Text clips with every tenth carrying a 20 kB picture, saved in one go.
void fill(ClipStore &store)
{
    QByteArray picture(20 * 1024, Qt::Uninitialized);
    for (int i = 0; i < kClips; ++i) {
        auto clip = std::make_shared<ClipItem>();
        clip->setText(QStringLiteral("Clip number %1 with a sentence of ordinary text, https://example.org/%1").arg(i));
        clip->setContentHash(QStringLiteral("%1").arg(i, 64, 16, QLatin1Char('0')));
        clip->setSourceAppName(QStringLiteral("Editor"));
        if (i % 10 == 0) {
            QRandomGenerator(quint32(i)).fillRange(reinterpret_cast<quint32 *>(picture.data()), picture.size() / 4);
            clip->setKind(ClipKind::image);
            clip->setImageData(picture);
        }
        store.context().insert(clip);
    }
    store.context().save();
}

void BM_ExportTenThousandClips(benchmark::State &state)
{
    QTemporaryDir source;
    Device a(source.path(), QStringLiteral("device-a"));
    fill(*a.store);
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir folder;
        ExportJob job{a.container->storeURL(), folder.path(), QStringLiteral("device-a"), {}, 64};
        state.ResumeTiming();
        const ExportResult result = runExport(job);
        if (result.exported != kClips)
            state.SkipWithError("not every clip was exported");
    }
    state.counters["clips"] = kClips;
}
BENCHMARK(BM_ExportTenThousandClips)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ImportTenThousandClips(benchmark::State &state)
{
    QTemporaryDir folder;
    Device a(folder.path(), QStringLiteral("device-a"));
    fill(*a.store);
    runExport({a.container->storeURL(), folder.path(), QStringLiteral("device-a"), {}, 64});
    for (auto _ : state) {
        state.PauseTiming();
        auto b = std::make_unique<Device>(folder.path(), QStringLiteral("device-b"));
        state.ResumeTiming();
        b->engine->start();
        b->settle();
        state.PauseTiming();
        if (b->store->context().clipCount() != kClips)
            state.SkipWithError("not every clip was imported");
        b.reset();
        state.ResumeTiming();
    }
    state.counters["clips"] = kClips;
}
BENCHMARK(BM_ImportTenThousandClips)->Unit(benchmark::kMillisecond)->Iterations(3);

// From the insert on A to the clip in B's store; the argument is A's export delay after a save
// (1000 ms is what the program uses).
void BM_NewClipExportToImportDelay(benchmark::State &state)
{
    QTemporaryDir folder;
    SyncEngine::Options options;
    options.exportDelayMs = int(state.range(0));
    Device a(folder.path(), QStringLiteral("device-a"), options);
    Device b(folder.path(), QStringLiteral("device-b"));
    a.engine->start();
    b.engine->start();
    a.settle();
    b.settle();
    int n = 0;
    for (auto _ : state) {
        const QString text = QStringLiteral("new clip %1").arg(++n);
        QElapsedTimer timer;
        timer.start();
        CapturedContent content;
        content.text = text;
        a.store->insertClip(content);
        const bool arrived = waitFor(
            [&] {
                const ClipRef newest = b.store->context().newestClip();
                return newest && newest->text() == text;
            },
            30000);
        state.SetIterationTime(timer.nsecsElapsed() / 1e9);
        if (!arrived)
            state.SkipWithError("the clip did not arrive");
        a.settle();
        b.settle();
    }
}
BENCHMARK(BM_NewClipExportToImportDelay)->Arg(1000)->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
