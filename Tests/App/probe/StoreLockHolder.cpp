// Holds the lock of a store from a process of its own, as a running program does. Prints what
// taking it gave ("held", "elsewhere" or "unavailable") and keeps it until its input gives a line
// or closes.
#include "Quillmere/App/StoreLock.h"

#include <QCoreApplication>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

using quillmere::StoreLock;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fputs("usage: store_lock_holder STORE [SOCKET]\n", stderr);
        return 2;
    }
    const StoreLock lock(QString::fromLocal8Bit(argv[1]), argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString());
    std::puts(lock.state() == StoreLock::State::held                ? "held"
                  : lock.state() == StoreLock::State::heldElsewhere ? "elsewhere"
                                                                    : "unavailable");
    std::fflush(stdout);
    pollfd input{STDIN_FILENO, POLLIN, 0};
    ::poll(&input, 1, -1);
    return 0;
}
