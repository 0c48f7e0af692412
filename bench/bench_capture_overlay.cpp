// After a capture: from the clip stored to the first painted frame of the card and of the toast,
// at 1x and 2x scale (run with --scale=2 for the second), and how long a 3840x2160 capture's
// thumbnail holds up the main thread while it is made.
#include "BenchSupport.h"

#include "Quillmere/Capture/Overlay/Widgets/CaptureOverlayPresenter.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QApplication>
#include <QBuffer>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QTimer>

using namespace quillmere;

namespace {

// Never the desktop's switch: the first-frame figures are of the slide-in; the thumbnail's figure
// is taken without slides, whose frames would count as the main thread's work too.
struct BenchMotion : DesktopMotion {
    bool reduce = false;
    bool reduceMotion() const override { return reduce; }
};

struct Fixture {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    std::unique_ptr<ClipStore> store = std::make_unique<ClipStore>(
        ModelContainer::open(QString(), systemClock(), nullptr), ClipStoreDependencies{&prefs, &center});
    BenchMotion motion;
    std::unique_ptr<CaptureOverlayPresenter> presenter;
    QByteArray capture;

    Fixture()
    {
        CaptureOverlayController::Environment environment;
        environment.actions.store = store.get();
        environment.preferences = &prefs;
        environment.motion = &motion;
        presenter = std::make_unique<CaptureOverlayPresenter>(std::move(environment));
        // A 3840x2160 screenshot with enough detail that it does not compress to nothing.
        QImage image(3840, 2160, QImage::Format_RGB32);
        QPainter painter(&image);
        QLinearGradient gradient(0, 0, 3840, 2160);
        gradient.setColorAt(0, QColor(40, 90, 160));
        gradient.setColorAt(1, QColor(230, 190, 110));
        painter.fillRect(image.rect(), gradient);
        painter.setPen(Qt::white);
        for (int y = 0; y < 2160; y += 40)
            painter.drawText(20, y + 30, QStringLiteral("line %1 of a busy screen with text on it").arg(y).repeated(6));
        painter.end();
        QBuffer buffer(&capture);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
    }

    ClipRef store4k()
    {
        CapturedContent content;
        content.kind = ClipKind::image;
        content.imageData = capture;
        content.sourceAppName = QStringLiteral("Quillmere Capture");
        return store->insertClip(content);
    }

    // Waits for `panel`'s first painted frame; gives the milliseconds since `start`.
    double untilPainted(TransientPanel &panel, const QElapsedTimer &start)
    {
        bool painted = false;
        QMetaObject::Connection c =
            QObject::connect(&panel, &TransientPanel::presentedFramePainted, [&] { painted = true; });
        QDeadlineTimer deadline(5000);
        while (!painted && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QObject::disconnect(c);
        return start.nsecsElapsed() / 1e6;
    }

    void settle(TransientPanel &panel)
    {
        QDeadlineTimer deadline(3000);
        while (panel.isSliding() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

void BM_ClipStoredToCardFirstFrame(benchmark::State &state)
{
    Fixture &f = fixture();
    std::vector<double> ms;
    for (auto _ : state) {
        const ClipRef clip = f.store4k();
        QElapsedTimer start;
        start.start();
        f.presenter->showCard(clip, CaptureOverlayUploadProgress::Kind::idle);
        const double elapsed = f.untilPainted(f.presenter->card(), start);
        state.SetIterationTime(elapsed / 1000);
        ms.push_back(elapsed);
        f.settle(f.presenter->card());
    }
    bench::reportPercentiles(state, ms, {50, 95});
    state.counters["scale"] = f.presenter->card().devicePixelRatioF();
}

void BM_ClipStoredToToastFirstFrame(benchmark::State &state)
{
    Fixture &f = fixture();
    std::vector<double> ms;
    for (auto _ : state) {
        const ClipRef clip = f.store4k();
        QElapsedTimer start;
        start.start();
        f.presenter->showToast(clip);
        const double elapsed = f.untilPainted(f.presenter->toast(), start);
        state.SetIterationTime(elapsed / 1000);
        ms.push_back(elapsed);
        f.settle(f.presenter->toast());
    }
    bench::reportPercentiles(state, ms, {50, 95});
    state.counters["scale"] = f.presenter->toast().devicePixelRatioF();
}

// The longest the main thread goes without running its event loop while the toast's thumbnail of
// a 3840x2160 capture is made and handed over, from the toast's first frame until the thumbnail
// is in: a 1 ms timer measures the gaps. "idle_gap_ms" is the same timer with nothing to do, the
// floor the machine's load sets.
double longestGap(const std::function<bool()> &done)
{
    QElapsedTimer gap;
    gap.start();
    double longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, gap.nsecsElapsed() / 1e6);
        gap.restart();
    });
    ticker.start(1);
    QDeadlineTimer deadline(5000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return std::max(0.0, longest - 1);
}

void BM_ThumbnailMainThreadTime(benchmark::State &state)
{
    Fixture &f = fixture();
    f.motion.reduce = true;
    std::vector<double> stalls, idle;
    for (auto _ : state) {
        const ClipRef clip = f.store4k();
        QElapsedTimer start;
        start.start();
        f.presenter->showToast(clip);
        f.untilPainted(f.presenter->toast(), start);
        QElapsedTimer decode;
        decode.start();
        stalls.push_back(longestGap([&] { return !f.presenter->toast().content().thumbnail.isNull(); }));
        const qint64 decodeMs = decode.elapsed();
        QElapsedTimer quiet;
        quiet.start();
        idle.push_back(longestGap([&] { return quiet.elapsed() >= decodeMs; }));
        state.SetIterationTime(stalls.back() / 1000);
        f.settle(f.presenter->toast());
    }
    f.motion.reduce = false;
    bench::reportPercentiles(state, stalls, {50, 95});
    std::sort(idle.begin(), idle.end());
    state.counters["idle_gap_p50_ms"] = idle[idle.size() / 2];
}

} // namespace

BENCHMARK(BM_ClipStoredToCardFirstFrame)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClipStoredToToastFirstFrame)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThumbnailMainThreadTime)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    // "--scale=2" draws at twice the pixels, as on a high-density screen.
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]).startsWith("--scale="))
            qputenv("QT_SCALE_FACTOR", QByteArray(argv[i]).mid(8));
    return bench::runOnOwnDisplay<QApplication>(argc, argv, QStringLiteral("1920x1080x24"));
}
