#include "Quillmere/Platform/Core/UnixSignals.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillmere {
namespace {
int g_signalPipe[2] = {-1, -1};
// The signals that ask a program to end, each one's end the same.
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// Set before any signal is handled, read only in the handler.
timer_t g_endTimer{};
long g_endWithinMs = 0;
std::atomic<bool> g_ending{false};
// When the alarm ends the process, on the monotonic clock in nanoseconds; 0 while none is set.
std::atomic<qint64> g_endDueNs{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<qint64>::is_always_lock_free);

qint64 monotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void armEnd(long ms)
{
    itimerspec when{};
    when.it_value.tv_sec = ms / 1000;
    when.it_value.tv_nsec = (ms % 1000) * 1'000'000;
    ::timer_settime(g_endTimer, 0, &when, nullptr);
}

void onAlarm(int)
{
    static const char said[] = "quillmere: still quitting when the time to end ran out; ending without finishing\n";
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, said, sizeof said - 1);
    ::_exit(1);
}

// Only the first call sets the alarm: later ones would put it off again. It may run in a signal
// handler.
void beginEnd()
{
    if (g_endWithinMs == 0 || g_ending.exchange(true))
        return;
    g_endDueNs = monotonicNs() + qint64(g_endWithinMs) * 1'000'000;
    armEnd(g_endWithinMs);
}

void onSignal(int sig)
{
    // Never block in the handler (a full pipe already says "quit") and leave errno as the
    // interrupted code had it.
    const int savedErrno = errno;
    const char byte = char(sig);
    [[maybe_unused]] auto n = ::write(g_signalPipe[0], &byte, 1);
    beginEnd();
    errno = savedErrno;
}
} // namespace

UnixSignals::UnixSignals(QObject *parent) : QObject(parent)
{
    if (g_signalPipe[0] == -1
        && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[1], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(g_signalPipe[1], &byte, 1) == 1)
            Q_EMIT terminationRequested(int(byte));
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : kEndSignals) {
        // A SIGHUP ignored from the start was asked for (nohup) and stays so. SIGINT and SIGQUIT
        // ignored are what a script's `&` leaves behind, not a wish: they are heard.
        struct sigaction previous {};
        if (sig == SIGHUP && ::sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        ::sigaction(sig, &action, nullptr);
    }
}

void UnixSignals::endWithin(std::chrono::milliseconds limit)
{
    struct sigaction action {};
    action.sa_handler = onAlarm;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, nullptr);
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGALRM;
    if (g_endWithinMs == 0 && ::timer_create(CLOCK_MONOTONIC, &event, &g_endTimer) == 0)
        g_endWithinMs = long(limit.count());
}

void UnixSignals::endStarted()
{
    beginEnd();
}

std::optional<std::chrono::nanoseconds> UnixSignals::timeToEnd()
{
    const qint64 due = g_endDueNs;
    if (due == 0)
        return std::nullopt;
    return std::chrono::nanoseconds(std::max<qint64>(0, due - monotonicNs()));
}

UnixSignals::~UnixSignals()
{
    for (const int sig : kEndSignals) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == onSignal)
            ::signal(sig, SIG_DFL);
    }
    // The socket outlives this watcher: signals it was not told of must not reach the next one.
    if (m_notifier) {
        char bytes[256];
        while (::read(g_signalPipe[1], bytes, sizeof bytes) > 0) {}
    }
}

} // namespace quillmere
