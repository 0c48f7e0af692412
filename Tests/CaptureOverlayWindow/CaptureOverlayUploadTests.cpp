// The card's Upload button against an S3-compatible server on loopback, and pictures of the card
// and the toast in each state for a person to look at.
#include "OverlayWindowHarness.h"

#include "Quillmere/Capture/CaptureFeatureCoordinator.h"
#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Capture/Upload/ShareUploadConfig.h"

#include <QFile>
// After QFile, which it uses.
#include "Capture/Upload/UploadTestSupport.h"
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QToolTip>

using namespace quillmere;
using namespace quillmere::test;
using Kind = CaptureOverlayUploadProgress::Kind;
using Control = CaptureOverlayController::Control;

namespace {

// s3rver on loopback with a bucket "shots"; stops with the test.
class S3rver {
public:
    S3rver()
    {
        EXPECT_TRUE(QFile::exists(QStringLiteral(QUILLMERE_NODE_DIR "/node_modules/s3rver/package.json")))
            << "needs s3rver (tools/setup installs it)";
        m_process.start(
            QStringLiteral("node"),
            {QStringLiteral(QUILLMERE_TEST_TOOLS_DIR "/s3rver.js"), QStringLiteral(QUILLMERE_NODE_DIR), m_data.path()});
        if (!m_process.waitForStarted() || !m_process.waitForReadyRead(20000))
            return;
        m_port = quint16(QJsonDocument::fromJson(m_process.readLine()).object().value("port").toInt());
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

void clickControl(OverlayWindowHarness &h, Control control)
{
    ASSERT_TRUE(h.moveTo(h.centreOf(h.card())));
    ASSERT_TRUE(waitUntil([&] { return h.card().isHovering(); }, 5000));
    ASSERT_TRUE(h.moveTo(h.centreOf(h.card(), h.card().controlRect(control))));
    ASSERT_TRUE(xdotool({QStringLiteral("click"), QStringLiteral("1")}));
}

} // namespace

TEST(CaptureOverlayUpload, TheUploadButtonPutsTheLinkOnTheClipboardOrShowsTheFailure)
{
    S3rver s3;
    ASSERT_NE(s3.port(), 0) << "s3rver did not start";
    OverlayWindowHarness h;
    const ShareUploadConfig config{QStringLiteral("127.0.0.1:%1").arg(s3.port()), QStringLiteral("auto"),
                                   QStringLiteral("shots/captures/"),
                                   QStringLiteral("https://127.0.0.1:%1/").arg(s3.port()), QStringLiteral("S3RVER")};
    h.prefs->setJSON(config, ShareUploadConfig::key);
    storeShareStorageProvider(*h.prefs, ShareStorageProvider::ownStorage);
    h.secret = QStringLiteral("S3RVER");

    auto progress = h.presenter->showCard(h.screenshot(png(64, 36)), Kind::idle);
    ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()); }, 5000));
    clickControl(h, Control::upload);
    ASSERT_TRUE(waitUntil([&] { return progress->state().kind != Kind::idle; }, 5000));
    ASSERT_TRUE(waitUntil([&] { return progress->state().kind != Kind::uploading; }, 20000));
    ASSERT_EQ(progress->state().kind, Kind::done) << progress->state().message.toStdString();
    const QString link = QString::fromUtf8(readWithXclip(QStringLiteral("UTF8_STRING")));
    EXPECT_TRUE(link.startsWith(config.publicBaseURL + QStringLiteral("shots/captures/"))) << link.toStdString();
    EXPECT_TRUE(h.card().isVisible()) << "Upload leaves the card open";

    // A key the server does not know: the card says so and the clipboard keeps the link.
    ShareUploadConfig unknown = config;
    unknown.accessKeyID = QStringLiteral("AKIDUNKNOWN");
    h.prefs->setJSON(unknown, ShareUploadConfig::key);
    h.secret = QStringLiteral("s3cr3t/never-shown");
    LogCapture log;
    progress = h.presenter->showCard(h.screenshot(png(64, 36)), Kind::idle);
    ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()); }, 5000));
    clickControl(h, Control::upload);
    ASSERT_TRUE(waitUntil([&] { return progress->state().kind == Kind::failed; }, 20000));
    EXPECT_EQ(progress->state().message, "Error 403");
    EXPECT_EQ(QString::fromUtf8(readWithXclip(QStringLiteral("UTF8_STRING"))), link);
    EXPECT_FALSE(log.all().contains(QStringLiteral("s3cr3t"))) << log.all().toStdString();
    EXPECT_FALSE(log.all().contains(QStringLiteral("X-Amz-Signature"))) << log.all().toStdString();
}

