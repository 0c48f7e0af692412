#include "Quillmere/App/UpdateChecker.h"
#include "Support/TestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(UpdateChecker, WithoutAFeedNothingGoesToTheNetwork)
{
    test::TempPreferences prefs;
    std::vector<UpdateChecker::Result> results;
    UpdateChecker checker(*prefs, QVersionNumber(0, 1, 0), [&](const auto &r) { results.push_back(r); });
    checker.checkForUpdates();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].kind, UpdateChecker::Result::Kind::packageManaged);

    for (const QString bad : {"file:///etc/passwd", "not a url", "ftp://example.org/feed"}) {
        prefs->setString(UpdateChecker::feedKey, bad);
        EXPECT_FALSE(checker.feedUrl().has_value()) << bad.toStdString();
    }
}

TEST(UpdateChecker, FeedIsComparedByVersionAndOnlyWebLinksAreOffered)
{
    using Kind = UpdateChecker::Result::Kind;
    const QVersionNumber current(1, 4, 0);
    EXPECT_EQ(UpdateChecker::evaluateFeed(R"({"version":"1.4.0"})", current).kind, Kind::upToDate);
    EXPECT_EQ(UpdateChecker::evaluateFeed(R"({"version":"1.3.9"})", current).kind, Kind::upToDate);
    const auto newer = UpdateChecker::evaluateFeed(R"({"version":"1.10.0","url":"https://example.org/get"})", current);
    EXPECT_EQ(newer.kind, Kind::available);
    EXPECT_EQ(newer.downloadUrl, QUrl("https://example.org/get"));
    EXPECT_TRUE(UpdateChecker::evaluateFeed(R"j({"version":"2.0","url":"javascript:alert(1)"})j", current)
                    .downloadUrl.isEmpty());
    EXPECT_EQ(UpdateChecker::evaluateFeed("{}", current).kind, Kind::failed);
    EXPECT_EQ(UpdateChecker::evaluateFeed("garbage", current).kind, Kind::failed);
}

TEST(UpdateChecker, AnotherCheckCanStartWhileTheLastResultIsShown)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    int requests = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [&requests, socket] {
                if (!socket->readAll().contains("\r\n\r\n"))
                    return;
                ++requests;
                const QByteArray body = R"({"version":"0.1.0"})";
                socket->write(
                    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: "
                    + QByteArray::number(body.size()) + "\r\n\r\n" + body);
                socket->disconnectFromHost();
            });
        }
    });
    test::TempPreferences prefs;
    prefs->setString(UpdateChecker::feedKey, QString("http://127.0.0.1:%1/feed").arg(server.serverPort()));
    std::vector<UpdateChecker::Result::Kind> results;
    UpdateChecker *checker = nullptr;
    UpdateChecker owned(*prefs, QVersionNumber(0, 1, 0), [&](const UpdateChecker::Result &r) {
        results.push_back(r.kind);
        // The user asks again while the first answer is still on screen.
        if (results.size() == 1)
            checker->checkForUpdates();
    });
    checker = &owned;
    checker->checkForUpdates();
    ASSERT_TRUE(test::waitUntil([&] { return results.size() == 2; }));
    EXPECT_EQ(requests, 2);
    EXPECT_EQ(results[1], UpdateChecker::Result::Kind::upToDate);
}
