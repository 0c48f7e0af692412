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

TEST(UnixSignals, AHeldMainThreadStillEndsSoonAfterTheFirstSignalOrAnEndNoSignalAskedFor)
{
    for (const bool signalled : {true, false}) {
        const int status = test::exitStatusOfChild([signalled] {
            UnixSignals watcher;
            UnixSignals::endWithin(std::chrono::milliseconds(300));
            if (!signalled)
                UnixSignals::endStarted();
            // The main thread never returns to its event loop, and more signals keep coming: each
            // must leave the first one's time as it was.
            for (int i = 0; i < 300; ++i) {
                if (signalled)
                    std::raise(SIGTERM);
                ::usleep(100'000);
            }
        });
        EXPECT_EQ(status, 1) << "ended by the alarm, not by finishing its work (0) or never (-1)";
    }
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
// Set on a thread whose next arming of the end's timer is to be late, as a preempted thread's is.
thread_local int t_lateArmingMs = 0;
} // namespace

extern "C" int timer_settime(timer_t timer, int flags, const itimerspec *value, itimerspec *old) noexcept
{
    using Real = int (*)(timer_t, int, const itimerspec *, itimerspec *);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "timer_settime"));
    ::usleep(useconds_t(std::exchange(t_lateArmingMs, 0)) * 1000);
    return real(timer, flags, value, old);
}

TEST(UnixSignals, AShorterStepArmedLateOnOneThreadNeverCutsALongerOneAnotherThreadSet)
{
    const int status = test::exitStatusOfChild([] {
        UnixSignals watcher;
        UnixSignals::endWithin(std::chrono::milliseconds(100));
        std::raise(SIGTERM);
        std::thread held([] {
            const UnixSignals::EndPostponed shorter(std::chrono::milliseconds(400));
            t_lateArmingMs = 200;
            shorter.advance();
            ::usleep(2'000'000);
        });
        ::usleep(50'000);
        const UnixSignals::EndPostponed longer(std::chrono::milliseconds(1500));
        ::usleep(750'000);
        ::_exit(5);
    });
    EXPECT_EQ(status, 5) << "the shorter step cut the longer one";
}
