// Sync through a shared folder: a full export and import of 10,000 clips, and how long one new
// clip takes from the copy on one device to the other device's store.

#include "BenchSupport.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/SyncEngine.h"
#include "Quillmere/Sync/SyncFolder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QUuid>
#include <benchmark/benchmark.h>
#include <functional>

using namespace quillmere;
using quillmere::bench::randomBytes;

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
BENCHMARK(BM_NewClipExportToImportDelay)
    ->Arg(1000)
    ->Arg(0)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

// A peer folder written by hand, as an attacker would. Each case reports the time to settle, the
// longest the event loop went unanswered meanwhile and the growth of resident memory.
qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

QJsonObject peerClip(const QString &text)
{
    const double now = double(QDateTime::currentMSecsSinceEpoch());
    return {{QStringLiteral("type"), QStringLiteral("ClipItem")},
            {QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
            {QStringLiteral("modifiedAt"), now},
            {QStringLiteral("fields"),
             QJsonObject{{QStringLiteral("createdAt"), now},
                         {QStringLiteral("kind"), QStringLiteral("text")},
                         {QStringLiteral("text"), text},
                         {QStringLiteral("contentHash"), text}}}};
}

void writePeerFile(const QString &root, qint64 number, const QJsonArray &records)
{
    const QString peer = QStringLiteral("device-peer");
    QString error;
    SyncFolder::prepareDevice(root, peer, &error);
    const QJsonObject doc{{QStringLiteral("format"), 1},
                          {QStringLiteral("device"), peer},
                          {QStringLiteral("number"), double(number)},
                          {QStringLiteral("records"), records}};
    SyncFolder::writeFileAtomically(SyncFolder::changePath(root, peer, number),
                                    QJsonDocument(doc).toJson(QJsonDocument::Compact), &error);
}

void importHostile(benchmark::State &state, const std::function<void(const QString &root)> &write)
{
    qint64 stall = 0;
    qint64 grown = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir folder;
        write(folder.path());
        auto device = std::make_unique<Device>(folder.path(), QStringLiteral("device-us"));
        const qint64 before = residentKiB();
        QElapsedTimer since;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] { stall = std::max(stall, since.restart()); });
        state.ResumeTiming();
        since.start();
        tick.start(1);
        device->engine->start();
        device->settle();
        tick.stop();
        state.PauseTiming();
        grown = std::max(grown, residentKiB() - before);
        state.counters["clips"] = double(device->store->context().clipCount());
        device.reset();
        state.ResumeTiming();
    }
    state.counters["longest_stall_ms"] = double(stall);
    state.counters["rss_growth_MiB"] = double(grown) / 1024;
}

void BM_HostileFarChangeNumber(benchmark::State &state)
{
    importHostile(state, [](const QString &root) {
        writePeerFile(root, 1, {peerClip(QStringLiteral("one"))});
        writePeerFile(root, 9999999999LL, {peerClip(QStringLiteral("far"))});
    });
}
BENCHMARK(BM_HostileFarChangeNumber)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_HostileRecordsInOneFile(benchmark::State &state)
{
    importHostile(state, [&](const QString &root) {
        QJsonArray records;
        for (int i = 0; i < state.range(0); ++i)
            records.append(peerClip(QStringLiteral("record %1").arg(i)));
        writePeerFile(root, 1, records);
    });
}
BENCHMARK(BM_HostileRecordsInOneFile)->Arg(40000)->Arg(300000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_HostileManyTinyFiles(benchmark::State &state)
{
    importHostile(state, [&](const QString &root) {
        for (int i = 1; i <= state.range(0); ++i)
            writePeerFile(root, i, {peerClip(QStringLiteral("file %1").arg(i))});
    });
}
BENCHMARK(BM_HostileManyTinyFiles)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_HostileHugeText(benchmark::State &state)
{
    importHostile(state, [](const QString &root) {
        writePeerFile(root, 1, {peerClip(QString(30 * 1024 * 1024 / 2, QLatin1Char('t')))});
    });
}
BENCHMARK(BM_HostileHugeText)->Unit(benchmark::kMillisecond)->Iterations(1);

// One change file naming 200 blobs of 8 MiB each: what a pass holds is bounded, not the file.
void BM_HostileManyLargeBlobs(benchmark::State &state)
{
    importHostile(state, [&](const QString &root) {
        QJsonArray records;
        QString error;
        SyncFolder::prepareDevice(root, QStringLiteral("device-peer"), &error);
        for (int i = 0; i < state.range(0); ++i) {
            QByteArray blob = randomBytes(8 * 1024 * 1024, quint32(i));
            const QString hash = SyncFolder::sha256Hex(blob);
            SyncFolder::writeFileAtomically(SyncFolder::blobPath(root, QStringLiteral("device-peer"), hash), blob,
                                            &error);
            QJsonObject record = peerClip(QStringLiteral("blob %1").arg(i));
            QJsonObject fields = record.value(QStringLiteral("fields")).toObject();
            fields.insert(QStringLiteral("kind"), QStringLiteral("file"));
            fields.insert(QStringLiteral("file"), hash);
            fields.insert(QStringLiteral("fileName"), QStringLiteral("blob%1.bin").arg(i));
            record.insert(QStringLiteral("fields"), fields);
            records.append(record);
        }
        writePeerFile(root, 1, records);
    });
}
BENCHMARK(BM_HostileManyLargeBlobs)->Arg(200)->Unit(benchmark::kMillisecond)->Iterations(1);

// From stop() in the middle of applying a large import to the thread pool being idle: the bound
// on how long a quit waits for sync.
void BM_StopDuringHostileImport(benchmark::State &state)
{
    QTemporaryDir folder;
    QJsonArray records;
    for (int i = 0; i < 40000; ++i)
        records.append(peerClip(QStringLiteral("record %1").arg(i)));
    writePeerFile(folder.path(), 1, records);
    for (auto _ : state) {
        state.PauseTiming();
        auto device = std::make_unique<Device>(folder.path(), QStringLiteral("device-us"));
        device->engine->start();
        waitFor([&] { return device->store->context().clipCount() > 0; }, 60000);
        state.ResumeTiming();
        device->engine->stop();
        device.reset();
        QThreadPool::globalInstance()->waitForDone();
    }
}
BENCHMARK(BM_StopDuringHostileImport)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QCoreApplication>(argc, argv);
}
