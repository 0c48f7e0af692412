// Delay from another program taking the clipboard to the clip being stored, over 100 changes.
// Run under an X server: xvfb-run -a ./bench_capture_latency

#include "BenchSupport.h"
#include "Quillmere/Clipboard/ClipboardMonitor.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/Pasteboard.h"

#include "Tests/Support/ForeignClipboardOwner.h"

#include <QApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

using namespace quillmere;
using SteadyClock = std::chrono::steady_clock;

namespace {

struct Pipeline {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    std::unique_ptr<ClipStore> store;
    SystemPasteboard pasteboard;
    std::unique_ptr<ClipboardMonitor> monitor;
    SteadyClock::time_point storedAt;
    int stored = 0;

    Pipeline()
    {
        QString error;
        std::shared_ptr<ModelContainer> container(ModelContainer::open(QString(), systemClock(), &error).release());
        ClipStoreDependencies deps;
        deps.preferences = &prefs;
        deps.notificationCenter = &center;
        store = std::make_unique<ClipStore>(container, deps);
        CaptureDependencies capture;
        capture.store = store.get();
        capture.pasteboard = &pasteboard;
        capture.preferences = &prefs;
        monitor = std::make_unique<ClipboardMonitor>(capture, center);
        monitor->setOnItemCaptured([this](const ClipRef &) {
            storedAt = SteadyClock::now();
            ++stored;
        });
        monitor->start();
    }

    // Runs the event loop until one more clip is stored; false after 5 s without one.
    bool waitForStore(int before)
    {
        if (stored > before)
            return true;
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (stored > before)
                loop.quit();
        });
        poll.start(1);
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
        return stored > before;
    }
};

// Another X client takes the selection; the clock starts when its request is flushed.
void BM_ChangeToStoredClip(benchmark::State &state)
{
    Pipeline pipeline;
    std::unique_ptr<test::ForeignClipboardOwner> previous;
    std::vector<double> latencies;
    int n = 0;
    for (auto _ : state) {
        const int before = pipeline.stored;
        auto owner = std::make_unique<test::ForeignClipboardOwner>(
            test::ForeignClipboardOwner::text(QByteArray("latency sample ") + QByteArray::number(++n)));
        if (!owner->waitUntilOwner() || !pipeline.waitForStore(before)) {
            state.SkipWithError("no clip stored within 5 s");
            break;
        }
        const double ms = std::chrono::duration<double, std::milli>(pipeline.storedAt - owner->ownedAt()).count();
        state.SetIterationTime(ms / 1000.0);
        latencies.push_back(ms);
        previous = std::move(owner); // keep serving until the next one takes over
    }
    bench::reportPercentiles(state, latencies, {50, 99});
}
BENCHMARK(BM_ChangeToStoredClip)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same with xclip as the other program; the clock starts before xclip is launched, so this
// includes starting a process.
void BM_ChangeToStoredClipWithXclip(benchmark::State &state)
{
    Pipeline pipeline;
    std::vector<std::unique_ptr<QProcess>> running;
    std::vector<double> latencies;
    int n = 0;
    for (auto _ : state) {
        const int before = pipeline.stored;
        auto process = std::make_unique<QProcess>();
        const auto start = SteadyClock::now();
        process->start(QStringLiteral("xclip"),
                       {QStringLiteral("-quiet"), QStringLiteral("-selection"), QStringLiteral("clipboard"),
                        QStringLiteral("-i")});
        process->write(QByteArray("xclip sample ") + QByteArray::number(++n));
        process->closeWriteChannel();
        if (!pipeline.waitForStore(before)) {
            state.SkipWithError("no clip stored within 5 s");
            break;
        }
        const double ms = std::chrono::duration<double, std::milli>(pipeline.storedAt - start).count();
        state.SetIterationTime(ms / 1000.0);
        latencies.push_back(ms);
        running.push_back(std::move(process));
    }
    for (auto &process : running) {
        process->kill();
        process->waitForFinished(1000);
    }
    bench::reportPercentiles(state, latencies, {50, 99});
}
BENCHMARK(BM_ChangeToStoredClipWithXclip)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    if (!bench::prepareDisplayBenchmark(home))
        return 1;
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