TEST(CaptureOverlayUpload, AFailedUploadSaysWhyInItsHelpAndTheLogOnce)
{
    OverlayWindowHarness h;
    // Nobody listens on the discard port.
    h.prefs->setJSON(ShareUploadConfig{QStringLiteral("127.0.0.1:9"), QStringLiteral("auto"), QStringLiteral("shots/"),
                                       QStringLiteral("https://cdn.example.com/"), QStringLiteral("AKID")},
                     ShareUploadConfig::key);
    storeShareStorageProvider(*h.prefs, ShareStorageProvider::ownStorage);
    h.secret = QStringLiteral("s3cr3t/never-shown");
    LogCapture log;
    auto progress = h.presenter->showCard(h.screenshot(png(64, 36)), Kind::idle);
    ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()); }, 5000));
    clickControl(h, Control::upload);
    ASSERT_TRUE(waitUntil([&] { return progress->state().kind == Kind::failed; }, 20000));

    const QString reason = QStringLiteral("Could not connect to 127.0.0.1.");
    EXPECT_EQ(progress->state().reason, reason);
    EXPECT_TRUE(h.card().helpText(Control::upload).endsWith(reason))
        << h.card().helpText(Control::upload).toStdString();
    EXPECT_EQ(h.card().accessibleDescription(), h.card().helpText(Control::upload));
    // The card never has the focus; its help shows all the same.
    ASSERT_TRUE(h.moveTo(h.centreOf(h.card(), h.card().controlRect(Control::upload)) + QPoint(1, 0)));
    EXPECT_TRUE(waitUntil([&] { return QToolTip::isVisible() && QToolTip::text().endsWith(reason); }, 5000))
        << QToolTip::text().toStdString();
    QTest::qWait(100);
    const QRect area(serverPosition(h.card()) - QPoint(20, 20), h.card().size() + QSize(420, 80));
    QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .save(artifactPath(QStringLiteral("capture-overlay/card-failed-help.png")));

    EXPECT_EQ(log.all().count(QStringLiteral("Upload failed: ") + reason), 1) << log.all().toStdString();
    EXPECT_FALSE(log.all().contains(QStringLiteral("s3cr3t"))) << log.all().toStdString();
    EXPECT_FALSE(log.all().contains(QStringLiteral("X-Amz-Signature"))) << log.all().toStdString();
}

TEST(CaptureOverlayUpload, AScreenshotWithTheLinkOutputUploadsItselfAndOnlyTheNewestTouchesTheClipboard)
{
    S3rver s3;
    ASSERT_NE(s3.port(), 0) << "s3rver did not start";
    OverlayWindowHarness h;
    const ShareUploadConfig config{QStringLiteral("127.0.0.1:%1").arg(s3.port()), QStringLiteral("auto"),
                                   QStringLiteral("shots/captures/"),
                                   QStringLiteral("https://127.0.0.1:%1/").arg(s3.port()), QStringLiteral("S3RVER")};
    h.prefs->setJSON(config, ShareUploadConfig::key);
    storeShareStorageProvider(*h.prefs, ShareStorageProvider::ownStorage);
    h.prefs->setString(PreferenceKeys::screenshotClipboardOutput, QStringLiteral("shareLink"));
    h.secret = QStringLiteral("S3RVER");
    CaptureFeatureCoordinator::Dependencies deps;
    deps.services.store = h.store.get();
    deps.services.pasteboard = &h.pasteboard;
    deps.services.center = &h.center;
    deps.services.preferences = h.prefs.prefs.get();
    deps.presenter = h.presenter.get();
    deps.uploads.preferences = h.prefs.prefs.get();
    deps.uploads.environment = [&h] {
        UploadEnvironment env;
        env.network = &h.network;
        env.preferences = h.prefs.prefs.get();
        env.allowLoopbackHttp = true;
        return env;
    };
    deps.uploads.readSecret = [&h](QObject *, std::function<void(std::optional<QString>)> done) { done(h.secret); };
    CaptureFeatureCoordinator coordinator(std::move(deps));
    QList<QVariantMap> ownWrites;
    h.center.addObserver(ownPasteboardWriteNotification, &h.pasteboard,
                         [&](const Notification &note) { ownWrites << note.userInfo; });

    coordinator.screenshotCaptureService()->captureGeneration() = {1, 1};
    coordinator.announceScreenshot(h.screenshot(png(64, 36)), ScreenshotClipboardOutput::shareLink, 1);
    const auto progress = h.card().actions()->progress();
    EXPECT_EQ(progress->state().kind, Kind::uploading) << "the card enters uploading";
    ASSERT_TRUE(waitUntil([&] { return progress->state().kind != Kind::uploading; }, 20000));
    ASSERT_EQ(progress->state().kind, Kind::done) << progress->state().message.toStdString();
    const QString link = QString::fromUtf8(readWithXclip(QStringLiteral("UTF8_STRING")));
    EXPECT_TRUE(link.startsWith(config.publicBaseURL + QStringLiteral("shots/captures/"))) << link.toStdString();
    ASSERT_FALSE(ownWrites.isEmpty());
    EXPECT_EQ(ownWrites.back().value(ownPasteboardWriteFeedbackKey), "uploadComplete");

    // A newer capture's image arrives while the older one uploads: the older link stays off.
    coordinator.announceScreenshot(h.screenshot(png(64, 36)), ScreenshotClipboardOutput::shareLink, 2);
    const auto older = h.card().actions()->progress();
    coordinator.screenshotCaptureService()->captureGeneration() = {3, 3};
    ASSERT_TRUE(waitUntil([&] { return older->state().kind == Kind::done; }, 20000));
    EXPECT_EQ(QString::fromUtf8(readWithXclip(QStringLiteral("UTF8_STRING"))), link);
}

