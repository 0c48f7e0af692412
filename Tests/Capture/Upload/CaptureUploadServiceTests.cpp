#include "LoopbackServer.h"
#include "Quillmere/Capture/Upload/CaptureUploadService.h"
#include "Quillmere/Capture/Upload/S3Presigner.h"
#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Model/Records.h"
#include "Support/TestSupport.h"
#include "UploadTestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QString secret = QStringLiteral("s3cr3t/Key+Never-Shown");

QByteArray pngBytes(int side = 64)
{
    QImage image(side, side, QImage::Format_ARGB32);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            image.setPixel(x, y, qRgba(x * 4, y * 4, (x ^ y) & 0xFF, 255));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

std::unique_ptr<ClipItem> imageClip(const QByteArray &bytes)
{
    auto clip = std::make_unique<ClipItem>();
    clip->setKind(ClipKind::image);
    clip->setImageData(bytes);
    return clip;
}

std::unique_ptr<ClipItem> fileClip(const QString &path)
{
    auto clip = std::make_unique<ClipItem>();
    clip->setKind(ClipKind::file);
    clip->setText(path);
    return clip;
}

struct Harness {
    QNetworkAccessManager network;
    test::TempPreferences prefs;
    test::FakeClock clock{QDateTime::currentDateTimeUtc()};
    std::optional<QString> managedToken = QStringLiteral("managed-token");
    QVariantMap bundleInfo;

    Harness(ShareStorageProvider destination = ShareStorageProvider::ownStorage)
    {
        storeShareStorageProvider(*prefs, destination);
    }

    UploadEnvironment environment()
    {
        UploadEnvironment env;
        env.network = &network;
        env.preferences = prefs.prefs.get();
        env.bundleInfo = bundleInfo;
        env.managedAccessToken = [this] { return managedToken; };
        env.clock = clock.clock();
        env.allowLoopbackHttp = true;
        return env;
    }

    // Runs one upload to its end.
    UploadResult upload(const ShareUploadConfig &config, std::optional<QString> key, const ClipItem &clip,
                        std::function<void(CaptureUploadService &)> whileRunning = {})
    {
        CaptureUploadService service(config, std::move(key), environment());
        std::optional<UploadResult> result;
        service.upload(clip, [&](UploadResult r) { result = std::move(r); });
        EXPECT_FALSE(result) << "results are never delivered inside upload()";
        if (whileRunning)
            whileRunning(service);
        EXPECT_TRUE(test::waitUntil([&] { return result.has_value(); }, 20000));
        return result.value_or(UploadError::of(UploadError::Kind::invalidResponse));
    }
};

ShareUploadConfig configFor(quint16 port, const QString &prefix = QStringLiteral("shots/captures/"))
{
    return {QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("auto"), prefix,
            QStringLiteral("https://cdn.example.com/"), QStringLiteral("AKIDTEST")};
}

QString messageOf(const UploadResult &result)
{
    if (const auto *error = std::get_if<UploadError>(&result))
        return error->message();
    return QStringLiteral("link ") + std::get<QUrl>(result).toString();
}

} // namespace

TEST(CaptureUploadService, RefusalsThatNeedNoNetworkComeFirstAndSendNothing)
{
    test::LoopbackServer server([](const auto &) { return test::LoopbackServer::answer(200); });
    Harness own;
    const auto png = imageClip(pngBytes());
    ShareUploadConfig incomplete = configFor(server.port());
    incomplete.accessKeyID.clear();
    EXPECT_EQ(messageOf(own.upload(incomplete, std::nullopt, *png)), "Not configured");
    EXPECT_EQ(messageOf(own.upload(configFor(server.port()), QString(), *png)), "Missing key");

    auto text = std::make_unique<ClipItem>();
    text->setText(QStringLiteral("hello"));
    EXPECT_EQ(messageOf(own.upload(configFor(server.port()), secret, *text)), "No image");
    EXPECT_EQ(messageOf(own.upload(configFor(server.port()), secret, *fileClip("/nonexistent/rec.MP4"))),
              "File missing");

    Harness managed(ShareStorageProvider::quillmereCloud);
    EXPECT_EQ(messageOf(managed.upload(configFor(server.port()), secret, *text)), "No image")
        << "the image test comes before the missing configuration";
    EXPECT_EQ(messageOf(managed.upload({}, std::nullopt, *png)), "Not configured");
    QTemporaryDir dir;
    QFile recording(dir.filePath("rec.mp4"));
    ASSERT_TRUE(recording.open(QIODevice::WriteOnly));
    recording.write("mp4");
    recording.close();
    // A build with the service: a recording never goes there.
    managed.bundleInfo = {{ManagedCloudConfiguration::infoKey, QStringLiteral("https://127.0.0.1:1")}};
    EXPECT_EQ(messageOf(managed.upload({}, std::nullopt, *fileClip(recording.fileName()))), "No image");

    EXPECT_TRUE(server.requests().isEmpty());
}

