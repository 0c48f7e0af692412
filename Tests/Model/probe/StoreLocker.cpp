// Holds the write lock of a store file from a process of its own, as another program using the
// same file would. Prints "locked" once it holds it, and lets go when its input gives a line or
// closes, or after the milliseconds given as the second argument.
#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fputs("usage: store_locker STORE [HOLD_MS]\n", stderr);
        return 2;
    }
    const int holdMs = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : -1;
    int status = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
        db.setDatabaseName(QString::fromLocal8Bit(argv[1]));
        QSqlQuery q(db);
        if (!db.open() || !q.exec(QStringLiteral("BEGIN EXCLUSIVE"))) {
            std::fprintf(stderr, "store_locker: %s\n", qPrintable(db.lastError().text() + q.lastError().text()));
            return 1;
        }
        std::puts("locked");
        std::fflush(stdout);
        pollfd input{STDIN_FILENO, POLLIN, 0};
        ::poll(&input, 1, holdMs);
        if (!q.exec(QStringLiteral("ROLLBACK")))
            status = 1;
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("locker"));
    return status;
}
