// Text recognition of a 1920×1080 screen full of text, the way a screenshot reaches it: processor
// time per recognition (every thread of the process), and the processor time the process keeps
// using once recognition is over (goal: at most 1 % of a core from 2 s after the last one).
// It starts with the OpenMP settings the quillmere command gives the program; with
// QUILLMERE_BENCH_OPENMP_AS_IS=1 it keeps the environment's (the library's defaults).
// Run: ./bench_text_recognition

#include "BenchSupport.h"
#include "Quillmere/Platform/TextRecognizer.h"

#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QThread>
#include <QThreadPool>

#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

using namespace quillmere;

namespace {

double processCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QImage textScreen()
{
    QImage image(1920, 1080, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setPen(Qt::black);
    painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 13));
    for (int line = 0; line < 48; ++line) {
        for (int column = 0; column < 2; ++column) {
            painter.drawText(20 + column * 960, 30 + line * 21,
                             QStringLiteral("Line %1: the quarterly budget meeting moved to Thursday at %2 pm")
                                 .arg(line * 2 + column)
                                 .arg(1 + line % 11));
        }
    }
    return image;
}

void BM_Recognize1080p(benchmark::State &state)
{
    const QImage screen = textScreen();
    // As captures run it: on a small pool of worker threads.
    QThreadPool pool;
    pool.setMaxThreadCount(2);
    std::vector<double> cpu;
    qsizetype characters = 0;
    for (auto _ : state) {
        const double before = processCpuSeconds();
        std::optional<QString> text;
        pool.start([&] { text = recognizeText(screen); });
        pool.waitForDone();
        cpu.push_back(processCpuSeconds() - before);
        characters = text ? text->size() : 0;
    }
    const double end = processCpuSeconds();
    QThread::msleep(2000);
    const double afterTwo = processCpuSeconds();
    QThread::msleep(3000);
    const double afterFive = processCpuSeconds();
    std::sort(cpu.begin(), cpu.end());
    state.counters["cpu_s_per_recognition"] = cpu[cpu.size() / 2];
    state.counters["characters"] = double(characters);
    state.counters["cpu_pct_first_2s_after"] = (afterTwo - end) / 2.0 * 100;
    state.counters["cpu_pct_2s_to_5s_after"] = (afterFive - afterTwo) / 3.0 * 100;
}
BENCHMARK(BM_Recognize1080p)->Iterations(3)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv)
{
    // OpenMP reads these as the library loads, before main: start again with them, as the
    // quillmere command starts the program.
    if (qEnvironmentVariableIsEmpty("QUILLMERE_BENCH_OPENMP_AS_IS")
        && (!qEnvironmentVariableIsSet("OMP_THREAD_LIMIT") || !qEnvironmentVariableIsSet("OMP_WAIT_POLICY"))) {
        ::setenv("OMP_THREAD_LIMIT", "1", 0);
        ::setenv("OMP_WAIT_POLICY", "PASSIVE", 0);
        ::execv("/proc/self/exe", argv);
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    std::printf("OMP_THREAD_LIMIT=%s OMP_WAIT_POLICY=%s\n", qgetenv("OMP_THREAD_LIMIT").constData(),
                qgetenv("OMP_WAIT_POLICY").constData());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
