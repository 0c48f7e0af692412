#pragma once

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace quillmere::test {

// Runs `body` in a child process (which exits 0 if `body` returns) and answers how it ended: its
// exit status, or -1 when it ended by a signal or went on for 20 s (it is then killed).
template <typename Body> int exitStatusOfChild(Body body)
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

} // namespace quillmere::test
