#pragma once

// Helpers the benchmarks share.

#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/StatusGlyph.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/SoundPlayer.h"

#include <QApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtGlobal>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

namespace quillmere::bench {

// `size` bytes that no compressor shrinks, the same for the same seed.
inline QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

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

struct Silence : SoundPlayer {
    void play(const QString &) override {}
};

// The whole program on the demo's store in memory, silent, with no drop watching and no tray
// icon. `fill` stores clips before the program starts.
struct Program {
    QTemporaryDir dir;
    Preferences prefs{dir.filePath(QStringLiteral("prefs.json"))};
    NotificationCenter center;
    std::unique_ptr<AppEnvironment> environment;
    std::unique_ptr<AppDelegate> delegate;

    explicit Program(const std::function<void(ClipStore &)> &fill, bool registerHotKeys)
    {
        AppEnvironment::Options options;
        options.arguments = {QStringLiteral("quillmere"), QStringLiteral("--demo-data")};
        options.store.preferences = &prefs;
        options.store.notificationCenter = &center;
        environment = std::make_unique<AppEnvironment>(options);
        if (fill)
            fill(environment->store());
        AppDelegate::Platform platform;
        platform.glyphs = std::make_shared<StatusGlyphs>();
        platform.sounds = std::make_unique<Silence>();
        platform.watchDrops = false;
        platform.installStatusItem = false;
        platform.registerHotKeys = registerHotKeys;
        delegate = std::make_unique<AppDelegate>(*environment, prefs, center, std::move(platform));
        delegate->applicationDidFinishLaunching(options.arguments);
    }
};

// Runs the benchmarks in an `Application`; those that draw and need no display draw offscreen.
template <typename Application> int runBenchmarks(int argc, char **argv, bool offscreen = false)
{
    if (offscreen && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// Runs the benchmarks of a program that shows windows on the X display it was started on.
inline int runWindowBenchmarks(int argc, char **argv)
{
    QTemporaryDir home;
    if (!prepareDisplayBenchmark(home))
        return 1;
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
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
