#pragma once

// Helpers the benchmarks share.

#include <QProcess>
#include <QTemporaryDir>
#include <QtGlobal>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <vector>

namespace quillmere::bench {

// Reports "p<NN>_ms" for each percentile asked (nearest rank) and "max_ms".
inline void reportPercentiles(benchmark::State &state, std::vector<double> ms, std::initializer_list<int> percentiles)
{
    if (ms.empty())
        return;
    std::sort(ms.begin(), ms.end());
    for (const int p : percentiles) {
        const size_t rank = size_t(std::ceil(p / 100.0 * double(ms.size())));
        state.counters["p" + std::to_string(p) + "_ms"] = ms[std::min(ms.size(), std::max<size_t>(rank, 1)) - 1];
    }
    state.counters["max_ms"] = ms.back();
}

// The program's configuration and data go to `home`, never the user's own; Qt draws on X.
inline void useBenchmarkHome(const QTemporaryDir &home)
{
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("QT_QPA_PLATFORM", "xcb");
}

// A benchmark on the X display: false (with a message) when there is none.
inline bool prepareDisplayBenchmark(const QTemporaryDir &home)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "needs an X display; run it under xvfb-run\n");
        return false;
    }
    useBenchmarkHome(home);
    return true;
}

// Runs the benchmarks in an `Application` on an Xvfb of their own with one screen of `screen`
// ("WIDTHxHEIGHTxDEPTH"), whatever display this runs beside.
template <typename Application> int runOnOwnDisplay(int argc, char **argv, const QString &screen)
{
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                screen, QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!xvfb.waitForStarted(5000) || !xvfb.waitForReadyRead(10000)) {
        std::fprintf(stderr, "could not start Xvfb\n");
        return 1;
    }
    qputenv("DISPLAY", ":" + xvfb.readAllStandardOutput().trimmed());
    QTemporaryDir home;
    useBenchmarkHome(home);
    {
        Application app(argc, argv);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    return 0;
}

} // namespace quillmere::bench
