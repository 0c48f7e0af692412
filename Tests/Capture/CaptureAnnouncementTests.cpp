// What the coordinator announces after each kind of capture, and the automatic upload of a
// screenshot whose output is the share link.
#include "CaptureFixture.h"

#include "Quillmere/Capture/CaptureFeatureCoordinator.h"
#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include <QFile>
// After QFile, which it uses.
#include "Upload/UploadTestSupport.h"

#include <QNetworkAccessManager>
#include <gtest/gtest.h>

using namespace quillmere;
using Kind = CaptureOverlayUploadProgress::Kind;

namespace {

struct RecordingPresenter : CapturePresenter {
    QList<std::pair<ClipRef, Kind>> cards;
    QList<ClipRef> toasts;
    std::vector<std::shared_ptr<CaptureOverlayUploadProgress>> progress;
    std::shared_ptr<CaptureOverlayUploadProgress> showCard(const ClipRef &clip, Kind state) override
    {
        cards << std::make_pair(clip, state);
        progress.push_back(
            std::make_shared<CaptureOverlayUploadProgress>(CaptureOverlayUploadProgress::State{state, {}}));
        return progress.back();
    }
    void showToast(const ClipRef &clip) override { toasts << clip; }
};

struct AnnouncementHarness : test::CaptureServiceHarness {
    RecordingPresenter presenter;
    QNetworkAccessManager network;
    int notices = 0;
    std::unique_ptr<CaptureFeatureCoordinator> coordinator;

    AnnouncementHarness()
    {
        CaptureFeatureCoordinator::Dependencies deps;
        deps.services.store = store.get();
        deps.services.pasteboard = &pasteboard;
        deps.services.center = &center;
        deps.services.preferences = prefs.prefs.get();
        deps.services.beep = [] {};
        deps.presenter = &presenter;
        deps.uploads.preferences = prefs.prefs.get();
        deps.uploads.environment = [this] {
            UploadEnvironment env;
            env.network = &network;
            env.preferences = prefs.prefs.get();
            env.allowLoopbackHttp = true;
            return env;
        };
        deps.uploads.readSecret = [](QObject *, std::function<void(std::optional<QString>)> done) {
            done(QStringLiteral("sEcReT-never-logged"));
        };
        coordinator = std::make_unique<CaptureFeatureCoordinator>(std::move(deps));
        center.addObserver(Notices::clipCaptured, &pasteboard, [this](const Notification &) { ++notices; });
        storeShareStorageProvider(*prefs, ShareStorageProvider::ownStorage);
    }

    ClipRef clip(ClipKind kind, const QString &source)
    {
        CapturedContent content;
        content.kind = kind;
        content.sourceAppName = source;
        if (kind == ClipKind::image)
            content.imageData = test::png(12, 8);
        else
            content.text = QStringLiteral("recognised words");
        return store->insertClip(content);
    }
};

} // namespace

TEST(CaptureAnnouncements, EachKindOfCaptureGetsItsCardToastAndNotice)
{
    AnnouncementHarness h;
    const ClipRef shot = h.clip(ClipKind::image, QStringLiteral("Quillmere Capture"));
    h.coordinator->announceScreenshot(shot, ScreenshotClipboardOutput::screenshot, 1);
    ASSERT_EQ(h.presenter.cards.size(), 1);
    EXPECT_EQ(h.presenter.cards[0], std::make_pair(shot, Kind::idle));
    EXPECT_EQ(h.presenter.toasts, QList<ClipRef>{shot});
    EXPECT_EQ(h.notices, 1);

    const ClipRef text = h.clip(ClipKind::text, QStringLiteral("Quillmere OCR"));
    h.coordinator->announceOcrCapture(text);
    EXPECT_EQ(h.presenter.cards.size(), 1) << "recognised text gets no card";
    EXPECT_EQ(h.presenter.toasts.back(), text);
    EXPECT_EQ(h.notices, 2);

    const ClipRef recording = h.clip(ClipKind::file, QStringLiteral("Quillmere Recording"));
    h.coordinator->announceRecording(recording);
    EXPECT_EQ(h.presenter.cards.back(), std::make_pair(recording, Kind::idle));
    EXPECT_EQ(h.presenter.toasts.back(), recording);
    EXPECT_EQ(h.notices, 2) << "a saved recording posts no notice";

    const ClipRef copiedImage = h.clip(ClipKind::image, QStringLiteral("Some Editor"));
    h.coordinator->clipboardDidCapture(copiedImage);
    EXPECT_EQ(h.presenter.toasts.back(), copiedImage);
    const ClipRef copiedText = h.clip(ClipKind::text, QStringLiteral("Some Editor"));
    h.coordinator->clipboardDidCapture(copiedText);
    auto unknown = h.clip(ClipKind::text, QStringLiteral("Some Editor"));
    unknown->setKindRawValue(QStringLiteral("hologram"));
    h.coordinator->clipboardDidCapture(unknown);
    EXPECT_EQ(h.presenter.toasts.size(), 4) << "only images copied elsewhere are announced";
    EXPECT_EQ(h.presenter.cards.size(), 2);
    EXPECT_EQ(h.notices, 2) << "the monitor's own follow-ups post the notice for other programs' copies";
}

