// What the card's buttons, drag and annotate do to the clip, without a window.
#include "Quillmere/Capture/Overlay/CaptureCardActions.h"
#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Capture/Upload/ShareUploadConfig.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Support/DisplayTestSupport.h"
#include "Support/HeldSecretStore.h"
#include "Support/MemoryPasteboard.h"
#include "Support/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using namespace quillmere;
using Outcome = CaptureCardActions::Outcome;
using Kind = CaptureOverlayUploadProgress::Kind;

namespace {

struct CardHarness {
    test::TempPreferences prefs;
    NotificationCenter center;
    MemoryPasteboard pasteboard;
    PasteboardWriter writer{pasteboard, center};
    test::FakeClock clock{QDateTime(QDate(2026, 5, 4), QTime(9, 8, 7), Qt::LocalTime).toUTC()};
    std::unique_ptr<ClipStore> store =
        std::make_unique<ClipStore>(ModelContainer::open(QString(), clock.clock(), nullptr),
                                    ClipStoreDependencies{prefs.prefs.get(), &center, clock.clock()});
    QTemporaryDir temporaryRoot;
    QList<QUrl> opened;
    QObject uploadOwner;

    ClipRef insert(CapturedContent content)
    {
        content.sourceAppName = QStringLiteral("Quillmere Capture");
        return store->insertClip(content);
    }
    ClipRef screenshot(const QByteArray &png)
    {
        CapturedContent content;
        content.kind = ClipKind::image;
        content.imageData = png;
        return insert(content);
    }

    std::unique_ptr<CaptureCardActions> card(const ClipRef &clip, QImage image = {}, Kind state = Kind::idle)
    {
        CaptureCardActions::Dependencies deps;
        deps.store = store.get();
        deps.writer = &writer;
        deps.uploads.preferences = prefs.prefs.get();
        deps.uploadOwner = &uploadOwner;
        deps.open = [this](const QUrl &url) {
            opened << url;
            return true;
        };
        deps.clock = clock.clock();
        deps.temporaryRoot = temporaryRoot.path();
        return std::make_unique<CaptureCardActions>(
            deps, clip, std::make_shared<CaptureOverlayUploadProgress>(CaptureOverlayUploadProgress::State{state, {}}),
            image);
    }
};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(CaptureCardActions, CopyPutsTheClipBackMakesItNewestAndCloses)
{
    CardHarness h;
    const QByteArray png = test::png(30, 20);
    const ClipRef shot = h.screenshot(png);
    CapturedContent later;
    later.text = QStringLiteral("copied afterwards");
    h.insert(later);
    h.clock.advance(60000);

    EXPECT_EQ(h.card(shot)->copy(), Outcome::close);
    EXPECT_EQ(h.pasteboard.data(QStringLiteral("public.png")), png);
    EXPECT_EQ(h.store->historyNewestFirst().front(), shot);
}

TEST(CaptureCardActions, ACardWhoseClipWasDeletedActsOnNothingAndCloses)
{
    CardHarness h;
    const ClipRef shot = h.screenshot(test::png(30, 20));
    auto card = h.card(shot, test::filled(30, 20));
    h.store->deleteClip(shot);
    const qint64 before = h.pasteboard.changeCount();

    EXPECT_TRUE(card->isGone());
    EXPECT_EQ(card->copy(), Outcome::close);
    EXPECT_EQ(card->togglePin(), Outcome::close);
    EXPECT_EQ(card->annotate(), Outcome::close);
    EXPECT_EQ(card->upload(), Outcome::close);
    EXPECT_FALSE(card->saveRequest());
    EXPECT_FALSE(card->dragPayload());
    EXPECT_EQ(h.pasteboard.changeCount(), before) << "the pasteboard is left alone";
    EXPECT_TRUE(h.store->historyNewestFirst().empty()) << "the deleted clip is not brought back";
    EXPECT_EQ(card->progress()->state().kind, Kind::idle);
    EXPECT_TRUE(h.opened.isEmpty());
}

TEST(CaptureCardActions, SavingIsAtomicAndKeepsThePreviousFileOnFailure)
{
    CardHarness h;
    const QByteArray png = test::png(40, 30);
    const ClipRef shot = h.screenshot(png);
    shot->setCreatedAt(QDateTime(QDate(2026, 5, 4), QTime(9, 8, 7), Qt::LocalTime));
    h.clock.advance(3600 * 1000);
    auto card = h.card(shot);
    const auto request = card->saveRequest();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->title, "Save Screenshot");
    EXPECT_EQ(request->suggestedName, "Brindlewax-2026-05-04-090807.png") << "the capture's time, not the save's";

