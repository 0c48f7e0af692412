#include "LoopbackServer.h"
#include "Quillmere/Capture/Upload/CaptureUploadService.h"
#include "Quillmere/Capture/Upload/ManagedCloudClient.h"
#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Model/Records.h"
#include "Support/TestSupport.h"
#include "UploadTestSupport.h"

#include <QNetworkAccessManager>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

using Request = test::LoopbackServer::Request;

// Runs uploadObject then, when it gave an id, share; returns the link or the failure's text.
QString managedUpload(QNetworkAccessManager &network, const test::LoopbackServer &server, const QByteArray &png = "PNG")
{
    const ManagedCloudClient client(ManagedCloudConfiguration{QUrl(server.origin() + "/api")}, network, true);
    QObject context;
    std::optional<QString> outcome;
    client.uploadObject(png, "Brindlewax-Cloud-Test.png", "tok-123", &context, [&](ManagedCloudClient::ObjectResult r) {
        if (const auto *failure = std::get_if<ManagedCloudFailure>(&r)) {
            outcome = "upload: " + describe(*failure);
            if (failure->cloudError && failure->cloudError->kind() == ManagedCloudError::Kind::server)
                *outcome += " " + QString::number(failure->cloudError->status());
            return;
        }
        client.share(std::get<QString>(r), "tok-123", &context, [&](ManagedCloudClient::ShareResult s) {
            if (const auto *failure = std::get_if<ManagedCloudFailure>(&s))
                outcome = "share: " + describe(*failure);
            else
                outcome = std::get<QUrl>(s).toString();
        });
    });
    EXPECT_TRUE(test::waitUntil([&] { return outcome.has_value(); }, 20000));
    return outcome.value_or("<none>");
}

} // namespace

TEST(ManagedCloudConfiguration, BaseURLMustBeTrimmedHttpsText)
{
    auto from = [](const QVariant &value) {
        const auto config = ManagedCloudConfiguration::fromBundle({{ManagedCloudConfiguration::infoKey, value}});
        return config ? config->baseURL.toString() : QStringLiteral("<none>");
    };
    EXPECT_EQ(from(" https://api.example.com/\n"), "https://api.example.com/");
    for (const QVariant &bad :
         {QVariant("$(QUILLMERE_CLOUD_API_BASE_URL)"), QVariant(""), QVariant("  "), QVariant(42),
          QVariant("http://api.example.com"), QVariant("api.example.com"), QVariant("HTTPS://api.example.com")})
        EXPECT_EQ(from(bad), "<none>") << bad.toString().toStdString();
    EXPECT_EQ(ManagedCloudConfiguration::fromBundle({}), std::nullopt);

    EXPECT_EQ(ManagedCloudClient::endpoint(QUrl("https://a.example"), "v1/objects").toString(),
              "https://a.example/v1/objects");
    EXPECT_EQ(ManagedCloudClient::endpoint(QUrl("https://a.example/api/"), "v1/objects/x y/share")
                  .toString(QUrl::FullyEncoded),
              "https://a.example/api/v1/objects/x%20y/share");
}