TEST(CaptureAnnouncements, AFailedAutomaticUploadPutsTheNewestScreenshotBackAndSaysSo)
{
    AnnouncementHarness h;
    test::LogCapture log;
    // An incomplete record: the upload fails at once with the not-configured text.
    const ClipRef shot = h.clip(ClipKind::image, QStringLiteral("Quillmere Capture"));
    h.coordinator->screenshotCaptureService()->captureGeneration() = {1, 1};
    h.coordinator->announceScreenshot(shot, ScreenshotClipboardOutput::shareLink, 1);
    ASSERT_EQ(h.presenter.cards.size(), 1);
    EXPECT_EQ(h.presenter.cards[0].second, Kind::uploading) << "the card enters uploading";
    auto progress = h.presenter.progress[0];
    ASSERT_TRUE(test::waitUntil([&] { return progress->state().kind == Kind::failed; }));
    const QString notConfigured = UploadError::of(UploadError::Kind::notConfigured).message();
    EXPECT_EQ(progress->state().message, notConfigured + QStringLiteral(" — screenshot copied"));
    EXPECT_EQ(h.pasteboard.data(QStringLiteral("public.png")), shot->imageData());
    const QString reason = UploadError::of(UploadError::Kind::notConfigured).reason();
    EXPECT_EQ(progress->state().reason, reason);
    EXPECT_EQ(log.all().count(QStringLiteral("Upload failed: ") + reason), 1) << log.all().toStdString();
    EXPECT_FALSE(log.all().contains(QStringLiteral("sEcReT")));

    // An older capture whose result arrives after a newer one's image: it leaves the pasteboard alone
    // and its card says only what happened.
    const ClipRef older = h.clip(ClipKind::image, QStringLiteral("Quillmere Capture"));
    h.coordinator->announceScreenshot(older, ScreenshotClipboardOutput::shareLink, 2);
    h.coordinator->screenshotCaptureService()->captureGeneration() = {3, 3};
    const qint64 count = h.pasteboard.changeCount();
    auto olderProgress = h.presenter.progress[1];
    ASSERT_TRUE(test::waitUntil([&] { return olderProgress->state().kind == Kind::failed; }));
    EXPECT_EQ(olderProgress->state().message, notConfigured);
    EXPECT_EQ(h.pasteboard.changeCount(), count);

    // Something copied meanwhile also keeps a current capture's fallback off the pasteboard.
    const ClipRef newest = h.clip(ClipKind::image, QStringLiteral("Quillmere Capture"));
    h.coordinator->announceScreenshot(newest, ScreenshotClipboardOutput::shareLink, 3);
    PasteboardContents other;
    other.setString(QStringLiteral("copied by the user"));
    h.pasteboard.simulateExternalCopy(other);
    auto newestProgress = h.presenter.progress[2];
    ASSERT_TRUE(test::waitUntil([&] { return newestProgress->state().kind == Kind::failed; }));
    EXPECT_EQ(h.pasteboard.string(), "copied by the user");
    EXPECT_EQ(newestProgress->state().message, notConfigured);
}
