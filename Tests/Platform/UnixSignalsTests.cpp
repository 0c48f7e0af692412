#include "Quillmere/Platform/Core/UnixSignals.h"
#include "Support/ChildProcess.h"

#include <QSignalSpy>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

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
