#include "Quillmere/Platform/Core/ExitDeadline.h"

#include <QSemaphore>
#include <QThreadPool>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillmere;

namespace {

// Runs `body` in a child process and answers how it ended: its exit status, or -1 when it did not
// end within 20 s (it is then killed) or ended by a signal.
template <typename Body> int exitStatusOf(Body body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        body();
        ::_exit(0);
    }
    if (child < 0)
        return -2;
    for (int waited = 0; waited < 2000; ++waited) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        ::usleep(10'000);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return -1;
}

} // namespace

TEST(ExitDeadline, ATeardownWaitingOnPoolWorkEndsWithTheQuitStatus)
{
    const int status = exitStatusOf([] {
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
    const int status = exitStatusOf([] {
        {
            ExitDeadline deadline;
            deadline.arm(std::chrono::seconds(30), 42);
        }
        ::_exit(7);
    });
    EXPECT_EQ(status, 7);
}
