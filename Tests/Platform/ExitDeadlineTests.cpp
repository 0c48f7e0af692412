#include "Quillmere/Platform/Core/ExitDeadline.h"

#include "Support/ChildProcess.h"

#include <QSemaphore>
#include <QThreadPool>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace quillmere;

TEST(ExitDeadline, ATeardownWaitingOnPoolWorkEndsWithTheQuitStatus)
{
    const int status = test::exitStatusOfChild([] {
        ExitDeadline deadline;
        QSemaphore never;
        QThreadPool pool;
        pool.start([&never] { never.acquire(); });
        deadline.arm(std::chrono::milliseconds(100), 42);
        pool.waitForDone(); // as the application's teardown waits for its pool
    });
    EXPECT_EQ(status, 42) << "a teardown stuck on background work must not hold the exit";
}

TEST(ExitDeadline, ATeardownThatFinishesEndsAsItWould)
{
    // Disarming must neither wait out the limit nor end the process with the deadline's status.
    const int status = test::exitStatusOfChild([] {
        {
            ExitDeadline deadline;
            deadline.arm(std::chrono::seconds(30), 42);
        }
        ::_exit(7);
    });
    EXPECT_EQ(status, 7);
}
