#include "Quillmere/Platform/Core/UnixSignals.h"
#include "Support/ChildProcess.h"

#include <QSignalSpy>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace quillmere;

TEST(UnixSignals, ABurstOfSignalsNeitherBlocksNorDisturbsErrno)
{
    UnixSignals watcher;
    QSignalSpy spy(&watcher, &UnixSignals::terminationRequested);
    // Far more than the wake-up pipe holds: a blocking write would hang here.
    for (int i = 0; i < 5000; ++i) {
        errno = EINTR;
        ASSERT_EQ(std::raise(i % 2 ? SIGINT : SIGTERM), 0);
        ASSERT_EQ(errno, EINTR);
    }
    ASSERT_TRUE(spy.wait(2000));
    EXPECT_EQ(spy.front().front().toInt(), SIGTERM);
}

// Signals a watcher was not told of go with it: a later watcher hears only its own.
TEST(UnixSignals, ANewWatcherHearsOnlyTheSignalsThatCameInItsTime)
{
    {
        UnixSignals earlier;
        QSignalSpy spy(&earlier, &UnixSignals::terminationRequested);
        for (int i = 0; i < 50; ++i)
            ASSERT_EQ(std::raise(SIGINT), 0);
        ASSERT_TRUE(spy.wait(2000));
    }
    UnixSignals watcher;
    QSignalSpy spy(&watcher, &UnixSignals::terminationRequested);
    ASSERT_EQ(std::raise(SIGTERM), 0);
    ASSERT_TRUE(spy.wait(2000));
    EXPECT_EQ(spy.front().front().toInt(), SIGTERM);
}

// SIGQUIT ignored is what a script's `&` leaves the program; SIGHUP ignored is nohup's wish.
TEST(UnixSignals, EachSignalThatAsksForAnEndIsHeardAndAHangUpIgnoredBeforeStaysIgnored)
{
    const auto heard = [](std::initializer_list<int> raised) {
        UnixSignals watcher;
        QSignalSpy spy(&watcher, &UnixSignals::terminationRequested);
        for (const int sig : raised)
            std::raise(sig);
        std::raise(SIGTERM);
        QList<int> got;
        while (got.size() < 10 && (!spy.isEmpty() || spy.wait(2000))) {
            got << spy.takeFirst().front().toInt();
            if (got.back() == SIGTERM)
                break;
        }
        return got;
    };
    std::signal(SIGQUIT, SIG_IGN);
    EXPECT_EQ(heard({SIGINT, SIGHUP, SIGQUIT}), (QList<int>{SIGINT, SIGHUP, SIGQUIT, SIGTERM}));
    std::signal(SIGHUP, SIG_IGN);
    EXPECT_EQ(heard({SIGHUP}), QList<int>{SIGTERM});
    std::signal(SIGHUP, SIG_DFL);
}