TEST(CaptureUploadService, PublicLinkJoinsBaseAndKeyWithOneSlash)
{
    const QString key = QStringLiteral("captures/ID.png");
    EXPECT_EQ(CaptureUploadService::publicLink("https://cdn.example.com/", key)->toString(),
              "https://cdn.example.com/captures/ID.png");
    EXPECT_EQ(CaptureUploadService::publicLink("https://cdn.example.com", key)->toString(),
              "https://cdn.example.com/captures/ID.png");
    EXPECT_EQ(CaptureUploadService::publicLink("https://cdn.example.com//", key)->toString(),
              "https://cdn.example.com//captures/ID.png");
    EXPECT_EQ(CaptureUploadService::publicLink("https://cdn.example.com/", "/" + key)->toString(),
              "https://cdn.example.com/captures/ID.png");
    EXPECT_EQ(CaptureUploadService::publicLink("https://cdn.example.com/", "a b/ID.png"), std::nullopt);
}

TEST(CaptureUploadService, SendsExactlyThePresignedRequestAndStreamsRecordings)
{
    test::LoopbackServer server([](const auto &) { return test::LoopbackServer::answer(204); });
    Harness h;
    h.clock.set(QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC));

    // Not a PNG at all, still labelled as one.
    const QByteArray notPng("GIF89a not really a picture");
    const UploadResult result = h.upload(configFor(server.port(), "/shots/captures"), secret, *imageClip(notPng));
    ASSERT_TRUE(std::holds_alternative<QUrl>(result)) << messageOf(result).toStdString();
    ASSERT_EQ(server.requests().size(), 1);
    const auto &put = server.requests()[0];
    EXPECT_EQ(put.method, "PUT");
    EXPECT_EQ(put.headers.value("content-type"), "image/png");
    EXPECT_FALSE(put.headers.contains("authorization"));
    EXPECT_EQ(put.body, notPng);

    const QString link = std::get<QUrl>(result).toString();
    const QRegularExpression linkShape("^https://cdn\\.example\\.com/shots/captures/([0-9A-F-]{36})\\.png$");
    const auto match = linkShape.match(link);
    ASSERT_TRUE(match.hasMatch()) << link.toStdString();
    const S3Presigner signer{"AKIDTEST", secret, "auto"};
    const auto expected = signer.presignedURL("PUT", QStringLiteral("127.0.0.1:%1").arg(server.port()),
                                              "/shots/captures/" + match.captured(1) + ".png", 300, h.clock.now());
    ASSERT_TRUE(expected);
    EXPECT_EQ(put.target, expected->toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority))
        << "what was signed is what the request line carries, though Qt drops the prefix's leading slash";

    QTemporaryDir dir;
    QFile recording(dir.filePath("Clip.MP4"));
    ASSERT_TRUE(recording.open(QIODevice::WriteOnly));
    const QByteArray movie = QByteArray(3 * 1024 * 1024, 'm') + "end";
    recording.write(movie);
    recording.close();
    CaptureUploadService service(configFor(server.port()), secret, h.environment());
    QSignalSpy progress(&service, &CaptureUploadService::progress);
    std::optional<UploadResult> movieResult;
    service.upload(*fileClip(recording.fileName()), [&](UploadResult r) { movieResult = r; });
    ASSERT_TRUE(test::waitUntil([&] { return movieResult.has_value(); }, 20000));
    ASSERT_TRUE(std::holds_alternative<QUrl>(*movieResult)) << messageOf(*movieResult).toStdString();
    EXPECT_TRUE(std::get<QUrl>(*movieResult).path().endsWith(".mp4"));
    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests()[1].headers.value("content-type"), "video/mp4");
    EXPECT_EQ(server.requests()[1].body, movie);
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last().at(0).toLongLong(), movie.size());
}

TEST(CaptureUploadService, StatusesAndBrokenAnswersBecomeShortErrors)
{
    QByteArray script;
    test::LoopbackServer server([&](const auto &) { return script; });
    Harness h;
    const auto png = imageClip(pngBytes());
    test::LogCapture log;

    script = test::LoopbackServer::answer(403, "<Error><Code>AccessDenied</Code></Error>");
    EXPECT_EQ(messageOf(h.upload(configFor(server.port()), secret, *png)), "Error 403");
    script = test::LoopbackServer::answer(500, QByteArray(1 << 20, 'x'));
    EXPECT_EQ(messageOf(h.upload(configFor(server.port()), secret, *png)), "Bad response") << "an endless body is cut";
    script = test::LoopbackServer::answer(307, {}, "Location: http://127.0.0.2:1/elsewhere\r\n");
    EXPECT_EQ(messageOf(h.upload(configFor(server.port()), secret, *png)), "Error 307") << "redirects are not followed";
    EXPECT_EQ(server.requests().size(), 3);

    // Nobody listens: a transport failure that names only the host.
    const UploadResult refused = h.upload(configFor(1), secret, *png);
    ASSERT_TRUE(std::holds_alternative<UploadError>(refused));
    const UploadError error = std::get<UploadError>(refused);
    EXPECT_EQ(error.message(), "Network error");
    ASSERT_TRUE(error.transport);
    EXPECT_EQ(error.transport->description(), "Could not connect to 127.0.0.1.");

    // An answer that never comes can be cancelled.
    script.clear();
    const UploadResult cancelled = h.upload(configFor(server.port()), secret, *png, [&](CaptureUploadService &s) {
        ASSERT_TRUE(test::waitUntil([&] { return server.requests().size() == 4; }));
        s.cancel();
    });
    ASSERT_TRUE(std::holds_alternative<UploadError>(cancelled));
    EXPECT_TRUE(std::get<UploadError>(cancelled).isCancelled());

    EXPECT_FALSE(log.all().contains(secret)) << log.all().toStdString();
    EXPECT_FALSE(log.all().contains("X-Amz-Signature")) << log.all().toStdString();
}

