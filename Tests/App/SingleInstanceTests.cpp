#include "Quillmere/App/SingleInstance.h"
#include "Support/PrivateMounts.h"
#include "Support/TestSupport.h"

#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillmere;
using Claim = SingleInstance::Claim;

namespace {

sockaddr_un socketAddress(const QString &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path);
    std::memcpy(address.sun_path, native.constData(), std::min(size_t(native.size()), sizeof(address.sun_path) - 1));
    return address;
}

// Runs `body` in a child process as the user nobody, in `directory`: names relative to it need
// no way in from the root, which nobody may not have. The child of a threaded process may only
// make system calls, so `body` does nothing else.
template <typename Body> pid_t spawnAsNobody(const QString &directory, Body body)
{
    const QByteArray native = QFile::encodeName(directory);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(10);
        if (::chdir(native.constData()) != 0 || !test::PrivateMounts::becomeNobody())
            ::_exit(2);
        ::_exit(body());
    }
    return pid;
}

int exitStatusOf(pid_t pid)
{
    int status = 0;
    if (!test::waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Puts $XDG_RUNTIME_DIR and $TMPDIR as a test wants them, and back afterwards.
struct Environment {
    QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    QByteArray tmp = qgetenv("TMPDIR");
    ~Environment()
    {
        qputenv("XDG_RUNTIME_DIR", runtime);
        qputenv("TMPDIR", tmp);
    }
};

} // namespace

TEST(SingleInstance, SecondStartHandsItsArgumentsToTheFirst)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("quillmere");
    SingleInstance first(path);
    ASSERT_EQ(first.claim({}), Claim::first);
    QSignalSpy received(&first, &SingleInstance::argumentsReceived);

    SingleInstance second(path);
    EXPECT_EQ(second.claim({"--show-panel"}), Claim::handedOver);
    ASSERT_TRUE(received.wait(test::patienceMs));
    EXPECT_EQ(received.front().front().toStringList(), QStringList{"--show-panel"});
}

TEST(SingleInstance, AnEarlyHandOverReachesTheRunningOneOrFindsNobody)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("quillmere");
    EXPECT_EQ(SingleInstance::handOver(path, {"--show-panel"}), Claim::first);
    SingleInstance first(path);
    ASSERT_EQ(first.claim({}), Claim::first);
    QSignalSpy received(&first, &SingleInstance::argumentsReceived);

    EXPECT_EQ(SingleInstance::handOver(path, {"--show-panel", "--keep-open"}), Claim::handedOver);
    ASSERT_TRUE(received.wait(test::patienceMs));
    EXPECT_EQ(received.front().front().toStringList(), (QStringList{"--show-panel", "--keep-open"}));
    EXPECT_EQ(SingleInstance::handOver(path, {QString(SingleInstance::maxRequestBytes, QLatin1Char('x'))}),
              Claim::requestTooLarge);
}

TEST(SingleInstance, StaleSocketFromACrashedRunIsTakenOver)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("quillmere");
    // What a killed run leaves behind: a bound socket file with nobody listening.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    const sockaddr_un address = socketAddress(path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(path));

    SingleInstance fresh(path);
    ASSERT_EQ(fresh.claim({}), Claim::first);
    QSignalSpy received(&fresh, &SingleInstance::argumentsReceived);
    EXPECT_EQ(SingleInstance(path).claim({"--show-settings"}), Claim::handedOver);
    ASSERT_TRUE(received.wait(test::patienceMs));
    EXPECT_EQ(received.front().front().toStringList(), QStringList{"--show-settings"});
}

TEST(SingleInstance, MalformedAndOversizedRequestsAreDroppedAndTooLargeOnesNotSent)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("quillmere");
    SingleInstance first(path);
    ASSERT_EQ(first.claim({}), Claim::first);
    QSignalSpy received(&first, &SingleInstance::argumentsReceived);

    QLocalSocket noisy;
    noisy.connectToServer(path);
    ASSERT_TRUE(noisy.waitForConnected(1000));
    noisy.write("not json\n[1, 2]\n{\"a\": 1}\n");
    // A line too long to be a request, then something that would parse if taken on its own.
    noisy.write(QByteArray(100 * 1024, ' ') + "[\"--show-panel\"]\n");
    noisy.flush();
    QSignalSpy closed(&noisy, &QLocalSocket::disconnected);
    EXPECT_TRUE(closed.wait(test::patienceMs));

    // The largest request the first one reads arrives; one byte more is refused by the sender.
    const int padding = int(SingleInstance::maxRequestBytes) - 5; // ["…"] and the line feed
    EXPECT_EQ(SingleInstance(path).claim({QString(padding + 1, 'x')}), Claim::requestTooLarge);
    EXPECT_EQ(SingleInstance(path).claim({QString(padding, 'x')}), Claim::handedOver);
    ASSERT_TRUE(received.wait(test::patienceMs));
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received.front().front().toStringList().front().size(), padding);
}

