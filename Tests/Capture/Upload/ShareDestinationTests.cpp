#include "LoopbackServer.h"
#include "Quillmere/Capture/Upload/ManagedCloudSetup.h"
#include "Quillmere/Capture/Upload/ShareLinkDelivery.h"
#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"
#include "Support/MemoryPasteboard.h"
#include "Support/TestSupport.h"

#include <QImage>
#include <QNetworkAccessManager>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(ShareStorageProvider, StoredChoiceWithTheManagedServiceAsDefault)
{
    test::TempPreferences prefs;
    EXPECT_EQ(currentShareStorageProvider(*prefs, true), ShareStorageProvider::quillmereCloud);
    prefs->setString(PreferenceKeys::shareStorageProvider, "OwnStorage");
    EXPECT_EQ(currentShareStorageProvider(*prefs, true), ShareStorageProvider::quillmereCloud) << "letter case matters";
    EXPECT_EQ(prefs->string(PreferenceKeys::shareStorageProvider), "OwnStorage") << "the default is not written back";

    storeShareStorageProvider(*prefs, ShareStorageProvider::ownStorage);
    EXPECT_EQ(prefs->string(PreferenceKeys::shareStorageProvider), "ownStorage");
    EXPECT_EQ(currentShareStorageProvider(*prefs, true), ShareStorageProvider::ownStorage);
    EXPECT_EQ(destinationSubtitle(ShareStorageProvider::ownStorage), "Use credentials for storage you control.");
    EXPECT_EQ(symbolName(ShareStorageProvider::ownStorage), "externaldrive.fill");
    EXPECT_EQ(menuLabel(allShareStorageProviders(true).first()), "Brindlewax Cloud");
}

TEST(ShareStorageProvider, WithoutAManagedServiceOwnStorageIsTheDefaultAndTheOnlyChoice)
{
    test::TempPreferences prefs;
    EXPECT_EQ(currentShareStorageProvider(*prefs, false), ShareStorageProvider::ownStorage);
    storeShareStorageProvider(*prefs, ShareStorageProvider::quillmereCloud);
    EXPECT_EQ(currentShareStorageProvider(*prefs, false), ShareStorageProvider::ownStorage);
    EXPECT_EQ(prefs->string(PreferenceKeys::shareStorageProvider), "quillmereCloud")
        << "kept for a build that has the service";
    EXPECT_EQ(allShareStorageProviders(false), QList{ShareStorageProvider::ownStorage});
}

namespace {

struct PasteboardHarness {
    MemoryPasteboard pasteboard;
    NotificationCenter center;
    PasteboardWriter writer{pasteboard, center};
    QStringList notices; // feedback of each own-write notice

    PasteboardHarness()
    {
        center.addObserver(ownPasteboardWriteNotification, &pasteboard, [this](const Notification &note) {
            notices << note.userInfo.value(ownPasteboardWriteFeedbackKey).toString();
        });
    }
};

} // namespace

TEST(ShareLinkDelivery, OnlyTheNewestUploadTouchesThePasteboard)
{
    PasteboardHarness h;
    ShareLinkDelivery delivery(h.writer);
    ClipItem screenshot;
    screenshot.setKind(ClipKind::image);
    screenshot.setImageData(QByteArray("png"));

    const auto older = delivery.claim();
    const auto newer = delivery.claim(); // a second capture started its upload
    EXPECT_FALSE(delivery.deliverLink(older, QUrl("https://cdn.example/old.png")));
    EXPECT_FALSE(delivery.deliverFallback(older, screenshot));
    EXPECT_TRUE(h.notices.isEmpty());
    EXPECT_TRUE(delivery.deliverLink(newer, QUrl("https://cdn.example/new.png")));
    EXPECT_EQ(h.pasteboard.string(), "https://cdn.example/new.png");
    EXPECT_EQ(h.notices, QStringList{"uploadComplete"});

    // Something copied while the upload ran is not overwritten either.
    const auto claim = delivery.claim();
    PasteboardContents copied;
    copied.setString("typed by the user");
    h.pasteboard.simulateExternalCopy(copied);
    EXPECT_FALSE(delivery.deliverLink(claim, QUrl("https://cdn.example/late.png")));
    EXPECT_FALSE(delivery.deliverFallback(claim, screenshot));
    EXPECT_EQ(h.pasteboard.string(), "typed by the user");

    const auto last = delivery.claim();
    EXPECT_TRUE(delivery.deliverFallback(last, screenshot));
    EXPECT_EQ(h.pasteboard.data(PasteboardType::png), "png");
}

namespace {

struct SetupHarness {
    QNetworkAccessManager network;
    test::TempPreferences prefs;
    PasteboardHarness board;
    std::optional<QString> token = QStringLiteral("tok-1");