TEST(CaptureUploadService, AConnectionResetAfterTheRequestSendsItOnceAndSaysWhy)
{
    test::LoopbackServer server([](const auto &) { return test::LoopbackServer::reset(); });
    const auto png = imageClip(pngBytes());
    const auto recording = [] {
        auto file = std::make_unique<QTemporaryFile>(QDir::temp().filePath("XXXXXX.mp4"));
        EXPECT_TRUE(file->open());
        file->write(QByteArray(200000, 'm'));
        file->flush();
        return file;
    }();
    const QString expected =
        QStringLiteral("The connection to 127.0.0.1 broke before it answered; the upload was not sent again.");

    // The PUT of an image and of a streamed recording.
    Harness own;
    auto sentOnce = [&](const ClipItem &clip) {
        const qsizetype before = server.requests().size();
        const UploadResult result = own.upload(configFor(server.port()), secret, clip);
        ASSERT_TRUE(std::holds_alternative<UploadError>(result));
        EXPECT_EQ(std::get<UploadError>(result).reason(), expected);
        QTest::qWait(300); // a resend would have arrived by now
        EXPECT_EQ(server.requests().size(), before + 1) << "the PUT was sent again";
    };
    sentOnce(*png);
    sentOnce(*fileClip(recording->fileName()));

    // The managed service's POST, which carries the bearer token.
    Harness managed(ShareStorageProvider::quillmereCloud);
    managed.bundleInfo = {
        {ManagedCloudConfiguration::infoKey, QStringLiteral("https://127.0.0.1:%1").arg(server.port())}};
    const qsizetype before = server.requests().size();
    const UploadResult result = managed.upload({}, std::nullopt, *png);
    ASSERT_TRUE(std::holds_alternative<UploadError>(result));
    EXPECT_EQ(std::get<UploadError>(result).reason(), expected);
    QTest::qWait(300);
    ASSERT_EQ(server.requests().size(), before + 1) << "the POST was sent again";
    EXPECT_EQ(server.requests().last().method, "POST");
    EXPECT_EQ(server.requests().last().headers.value("authorization"), "Bearer managed-token");
}

namespace {

// s3rver on loopback, with a bucket "shots"; stops when the test ends.
class S3rver {
public:
    S3rver()
    {
        const QString node = test::requiredTool(QStringLiteral("/usr/bin/node"));
        test::requiredTool(QStringLiteral(QUILLMERE_NODE_DIR "/node_modules/s3rver/package.json"));
        m_process.start(
            node,
            {QStringLiteral(QUILLMERE_TEST_TOOLS_DIR "/s3rver.js"), QStringLiteral(QUILLMERE_NODE_DIR), m_data.path()});
        if (!m_process.waitForStarted() || !m_process.waitForReadyRead(20000))
            return;
        m_port = static_cast<quint16>(QJsonDocument::fromJson(m_process.readLine()).object().value("port").toInt());
    }
    ~S3rver()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }
    quint16 port() const { return m_port; }

private:
    QTemporaryDir m_data;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace

TEST(CaptureUploadService, RoundTripsAPngThroughAnS3CompatibleServer)
{
    S3rver s3;
    ASSERT_NE(s3.port(), 0) << "s3rver did not start";
    Harness h;
    ShareUploadConfig config = configFor(s3.port());
    config.accessKeyID = QStringLiteral("S3RVER");
    config.publicBaseURL = QStringLiteral("https://127.0.0.1:%1/").arg(s3.port());
    const QByteArray png = pngBytes(200);

    const UploadResult result = h.upload(config, QStringLiteral("S3RVER"), *imageClip(png));
    ASSERT_TRUE(std::holds_alternative<QUrl>(result)) << messageOf(result).toStdString();
    QUrl link = std::get<QUrl>(result);
    EXPECT_TRUE(link.toString().startsWith(config.publicBaseURL + "shots/captures/")) << link.toString().toStdString();

    // The public link, fetched the way anyone would (plain http here: it is a loopback server).
    link.setScheme(QStringLiteral("http"));
    QNetworkReply *reply = h.network.get(QNetworkRequest(link));
    ASSERT_TRUE(test::waitUntil([&] { return reply->isFinished(); }, 20000));
    EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    EXPECT_EQ(reply->readAll(), png);
    delete reply;

    test::LogCapture log;
    config.accessKeyID = QStringLiteral("AKIDUNKNOWN");
    const UploadResult refused = h.upload(config, secret, *imageClip(png));
    EXPECT_EQ(messageOf(refused), "Error 403");
    EXPECT_FALSE(log.all().contains(secret));
}