TEST(ManagedCloudClient, StoresThenSharesWithTheTokenOnBothRequests)
{
    test::LoopbackServer server([](const Request &r) {
        if (r.target == "/api/v1/objects")
            return test::LoopbackServer::json(201, R"({"id":"obj-1","size":3})");
        return test::LoopbackServer::json(200, R"({"url":"https://share.example/obj-1.png"})");
    });
    QNetworkAccessManager network;
    EXPECT_EQ(managedUpload(network, server, "\x89PNG"), "https://share.example/obj-1.png");

    ASSERT_EQ(server.requests().size(), 2);
    const Request &store = server.requests()[0];
    EXPECT_EQ(store.method, "POST");
    EXPECT_EQ(store.headers.value("authorization"), "Bearer tok-123");
    EXPECT_EQ(store.headers.value("content-type"), "image/png");
    EXPECT_EQ(store.headers.value("x-file-name"), "Brindlewax-Cloud-Test.png");
    EXPECT_EQ(store.body, "\x89PNG");
    const Request &share = server.requests()[1];
    EXPECT_EQ(share.method, "POST");
    EXPECT_EQ(share.target, "/api/v1/objects/obj-1/share");
    EXPECT_EQ(share.headers.value("authorization"), "Bearer tok-123");
    EXPECT_FALSE(share.headers.contains("content-type"));
    EXPECT_TRUE(share.body.isEmpty());
}

TEST(ManagedCloudClient, EveryBadAnswerMapsToItsErrorAndNeverShowsTheCode)
{
    QByteArray storeAnswer, shareAnswer;
    test::LoopbackServer server(
        [&](const Request &r) { return r.target.endsWith("/share") ? shareAnswer : storeAnswer; });
    QNetworkAccessManager network;
    const QByteArray ok = test::LoopbackServer::json(200, R"({"id":"obj-1"})");
    const QString couldNot = QStringLiteral("Brindlewax Cloud could not complete the upload.");
    const QString unexpected = QStringLiteral("Brindlewax Cloud returned an unexpected response.");

    const std::pair<QByteArray, QString> storeCases[] = {
        {test::LoopbackServer::json(401, R"({"error":"unauthorized"})"), "upload: " + couldNot + " 401"},
        {test::LoopbackServer::answer(503), "upload: " + couldNot + " 503"},
        {test::LoopbackServer::answer(300), "upload: " + couldNot + " 300"},
        {test::LoopbackServer::answer(409), "upload: Your 25 GB Brindlewax Cloud storage is full."},
        {test::LoopbackServer::answer(413), "upload: This capture is too large for Brindlewax Cloud."},
        {test::LoopbackServer::json(200, R"({"id":)"), "upload: " + unexpected},
        {test::LoopbackServer::json(200, R"({"id":7})"), "upload: " + unexpected},
        {test::LoopbackServer::json(200, R"({"id":")" + QByteArray(100 * 1024, 'x') + R"("})"),
         "upload: " + unexpected},
    };
    for (const auto &[answer, expected] : storeCases) {
        storeAnswer = answer;
        EXPECT_EQ(managedUpload(network, server), expected) << answer.left(40).toStdString();
    }

    storeAnswer = ok;
    const std::pair<QByteArray, QString> shareCases[] = {
        {test::LoopbackServer::answer(409), "share: " + couldNot},
        {test::LoopbackServer::answer(500), "share: " + couldNot},
        {test::LoopbackServer::json(200, R"({"url":"not a url"})"), "share: " + unexpected},
        {test::LoopbackServer::json(200, R"(["https://x.example"])"), "share: " + unexpected},
    };
    for (const auto &[answer, expected] : shareCases) {
        shareAnswer = answer;
        EXPECT_EQ(managedUpload(network, server), expected) << answer.left(40).toStdString();
    }
}

TEST(ManagedCloudClient, RedirectNeverTakesTheTokenToAnotherHost)
{
    test::LoopbackServer elsewhere(
        [](const Request &) { return test::LoopbackServer::json(200, R"({"id":"stolen"})"); },
        QHostAddress("127.0.0.2"));
    ASSERT_NE(elsewhere.port(), 0);
    test::LoopbackServer server([&](const Request &) {
        return test::LoopbackServer::answer(307, {}, "Location: " + elsewhere.origin().toUtf8() + "/v1/objects\r\n");
    });
    QNetworkAccessManager network;
    EXPECT_EQ(managedUpload(network, server), "upload: Brindlewax Cloud could not complete the upload. 307");
    QTest::qWait(100);
    EXPECT_TRUE(elsewhere.requests().isEmpty());
}

TEST(ManagedCloudClient, CaptureUploadMapsTheManagedPath)
{
    QByteArray storeAnswer = test::LoopbackServer::json(201, R"({"id":"obj-9"})");
    test::LoopbackServer server([&](const Request &r) {
        return r.target.endsWith("/share") ? test::LoopbackServer::json(200, R"({"url":"https://share.example/9"})")
                                           : storeAnswer;
    });
    QNetworkAccessManager network;
    test::TempPreferences prefs;
    std::optional<QString> token = QStringLiteral("tok-9");
    UploadEnvironment env;
    env.network = &network;
    env.preferences = prefs.prefs.get();
    env.bundleInfo = {{ManagedCloudConfiguration::infoKey, "https://example.invalid"}};
    env.managedAccessToken = [&] { return token; };
    env.allowLoopbackHttp = true;
    ClipItem clip;
    clip.setKind(ClipKind::image);
    clip.setImageData(QByteArray("image"));

    auto run = [&] {
        CaptureUploadService service({}, std::nullopt, env);
        std::optional<UploadResult> result;
        service.upload(clip, [&](UploadResult r) { result = r; });
        EXPECT_TRUE(test::waitUntil([&] { return result.has_value(); }, 20000));
        if (const auto *error = std::get_if<UploadError>(&*result))
            return error->message();
        return std::get<QUrl>(*result).toString();
    };

    token.reset();
    EXPECT_EQ(run(), "Missing key");
    EXPECT_EQ(server.requests().size(), 0);

    token = QStringLiteral("tok-9");
    env.bundleInfo = {{ManagedCloudConfiguration::infoKey, QStringLiteral("https://127.0.0.1:%1/").arg(server.port())}};
    EXPECT_EQ(run(), "https://share.example/9");
    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_TRUE(QRegularExpression("^Brindlewax-[0-9A-F-]{36}\\.png$")
                    .match(QString::fromUtf8(server.requests()[0].headers.value("x-file-name")))
                    .hasMatch());
    EXPECT_EQ(server.requests()[1].headers.value("authorization"), "Bearer tok-9");

    storeAnswer = test::LoopbackServer::answer(409);
    EXPECT_EQ(run(), "Error 409");
    storeAnswer = test::LoopbackServer::answer(413);
    EXPECT_EQ(run(), "Error 413");
    storeAnswer = test::LoopbackServer::json(200, "{}");
    EXPECT_EQ(run(), "Bad response");
}
