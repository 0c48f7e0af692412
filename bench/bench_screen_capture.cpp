// Full-screen screenshot of a 3840x2160 screen to a stored image clip: from the request to the
// clip being in the store (tool start, X grab, PNG write, read back, check, insert).
// Starts its own Xvfb of that size: ./bench_screen_capture

#include "BenchSupport.h"
#include "Quillmere/Capture/ScreenshotCaptureService.h"
#include "Quillmere/Capture/ScreenshotToolRunner.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/Pasteboard.h"
#include "Quillmere/Platform/RootPixels.h"
#include "Support/MemoryPasteboard.h"

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>

using namespace quillmere;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr QSize kScreen(3840, 2160);

// Something like a working desktop: text, coloured panes and a photo-like area.
QImage desktopPicture(int iteration)
{
    QImage image(kScreen, QImage::Format_RGB32);
    image.fill(QColor(0xf4, 0xf5, 0xf7));
    QPainter painter(&image);
    painter.fillRect(QRect(0, 0, 3840, 64), QColor(0x2b, 0x2f, 0x3a));
    painter.fillRect(QRect(0, 64, 560, 2096), QColor(0xe6, 0xe8, 0xee));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(26);
    painter.setFont(font);
    painter.setPen(QColor(0x22, 0x22, 0x22));
    for (int line = 0; line < 55; ++line)
        painter.drawText(QPoint(620, 130 + line * 36),
                         QStringLiteral("%1  The quarterly ledger lists %2 parcels shipped from the harbour office, "
                                        "checked against invoice %3 and filed under region %4.")
                             .arg(line + 1)
                             .arg(line * 37 + iteration)
                             .arg(4400 + line)
                             .arg(line % 7));
    QRandomGenerator random(42);
    QImage photo(1100, 800, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            photo.setPixel(
                x, y, qRgb((x / 4 + random.bounded(12)) % 256, (y / 3 + random.bounded(12)) % 256, (x + y) / 8 % 256));
    painter.drawImage(QPoint(2680, 1300), photo);
    return image;
}

struct Pipeline {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    MemoryPasteboard pasteboard;
    std::unique_ptr<ClipStore> store;
    std::unique_ptr<ScreenshotToolRunner> tool;
    std::unique_ptr<ScreenshotCaptureService> service;
    SteadyClock::time_point storedAt;
    int stored = 0;
    qint64 pngBytes = 0;

    Pipeline()
    {
        QString error;
        std::shared_ptr<ModelContainer> container(
            ModelContainer::open(dir.filePath(QStringLiteral("bench.store")), systemClock(), &error).release());
        store = std::make_unique<ClipStore>(container, ClipStoreDependencies{&prefs, &center});
        ScreenshotToolRunner::Options options;
        options.program = QStringLiteral(QUILLMERE_SCREENSHOT_TOOL);
        tool = std::make_unique<ScreenshotToolRunner>(options);
        CaptureServiceContext context;
        context.store = store.get();
        context.pasteboard = &pasteboard;
        context.center = &center;
        context.preferences = &prefs;
        context.tool = tool.get();
        // Recognition runs after the clip is stored; it is not part of this figure.
        context.recognizeText = [](const QByteArray &) { return std::optional<QString>(); };
        service = std::make_unique<ScreenshotCaptureService>(context);
        service->setOnCaptured([this](const ClipRef &clip, ScreenshotClipboardOutput, quint64) {
            storedAt = SteadyClock::now();
            pngBytes = clip->imageDataSize();
            ++stored;
        });
    }

    bool waitFor(const std::function<bool()> &condition, int timeoutMs)
    {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (condition())
                loop.quit();
        });
        poll.start(1);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        if (!condition())
            loop.exec();
        return condition();
    }
};

void BM_FullScreenToStoredClip(benchmark::State &state)
{
    Pipeline pipeline;
    QLabel desktop(nullptr, Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
    desktop.setGeometry(QRect(QPoint(0, 0), kScreen));
    desktop.show();
    std::vector<double> latencies;
    int iteration = 0;
    for (auto _ : state) {
        // A different picture each time, so that every capture is a new clip.
        const QImage picture = desktopPicture(++iteration);
        desktop.setPixmap(QPixmap::fromImage(picture));
        const QRect probe(620, 100, 1200, 40);
        if (!pipeline.waitFor([&] { return grabRootPixels(probe) == picture.copy(probe); }, 5000)) {
            state.SkipWithError("the picture did not reach the screen");
            break;
        }
        const int before = pipeline.stored;
        const auto start = SteadyClock::now();
        pipeline.service->startFullScreenCapture(++pipeline.service->captureGeneration().next);
        if (!pipeline.waitFor([&] { return pipeline.stored > before; }, 20000)) {
            state.SkipWithError("no clip stored within 20 s");
            break;
        }
        const double ms = std::chrono::duration<double, std::milli>(pipeline.storedAt - start).count();
        state.SetIterationTime(ms / 1000.0);
        latencies.push_back(ms);
    }
    state.counters["png_kib"] = double(pipeline.pngBytes) / 1024.0;
    bench::reportPercentiles(state, latencies, {50, 90});
}
BENCHMARK(BM_FullScreenToStoredClip)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return quillmere::bench::runOnOwnDisplay<QApplication>(argc, argv, QStringLiteral("3840x2160x24"));
}