TEST(CaptureOverlayPictures, CardAndToastInEachStateOverLightAndDarkWindows)
{
    OverlayWindowHarness h;
    QImage picture(800, 450, QImage::Format_RGB32);
    QLinearGradient gradient(0, 0, 800, 450);
    gradient.setColorAt(0, QColor(70, 130, 180));
    gradient.setColorAt(1, QColor(240, 200, 120));
    QPainter(&picture).fillRect(picture.rect(), gradient);
    QPainter(&picture).drawText(picture.rect(), Qt::AlignCenter, QStringLiteral("A screenshot"));
    h.prefs->setJSON(ShareUploadConfig{QStringLiteral("s3.example.com"), QStringLiteral("auto"),
                                       QStringLiteral("captures/"), QStringLiteral("https://cdn.example.com"),
                                       QStringLiteral("AKID")},
                     ShareUploadConfig::key);
    for (const auto &[name, colour] : {std::pair{QStringLiteral("light"), QColor(246, 246, 246)},
                                       std::pair{QStringLiteral("dark"), QColor(36, 36, 40)}}) {
        QWidget backdrop;
        backdrop.setStyleSheet(QStringLiteral("background: %1").arg(colour.name()));
        // Short of the whole screen, which a window manager would take for a full-screen window
        // and stack over everything.
        backdrop.setGeometry(QGuiApplication::primaryScreen()->geometry().adjusted(0, 40, -100, 0));
        backdrop.setWindowFlag(Qt::FramelessWindowHint);
        backdrop.show();
        ASSERT_TRUE(waitUntil([&] { return isViewable(backdrop); }, 5000));
        auto grab = [&](QWidget &window, const QString &state) {
            QTest::qWait(100); // lets the last paint reach the server before the screen is read
            const QRect area(serverPosition(window) - QPoint(20, 20), window.size() + QSize(40, 40));
            QGuiApplication::primaryScreen()
                ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                .save(artifactPath(QStringLiteral("capture-overlay/%1-%2.png").arg(state, name)));
        };
        auto progress = h.presenter->showCard(h.screenshot(encoded(picture)), Kind::idle);
        ASSERT_TRUE(waitUntil([&] { return h.settled(h.card()) && h.card().isImageReady(); }, 5000));
        ASSERT_GT(stackingIndex(h.card()), stackingIndex(backdrop));
        ASSERT_TRUE(h.moveTo({800, 400}));
        grab(h.card(), QStringLiteral("card-idle"));
        ASSERT_TRUE(h.moveTo(h.centreOf(h.card())));
        ASSERT_TRUE(waitUntil([&] { return h.card().isHovering(); }, 5000));
        grab(h.card(), QStringLiteral("card-hover"));
        progress->setState({Kind::uploading, {}});
        grab(h.card(), QStringLiteral("card-uploading"));
        progress->setState({Kind::done, {}});
        grab(h.card(), QStringLiteral("card-done"));
        progress->setState(CaptureOverlayUploadProgress::State::failed(QStringLiteral("Network error")));
        grab(h.card(), QStringLiteral("card-failed"));
        h.toast().present(h.screenshot(encoded(picture)), CaptureToastContent::makeThumbnail(encoded(picture)));
        ASSERT_TRUE(waitUntil([&] { return h.settled(h.toast()); }, 5000));
        grab(h.toast(), QStringLiteral("toast-image"));
        h.toast().present(h.text(QStringLiteral("A line of copied text that is long enough to be cut at the end")), {});
        ASSERT_TRUE(waitUntil([&] { return h.settled(h.toast()); }, 5000));
        grab(h.toast(), QStringLiteral("toast-text"));
        h.card().dismiss();
        h.toast().hideToast();
        ASSERT_TRUE(waitUntil([&] { return h.gone(h.card()) && h.gone(h.toast()); }, 5000));
        EXPECT_TRUE(QFile::exists(artifactPath(QStringLiteral("capture-overlay/card-hover-%1.png").arg(name))));
    }
}