    ManagedCloudSetup::Dependencies dependencies(const QVariantMap &info)
    {
        return {&network,
                prefs.prefs.get(),
                &board.writer,
                info,
                [this](QObject *, std::function<void(std::optional<QString>)> done) { done(token); },
                true};
    }
};

QVariantMap infoFor(const test::LoopbackServer &server)
{
    return {{ManagedCloudConfiguration::infoKey, QStringLiteral("https://127.0.0.1:%1").arg(server.port())}};
}

} // namespace

TEST(ManagedCloudSetup, TestUploadPutsTheLinkOnThePasteboardBeforeReportingSuccess)
{
    test::LoopbackServer server([](const test::LoopbackServer::Request &r) {
        if (r.target == "/v1/objects")
            return test::LoopbackServer::json(201, R"({"id":"t1"})");
        return test::LoopbackServer::json(200, R"({"url":"https://share.example/t1.png"})");
    });
    SetupHarness h;
    ManagedCloudSetup setup(h.dependencies(infoFor(server)));
    std::vector<CloudTestState::Kind> stateAtNotice;
    h.board.center.addObserver(ownPasteboardWriteNotification, &setup,
                               [&](const Notification &) { stateAtNotice.push_back(setup.cloudTestState().kind); });

    EXPECT_TRUE(setup.statusLines().isEmpty());
    setup.startTestUpload();
    EXPECT_EQ(setup.statusLines(), QStringList{"Uploading a tiny test image…"});
    EXPECT_FALSE(setup.canStartTestUpload());
    setup.startTestUpload(); // ignored while running
    ASSERT_TRUE(test::waitUntil([&] { return setup.canStartTestUpload(); }, 20000));

    EXPECT_EQ(setup.cloudTestState().kind, CloudTestState::Kind::succeeded);
    EXPECT_EQ(setup.statusLines(),
              QStringList{"Test upload worked. Its link is on your clipboard: https://share.example/t1.png"});
    EXPECT_EQ(h.board.pasteboard.string(), "https://share.example/t1.png");
    EXPECT_EQ(h.board.notices, QStringList{"uploadComplete"});
    EXPECT_EQ(stateAtNotice, std::vector{CloudTestState::Kind::testing});

    ASSERT_EQ(server.requests().size(), 2);
    const QByteArray image = server.requests()[0].body;
    EXPECT_EQ(image.size(), 68);
    EXPECT_EQ(QImage::fromData(image).size(), QSize(1, 1));
    EXPECT_EQ(QImage::fromData(image).pixelColor(0, 0), QColor(Qt::black));
    EXPECT_EQ(server.requests()[0].headers.value("x-file-name"), "Brindlewax-Cloud-Test.png");
    EXPECT_EQ(h.prefs->string(PreferenceKeys::shareStorageProvider), std::nullopt)
        << "the test does not choose the destination";

    setup.useForScreenshotLinks();
    EXPECT_EQ(h.prefs->string(PreferenceKeys::shareStorageProvider), "quillmereCloud");
    EXPECT_EQ(setup.statusLines().first(), "Brindlewax Cloud will now be used for screenshot links.");
}

TEST(ManagedCloudSetup, FailuresLeaveThePasteboardAlone)
{
    QByteArray storeAnswer = test::LoopbackServer::answer(409);
    test::LoopbackServer server([&](const auto &) { return storeAnswer; });
    SetupHarness h;
    PasteboardContents before;
    before.setString("keep me");
    h.board.pasteboard.simulateExternalCopy(before);

    auto run = [&](const QVariantMap &info) {
        ManagedCloudSetup setup(h.dependencies(info));
        setup.startTestUpload();
        EXPECT_TRUE(test::waitUntil([&] { return setup.canStartTestUpload(); }, 20000));
        EXPECT_EQ(setup.cloudTestState().kind, CloudTestState::Kind::failed);
        return setup.cloudTestState().message;
    };
    EXPECT_EQ(run({}), "Brindlewax Cloud is not configured in this build.");
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_EQ(run(infoFor(server)), "Your 25 GB Brindlewax Cloud storage is full.");
    h.token.reset();
    EXPECT_EQ(run(infoFor(server)), ManagedCloudSetup::missingTokenMessage);
    h.token = QStringLiteral("tok-1");
    EXPECT_EQ(run({{ManagedCloudConfiguration::infoKey, "https://127.0.0.1:1/"}}), "Could not connect to 127.0.0.1.");

    EXPECT_EQ(h.board.pasteboard.string(), "keep me");
    EXPECT_TRUE(h.board.notices.isEmpty());
}