TEST(UnixSignals, AHeldMainThreadStillEndsSoonAfterTheFirstSignal)
{
    const int status = test::exitStatusOfChild([] {
        UnixSignals watcher;
        UnixSignals::endWithin(std::chrono::milliseconds(300));
        // The main thread never returns to its event loop, and more signals keep coming: each
        // must leave the first one's time as it was.
        for (int i = 0; i < 300; ++i) {
            std::raise(SIGTERM);
            ::usleep(100'000);
        }
    });
    EXPECT_EQ(status, 1) << "ended by the alarm, not by finishing its work (0) or never (-1)";
}

TEST(UnixSignals, AnEndNoSignalAskedForIsBoundByTheSameLimit)
{
    const int status = test::exitStatusOfChild([] {
        UnixSignals watcher;
        UnixSignals::endWithin(std::chrono::milliseconds(300));
        UnixSignals::endStarted();
        ::usleep(5'000'000);
    });
    EXPECT_EQ(status, 1) << "ended by the alarm, not by finishing its work (0) or never (-1)";
}

TEST(UnixSignals, WorkThatPostponesTheEndFinishesAndTheUsualLimitRunsAgainAfterIt)
{
    for (const bool signalFirst : {true, false}) {
        SCOPED_TRACE(signalFirst ? "signal before the work" : "signal during the work");
        const int finished = test::exitStatusOfChild([signalFirst] {
            UnixSignals watcher;
            UnixSignals::endWithin(std::chrono::milliseconds(300));
            if (signalFirst)
                std::raise(SIGTERM);
            {
                const UnixSignals::EndPostponed postponed(std::chrono::seconds(5));
                std::raise(SIGTERM);
                ::usleep(700'000);
            }
            ::_exit(5);
        });
        EXPECT_EQ(finished, 5) << "the postponed work was cut off";
    }
    const int held = test::exitStatusOfChild([] {
        UnixSignals watcher;
        UnixSignals::endWithin(std::chrono::milliseconds(300));
        std::raise(SIGTERM);
        {
            const UnixSignals::EndPostponed postponed(std::chrono::seconds(5));
        }
        ::usleep(5'000'000);
    });
    EXPECT_EQ(held, 1) << "ended by the alarm once the postponed work was done";
}

TEST(UnixSignals, WorkThatAdvancesIsWaitedForUntilAStepSticks)
{
    const auto run = [](int stuckAtStep) {
        return test::exitStatusOfChild([stuckAtStep] {
            UnixSignals watcher;
            UnixSignals::endWithin(std::chrono::milliseconds(100));
            std::raise(SIGTERM);
            const UnixSignals::EndPostponed postponed(std::chrono::milliseconds(500));
            // Thirty steps of 50 ms: three times the step's limit in all, each well within it.
            for (int step = 0; step < 30; ++step) {
                ::usleep(step == stuckAtStep ? 2'000'000 : 50'000);
                postponed.advance();
            }
            ::_exit(5);
        });
    };
    EXPECT_EQ(run(-1), 5) << "work that advanced was cut off";
    EXPECT_EQ(run(10), 1) << "a step that stuck did not end the program";
}

TEST(UnixSignals, APostponementWithinAnotherGivesItsStepBackWhenItEnds)
{
    const int status = test::exitStatusOfChild([] {
        UnixSignals watcher;
        UnixSignals::endWithin(std::chrono::milliseconds(100));
        std::raise(SIGTERM);
        const UnixSignals::EndPostponed outer(std::chrono::milliseconds(1500));
        {
            const UnixSignals::EndPostponed inner(std::chrono::milliseconds(300));
        }
        // Past the usual limit and the inner step, well within the outer step.
        ::usleep(600'000);
        ::_exit(5);
    });
    EXPECT_EQ(status, 5) << "the inner postponement put back the usual limit";
}

TEST(UnixSignals, APostponementEndingOnOneThreadLeavesAnotherThreadsStepInForce)
{
    const int status = test::exitStatusOfChild([] {
        UnixSignals watcher;
        UnixSignals::endWithin(std::chrono::milliseconds(100));
        std::raise(SIGTERM);
        std::optional<UnixSignals::EndPostponed> mine(std::in_place, std::chrono::milliseconds(300));
        std::atomic<bool> theirsBegun{false};
        std::thread worker([&theirsBegun] {
            const UnixSignals::EndPostponed theirs(std::chrono::milliseconds(1500));
            theirsBegun = true;
            // Past the usual limit and this thread's first step, well within the worker's step.
            ::usleep(600'000);
            ::_exit(5);
        });
        while (!theirsBegun)
            ::usleep(1000);
        mine.reset();
        worker.join();
    });
    EXPECT_EQ(status, 5) << "a postponement ending on one thread cut another thread's short";
}

namespace {
// Set on a thread whose next arming of the end's timer is to be slow, as a preempted thread's is.
thread_local int t_slowArmingMs = 0;
} // namespace

// The end's timer, armed as the program arms it or, on demand, late: a race that happens every time.
extern "C" int timer_settime(timer_t timer, int flags, const itimerspec *value, itimerspec *old) noexcept
{
    using Real = int (*)(timer_t, int, const itimerspec *, itimerspec *);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "timer_settime"));
    if (t_slowArmingMs > 0)
        ::usleep(useconds_t(std::exchange(t_slowArmingMs, 0)) * 1000);
    return real(timer, flags, value, old);
}

TEST(UnixSignals, AShortStepAdvancingOnOneThreadNeverCutsALongerOneAnotherThreadSets)
{
    const int status = test::exitStatusOfChild([] {
        UnixSignals watcher;
        UnixSignals::endWithin(std::chrono::milliseconds(100));
        std::raise(SIGTERM);
        std::thread shortStep([] {
            const UnixSignals::EndPostponed shorter(std::chrono::milliseconds(400));
            t_slowArmingMs = 200;
            shorter.advance();
            // Then held, say by the disk the other thread syncs.
            ::usleep(2'000'000);
        });
        // The shorter step is being armed again meanwhile.
        ::usleep(50'000);
        const UnixSignals::EndPostponed longer(std::chrono::milliseconds(1500));
        ::usleep(750'000);
        ::_exit(5);
    });
    EXPECT_EQ(status, 5) << "the shorter step, armed late, cut the longer one";
}
