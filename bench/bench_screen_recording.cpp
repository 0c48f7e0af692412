// Recording a whole 1920×1080 screen at 30 frames a second for 10 seconds while the picture
// changes every frame: the share of frames dropped (goal: at most 1 % on 8 cores), the CPU time
// this process spends per second of video, and how long a stop takes until the movie is done.
// Starts its own Xvfb of that size: ./bench_screen_recording

#include "BenchSupport.h"
#include "Quillmere/Recording/MovieThumbnail.h"
#include "Quillmere/Recording/ScreenRecorder.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <benchmark/benchmark.h>

#include <sys/resource.h>

using namespace quillmere;

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Moving bars and text over the whole screen, repainted at 30 Hz.
class Busy : public QWidget {
public:
    Busy()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            ++m_frame;
            update();
        });
        m_timer.start(33);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), QColor::fromHsv((m_frame * 3) % 360, 120, 200));
        for (int i = 0; i < 12; ++i)
            p.fillRect(QRect((m_frame * (i + 3) * 4) % width(), i * 90, 160, 60), QColor::fromHsv(i * 30, 255, 160));
        p.setPen(Qt::black);
        p.drawText(rect(), Qt::AlignCenter, QString::number(m_frame));
    }

private:
    QTimer m_timer;
    int m_frame = 0;
};

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void BM_Record1080p30For10s(benchmark::State &state)
{
    QTemporaryDir folder;
    Busy busy;
    busy.setWindowFlags(Qt::FramelessWindowHint);
    busy.setGeometry(0, 0, 1920, 1080);
    busy.show();
    wait(500);
    for (auto _ : state) {
        ScreenRecorder recorder;
        recorder.setRecordingsFolder(folder.path());
        const double cpuBefore = cpuSeconds();
        if (recorder.start(std::nullopt, {})) {
            state.SkipWithError("the recording did not start");
            return;
        }
        wait(10000);
        QElapsedTimer stopping;
        stopping.start();
        std::optional<RecordingResult> result;
        recorder.stop([&](const RecordingResult &r) { result = r; });
        while (!result)
            wait(5);
        const double stopMs = double(stopping.elapsed());
        const double cpu = cpuSeconds() - cpuBefore;
        const auto *path = std::get_if<QString>(&*result);
        if (!path) {
            state.SkipWithError("the recording was not saved");
            return;
        }
        const double seconds = recording::movieDuration(*path).value_or(0);
        const ScreenRecorder::Statistics stats = recorder.lastStatistics();
        state.counters["frames"] = double(stats.frames);
        state.counters["dropped_pct"] =
            100.0 * double(stats.dropped) / double(std::max<qint64>(1, stats.frames + stats.dropped));
        state.counters["cpu_s_per_video_s"] = seconds > 0 ? cpu / seconds : 0;
        state.counters["stop_ms"] = stopMs;
        state.counters["video_s"] = seconds;
        state.counters["MB"] = double(QFile(*path).size()) / 1e6;
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(BM_Record1080p30For10s)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv)
{
    return quillmere::bench::runOnOwnDisplay<QApplication>(argc, argv, QStringLiteral("1920x1080x24"));
}
