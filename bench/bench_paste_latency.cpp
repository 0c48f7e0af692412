// Return in the history panel to the clip's text showing in the window that was in front, a
// text field of another process, over 40 pastes. Goal: p50 at most 120 ms, p95 at most 200 ms.
// The clock starts when the XTest Return is flushed to the server and stops at the steady-clock
// time the target program reports its text changed. Needs a window manager:
// /work/dev/xenv ./bench_paste_latency (or xvfb-run with openbox).

#include "BenchSupport.h"
#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/Panel/Window/HistoryPanel.h"
#include "Quillmere/Panel/Window/PanelController.h"
#include "Quillmere/Platform/WindowActivator.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <functional>

using namespace quillmere;
using SteadyClock = std::chrono::steady_clock;

namespace {

// The program pasted into: one line of text, each change reported with its steady-clock time.
struct Target {
    QProcess process;
    quint32 window = 0;
    int changes = 0;
    qint64 changedAtNs = 0;

    Target()
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            while (process.canReadLine()) {
                const QByteArray line = process.readLine().trimmed();
                if (line.startsWith("ready "))
                    window = line.mid(6).toUInt();
                else if (line.startsWith("text ")) {
                    changedAtNs = line.split(' ').value(1).toLongLong();
                    ++changes;
                }
            }
        });
        process.start(QStringLiteral(QUILLMERE_TEST_WINDOW),
                      {QStringLiteral("--text"), QStringLiteral("paste target"), QStringLiteral("clear")});
    }
    ~Target()
    {
        process.kill();
        process.waitForFinished(5000);
    }
};

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (SteadyClock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void BM_ReturnToTextInTarget(benchmark::State &state)
{
    bench::Program program({}, false);
    PanelController *controller = program.delegate->panelController();
    std::unique_ptr<Display, int (*)(Display *)> display(XOpenDisplay(nullptr), XCloseDisplay);
    Target target;
    X11WindowActivator windows;
    if (!controller || !display || !waitFor([&] { return target.window != 0; }, 10000)) {
        state.SkipWithError("needs an X display with XTest, a window manager and the target program");
        return;
    }
    Display *d = display.get();
    const KeyCode returnKey = XKeysymToKeycode(d, XK_Return);
    const WindowTarget targetWindow{target.window, 0};
    std::vector<double> latencies;
    for (auto _ : state) {
        windows.activate(targetWindow);
        if (!waitFor([&] { return windows.isFrontmost(targetWindow); }, 5000)) {
            state.SkipWithError("the target did not take the focus");
            return;
        }
        controller->show();
        if (!waitFor([&] { return controller->isShown() && controller->panel().hasKeyFocus(); }, 5000)) {
            state.SkipWithError("the panel did not open");
            return;
        }
        const int before = target.changes;
        XTestFakeKeyEvent(d, returnKey, True, CurrentTime);
        XTestFakeKeyEvent(d, returnKey, False, CurrentTime);
        XFlush(d);
        const qint64 sentNs = std::chrono::nanoseconds(SteadyClock::now().time_since_epoch()).count();
        if (!waitFor([&] { return target.changes > before; }, 5000)) {
            state.SkipWithError("the paste did not arrive within 5 s");
            return;
        }
        const double ms = double(target.changedAtNs - sentNs) / 1e6;
        latencies.push_back(ms);
        state.SetIterationTime(ms / 1000);
        waitFor([&] { return !controller->isVisible(); }, 2000);
    }
    bench::reportPercentiles(state, latencies, {50, 95});
}
BENCHMARK(BM_ReturnToTextInTarget)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench::runWindowBenchmarks(argc, argv);
}
