#include "Quillmere/Platform/Core/UnixSignals.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace quillmere {
namespace {
int g_signalPipe[2] = {-1, -1};
// Set before any signal is handled, read only in the handler.
timer_t g_endTimer{};
long g_endWithinMs = 0;
volatile std::sig_atomic_t g_ending = 0;
// While work that must not be cut off runs: the time the end waits for instead, the longest
// step of those that live, which may be on several threads.
std::atomic<long> g_postponedMs{0};
static_assert(std::atomic<long>::is_always_lock_free);
std::mutex g_postponementsMutex;
std::multiset<long> g_postponements;

void armEnd(long ms)
{
    itimerspec when{};
    when.it_value.tv_sec = ms / 1000;
    when.it_value.tv_nsec = (ms % 1000) * 1'000'000;
    ::timer_settime(g_endTimer, 0, &when, nullptr);
}

void onAlarm(int)
{
    static const char said[] =
        "quillmere: still quitting when the time after the signal ran out; ending without finishing\n";
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, said, sizeof said - 1);
    ::_exit(1);
}

void onSignal(int sig)
{
    // Never block in the handler (a full pipe already says "quit") and leave errno as the
    // interrupted code had it.
    const int savedErrno = errno;
    const char byte = char(sig);
    [[maybe_unused]] auto n = ::write(g_signalPipe[0], &byte, 1);
    // Only the first signal sets the alarm: later ones would put it off again.
    if (g_endWithinMs > 0 && !g_ending) {
        g_ending = 1;
        const long postponed = g_postponedMs.load();
        armEnd(postponed > 0 ? postponed : g_endWithinMs);
    }
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
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
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

UnixSignals::EndPostponed::EndPostponed(std::chrono::milliseconds step) : m_stepMs(long(step.count()))
{
    if (g_endWithinMs == 0)
        return;
    const std::lock_guard lock(g_postponementsMutex);
    g_postponements.insert(m_stepMs);
    m_counted = true;
    g_postponedMs = *g_postponements.rbegin();
    if (g_ending)
        armEnd(g_postponedMs);
}

UnixSignals::EndPostponed::~EndPostponed()
{
    if (!m_counted)
        return;
    const std::lock_guard lock(g_postponementsMutex);
    g_postponements.erase(g_postponements.find(m_stepMs));
    g_postponedMs = g_postponements.empty() ? 0 : *g_postponements.rbegin();
    if (g_ending)
        armEnd(g_postponedMs > 0 ? g_postponedMs.load() : g_endWithinMs);
}

void UnixSignals::EndPostponed::advance() const
{
    // Another thread's longer step may be under way: it is never cut short by this one's.
    if (g_endWithinMs != 0 && g_ending)
        armEnd(std::max(m_stepMs, g_postponedMs.load()));
}

UnixSignals::~UnixSignals()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    // The socket outlives this watcher: signals it was not told of must not reach the next one.
    if (m_notifier) {
        char bytes[256];
        while (::read(g_signalPipe[1], bytes, sizeof bytes) > 0) {}
    }
}

} // namespace quillmere