    QTemporaryDir out;
    const QString target = out.filePath(QStringLiteral("shot.png"));
    QFile old(target);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("previous");
    old.close();
    {
        // Saved on purpose, the screenshot is the user's document: the umask decides who reads it.
        test::ScopedUmask mask(022);
        ASSERT_TRUE(CaptureCardActions::write(*request, target));
    }
    EXPECT_EQ(readAll(target), png);
    EXPECT_EQ(test::permissionBits(target), 0644u);

    // A recording whose file vanishes while it is saved: the old file at the destination stays whole.
    const QString movie = h.temporaryRoot.filePath(QStringLiteral("Recording.mp4"));
    QFile file(movie);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(3 << 20, 'm'));
    file.close();
    CapturedContent recording;
    recording.kind = ClipKind::file;
    recording.text = movie;
    recording.fileName = QStringLiteral("Recording.mp4");
    auto recordingCard = h.card(h.insert(recording));
    const auto saveRecording = recordingCard->saveRequest();
    ASSERT_TRUE(saveRecording);
    EXPECT_EQ(saveRecording->title, "Save Recording");
    EXPECT_EQ(saveRecording->suggestedName, "Recording.mp4");
    const QString kept = out.filePath(QStringLiteral("kept.mp4"));
    {
        test::ScopedUmask mask(027);
        ASSERT_TRUE(CaptureCardActions::write(*saveRecording, kept));
    }
    EXPECT_EQ(QFileInfo(kept).size(), 3 << 20);
    EXPECT_EQ(test::permissionBits(kept), 0640u);
    QFile::remove(movie);
    EXPECT_FALSE(CaptureCardActions::write(*saveRecording, kept));
    EXPECT_EQ(QFileInfo(kept).size(), 3 << 20) << "the earlier copy is not replaced by a partial one";
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files).size(), 2) << "no temporary file is left behind";
    EXPECT_FALSE(CaptureCardActions::write(*request, out.filePath(QStringLiteral("missing-folder/x.png"))));

    // Once the recording is gone the card saves its image instead, or nothing without one.
    EXPECT_FALSE(recordingCard->saveRequest());
    EXPECT_EQ(h.card(recordingCard->clip(), test::filled(8, 8))->saveRequest()->title, "Save Screenshot");
}

