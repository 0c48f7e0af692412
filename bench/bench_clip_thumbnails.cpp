// Card thumbnails of a 4000 x 3000 PNG: the decode itself (scaled to 360 px), and the road the
// cards take, where the main thread only reads the bytes and hands them to the thread pool; the
// "mainThreadMs" counter is the main thread's share of each request.
#include "BenchSupport.h"
#include "Quillmere/Pages/ClipThumbnails.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPainter>
#include <QRadialGradient>
#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

// A screenshot-like picture: gradients and shapes, which PNG keeps at a few megabytes.
const QByteArray &largePNG()
{
    static const QByteArray bytes = [] {
        QImage image(4000, 3000, QImage::Format_RGB32);
        QPainter p(&image);
        QLinearGradient sky(0, 0, 0, 3000);
        sky.setColorAt(0, QColor(40, 90, 200));
        sky.setColorAt(1, QColor(250, 210, 140));
        p.fillRect(image.rect(), sky);
        p.setRenderHint(QPainter::Antialiasing);
        for (int i = 0; i < 60; ++i) {
            QRadialGradient spot(QPointF(137 * i % 4000, 71 * i % 3000), 300);
            spot.setColorAt(0, QColor::fromHsv(i * 6 % 360, 180, 230, 200));
            spot.setColorAt(1, Qt::transparent);
            p.setBrush(spot);
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(137 * i % 4000, 71 * i % 3000), 300, 300);
        }
        p.setPen(Qt::black);
        QFont font;
        font.setPixelSize(48);
        p.setFont(font);
        for (int y = 100; y < 3000; y += 160)
            p.drawText(200, y, QStringLiteral("Line %1 of a long screenshot with some words on it").arg(y));
        p.end();
        QByteArray out;
        QBuffer buffer(&out);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return out;
    }();
    return bytes;
}

void BM_DecodeThumbnailOf4000x3000PNG(benchmark::State &state)
{
    const QByteArray &bytes = largePNG();
    for (auto _ : state)
        benchmark::DoNotOptimize(ClipThumbnails::decode(bytes));
    state.counters["pngMiB"] = double(bytes.size()) / (1024 * 1024);
}
BENCHMARK(BM_DecodeThumbnailOf4000x3000PNG)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ThumbnailOffTheMainThread(benchmark::State &state)
{
    const QByteArray &bytes = largePNG();
    ClipThumbnails thumbnails([&](const ThumbnailRequest &) { return std::optional(bytes); });
    int next = 0;
    double mainThreadNs = 0;
    for (auto _ : state) {
        QEventLoop loop;
        QObject::connect(&thumbnails, &ClipThumbnails::thumbnailReady, &loop, &QEventLoop::quit);
        QElapsedTimer onMain;
        onMain.start();
        thumbnails.request({{}, QString::number(next++)});
        mainThreadNs += double(onMain.nsecsElapsed());
        loop.exec();
    }
    state.counters["mainThreadMs"] = benchmark::Counter(mainThreadNs / 1e6 / double(state.iterations()));
}
BENCHMARK(BM_ThumbnailOffTheMainThread)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    return bench::runBenchmarks<QGuiApplication>(argc, argv, true);
}
