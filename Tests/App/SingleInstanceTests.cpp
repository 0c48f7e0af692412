#include "Quillmere/App/SingleInstance.h"

#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quillmere;

TEST(SingleInstance, SecondStartHandsItsArgumentsToTheFirst)
{
    const QString name = "quillmere-test-" + QUuid::createUuid().toString(QUuid::Id128);
    SingleInstance first(name);
    ASSERT_TRUE(first.claim({}));
    QSignalSpy received(&first, &SingleInstance::argumentsReceived);

    SingleInstance second(name);
    EXPECT_FALSE(second.claim({"--show-panel"}));
    ASSERT_TRUE(received.wait(2000));
    EXPECT_EQ(received.front().front().toStringList(), QStringList{"--show-panel"});
}

TEST(SingleInstance, StaleSocketFromACrashedRunIsTakenOver)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("quillmere");
    // What a killed run leaves behind: a bound socket file with nobody listening.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path);
    ASSERT_LT(size_t(native.size()), sizeof(address.sun_path));
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(path));

    SingleInstance fresh(path);
    ASSERT_TRUE(fresh.claim({}));
    QSignalSpy received(&fresh, &SingleInstance::argumentsReceived);
    EXPECT_FALSE(SingleInstance(path).claim({"--show-settings"}));
    ASSERT_TRUE(received.wait(2000));
    EXPECT_EQ(received.front().front().toStringList(), QStringList{"--show-settings"});
}

TEST(SingleInstance, MalformedAndOversizedRequestsAreDropped)
{
    const QString name = "quillmere-test-" + QUuid::createUuid().toString(QUuid::Id128);
    SingleInstance first(name);
    ASSERT_TRUE(first.claim({}));
    QSignalSpy received(&first, &SingleInstance::argumentsReceived);

    QLocalSocket noisy;
    noisy.connectToServer(name);
    ASSERT_TRUE(noisy.waitForConnected(1000));
    noisy.write("not json\n[1, 2]\n{\"a\": 1}\n");
    // A line too long to be a request, then something that would parse if taken on its own.
    noisy.write(QByteArray(100 * 1024, ' ') + "[\"--show-panel\"]\n");
    noisy.flush();
    QSignalSpy closed(&noisy, &QLocalSocket::disconnected);
    EXPECT_TRUE(closed.wait(2000));

    EXPECT_FALSE(SingleInstance(name).claim({"--show-settings"}));
    ASSERT_TRUE(received.wait(2000));
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received.front().front().toStringList(), QStringList{"--show-settings"});
}