TEST(CaptureCardActions, DragOutGivesTheRecordingsOwnFileOrAPrivatePng)
{
    CardHarness h;
    const QByteArray png = test::png(16, 9);
    const auto payload = h.card(h.screenshot(png))->dragPayload();
    ASSERT_TRUE(payload);
    EXPECT_EQ(payload->png, png);
    EXPECT_EQ(readAll(payload->filePath), png);
    const QFileInfo folder(QFileInfo(payload->filePath).path());
    EXPECT_EQ(folder.fileName(), CaptureCardActions::dragFolderName);
    EXPECT_TRUE(folder.fileName().startsWith("Brindlewax ")) << "a name the user knows, where the file is dropped";
    const auto userBits = QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    EXPECT_EQ(folder.permissions() & ~userBits, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
        << "the folder is the user's alone";

    const QString movie = h.temporaryRoot.filePath(QStringLiteral("clip.mp4"));
    QFile file(movie);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("mp4");
    file.close();
    CapturedContent recording;
    recording.kind = ClipKind::file;
    recording.text = movie;
    auto recordingCard = h.card(h.insert(recording));
    EXPECT_EQ(recordingCard->dragPayload()->filePath, movie);
    EXPECT_TRUE(recordingCard->dragPayload()->png.isEmpty());
    QFile::remove(movie);
    EXPECT_FALSE(recordingCard->dragPayload()) << "a deleted recording without an image drags nothing";

    // A folder others may enter is never written into: the session's runtime folder serves instead.
    const QString folderPath = h.temporaryRoot.filePath(CaptureCardActions::dragFolderName);
    QFile::setPermissions(folderPath, QFileDevice::Permissions(0x7777));
    const auto elsewhere = h.card(h.screenshot(test::png(5, 5)))->dragPayload();
    ASSERT_TRUE(elsewhere);
    EXPECT_TRUE(elsewhere->filePath.startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/"));
    EXPECT_FALSE(elsewhere->filePath.startsWith(folderPath + "/"));
}

TEST(CaptureCardActions, AnnotateOpensTheFileThePreviewOrAPrivateCopyOfTheCardImage)
{
    CardHarness h;
    const ClipRef shot = h.screenshot(test::png(10, 10));
    EXPECT_EQ(h.card(shot)->annotate(), Outcome::close);
    ASSERT_EQ(h.opened.size(), 1);
    EXPECT_FALSE(h.opened[0].toLocalFile().contains(CaptureCardActions::annotationFolderName))
        << "a clip with a preview never writes an annotation copy";

    // A recording whose file is gone and which has no bytes: the card's own image is annotated.
    CapturedContent recording;
    recording.kind = ClipKind::file;
    recording.text = h.temporaryRoot.filePath(QStringLiteral("gone.mp4"));
    const ClipRef gone = h.insert(recording);
    auto card = h.card(gone, test::filled(12, 12));
    EXPECT_EQ(card->annotate(), Outcome::close);
    ASSERT_EQ(h.opened.size(), 2);
    const QString copy = h.opened[1].toLocalFile();
    EXPECT_EQ(QFileInfo(copy).fileName(),
              QStringLiteral("annotate-%1.png").arg(gone->dedupID().toString(QUuid::WithoutBraces).left(8)));
    EXPECT_EQ(QFileInfo(copy).path(), h.temporaryRoot.filePath(CaptureCardActions::annotationFolderName));
    EXPECT_EQ(card->annotate(), Outcome::close);
    EXPECT_EQ(h.opened[2].toLocalFile(), copy) << "annotating again overwrites the same copy";

    EXPECT_EQ(h.card(gone)->annotate(), Outcome::stay) << "nothing to annotate: the card stays open";
}

TEST(CaptureCardActions, UploadRunsOnceAtATimeAndReportsTheServicesText)
{
    CardHarness h;
    auto card = h.card(h.screenshot(test::png(10, 10)));
    EXPECT_FALSE(card->showsUploadButton()) << "not configured and idle: no upload button";
    EXPECT_EQ(card->upload(), Outcome::stay);
    EXPECT_EQ(card->progress()->state().kind, Kind::failed) << "without an environment the upload cannot start";

    h.prefs->setJSON(ShareUploadConfig{QStringLiteral("s3.example.com"), QStringLiteral("auto"),
                                       QStringLiteral("captures/"), QStringLiteral("https://cdn.example.com"),
                                       QStringLiteral("AKID")},
                     ShareUploadConfig::key);
    storeShareStorageProvider(*h.prefs, ShareStorageProvider::ownStorage);
    EXPECT_TRUE(h.card(card->clip())->showsUploadButton());

    QNetworkAccessManager network;
    CaptureCardActions::Dependencies deps;
    deps.writer = &h.writer;
    deps.uploads.preferences = h.prefs.prefs.get();
    deps.uploads.environment = [&] {
        UploadEnvironment env;
        env.network = &network;
        env.preferences = h.prefs.prefs.get();
        return env;
    };
    // A keyring that is silent until released, with no secret in it.
    test::HeldSecretStore secrets;
    AsyncSecretStore keyring(secrets);
    secrets.hold();
    deps.uploads.readSecret = keyring.fetcher(uploadSecretItem);
    deps.uploadOwner = &h.uploadOwner;
    auto progress = std::make_shared<CaptureOverlayUploadProgress>(
        CaptureOverlayUploadProgress::State{Kind::failed, QStringLiteral("x")});
    CaptureCardActions retry(deps, card->clip(), progress, {});
    EXPECT_TRUE(retry.showsUploadButton());
    retry.upload();
    EXPECT_EQ(progress->state().kind, Kind::uploading) << "a failed upload can be retried";
    retry.upload();
    // The keyring is read off this thread: the event loop goes on while it is silent.
    bool loopRan = false;
    QTimer::singleShot(0, [&] { loopRan = true; });
    EXPECT_TRUE(test::waitUntil([&] { return loopRan && secrets.waiting() == 1; }));
    EXPECT_EQ(progress->state().kind, Kind::uploading);
    secrets.release();
    ASSERT_TRUE(test::waitUntil([&] { return progress->state().kind == Kind::failed; }));
    EXPECT_EQ(progress->state().message, UploadError::of(UploadError::Kind::missingSecret).message());
    EXPECT_EQ(progress->state().reason, UploadError::of(UploadError::Kind::missingSecret).reason());
}