TEST(SingleInstance, SocketLivesInAFolderOnlyTheUserCanEnter)
{
    Environment restore;
    QTemporaryDir tmp;
    qputenv("TMPDIR", tmp.path().toUtf8());
    const QString fallback = tmp.filePath(QStringLiteral("quillmere-%1").arg(::geteuid()));

    // A session's private runtime folder is used as it is.
    qputenv("XDG_RUNTIME_DIR", tmp.path().toUtf8());
    EXPECT_EQ(SingleInstance::defaultName("-demo"), tmp.filePath("quillmere-demo"));

    // Without one, a folder of our own in the temp folder, made private as it is created.
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstance::defaultName(), fallback + "/instance");
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(fallback).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A runtime folder open to others is not private; neither is a fallback someone else prepared.
    ::chmod(QFile::encodeName(tmp.path()).constData(), 0755);
    qputenv("XDG_RUNTIME_DIR", tmp.path().toUtf8());
    EXPECT_EQ(SingleInstance::defaultName(), fallback + "/instance");
    qunsetenv("XDG_RUNTIME_DIR");
    ASSERT_TRUE(QDir(fallback).removeRecursively());
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), fallback));
    EXPECT_EQ(SingleInstance::defaultName(), QString()) << "a symbolic link is not our folder";
    ASSERT_TRUE(QFile::remove(fallback));
    ASSERT_TRUE(QDir().mkdir(fallback));
    ::chmod(QFile::encodeName(fallback).constData(), 0777);
    EXPECT_EQ(SingleInstance::defaultName(), QString());

    // With no private place at all, every start runs on its own rather than not at all.
    SingleInstance alone(SingleInstance::defaultName());
    EXPECT_EQ(alone.claim({"--show-panel"}), Claim::first);
    EXPECT_EQ(SingleInstance(QString()).claim({}), Claim::first);
}

TEST(SingleInstance, AnotherUsersServerOrRequestCountsForNothing)
{
    // It acts as a second user.
    QUILLMERE_SKIP_WITHOUT(test::PrivateMounts::otherUser());
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0777);
    const QString path = dir.filePath("quillmere");
    const sockaddr_un address = socketAddress("quillmere");

    // Someone else listens first: our start does not take that for a running copy.
    int ready[2], stop[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(stop), 0);
    const pid_t server = spawnAsNobody(dir.path(), [&] {
        ::close(stop[1]);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0
            || ::listen(fd, 4) != 0)
            return 3;
        ::write(ready[1], "r", 1);
        // Ends when the test closes its end: an ordinary user may not signal nobody.
        char end = 0;
        ::read(stop[0], &end, 1);
        return 0;
    });
    ::close(ready[1]);
    ::close(stop[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the other user could not listen";
    ::close(ready[0]);
    SingleInstance first(path);
    EXPECT_EQ(first.claim({"--show-panel"}), Claim::first);
    ::close(stop[1]);
    EXPECT_EQ(exitStatusOf(server), 0);
    QSignalSpy received(&first, &SingleInstance::argumentsReceived);

    // Someone else sends a request: the connection is closed unread.
    ::chmod(QFile::encodeName(path).constData(), 0777);
    const pid_t client = spawnAsNobody(dir.path(), [&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0)
            return 3;
        const char request[] = "[\"--show-settings\"]\n";
        ::write(fd, request, sizeof(request) - 1);
        char buffer[64];
        while (::read(fd, buffer, sizeof(buffer)) > 0) {}
        return 0;
    });
    EXPECT_EQ(exitStatusOf(client), 0) << "the request was closed unread";

    EXPECT_EQ(SingleInstance(path).claim({"--show-panel"}), Claim::handedOver);
    ASSERT_TRUE(received.wait(test::patienceMs));
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received.front().front().toStringList(), QStringList{"--show-panel"});
}
