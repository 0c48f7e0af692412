#pragma once

// Helpers the latency benchmarks share.

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

// A benchmark on the X display: false (with a message) when there is none. The program's
// configuration and data go to `home`, never the user's own.
inline bool prepareDisplayBenchmark(const QTemporaryDir &home)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "needs an X display; run it under xvfb-run\n");
        return false;
    }
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("QT_QPA_PLATFORM", "xcb");
    return true;
}

} // namespace quillmere::bench
