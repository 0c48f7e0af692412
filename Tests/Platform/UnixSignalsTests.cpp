#include "Quillmere/Platform/Core/UnixSignals.h"

#include <QSignalSpy>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>

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
