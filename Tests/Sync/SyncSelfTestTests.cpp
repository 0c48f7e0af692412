#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Sync/SyncHealthStore.h"
#include "Quillmere/Sync/SyncSelfTest.h"

#include "Support/TestSupport.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class SyncSelfTestTest : public ::testing::Test {
protected:
    SyncSelfTestTest()
    {
        QString error;
        ClipStoreDependencies deps;
        deps.preferences = prefs.prefs.get();
        deps.notificationCenter = &notifications;
        deps.clock = clock.clock();
        store = std::make_unique<ClipStore>(
            std::shared_ptr<ModelContainer>(ModelContainer::open({}, clock.clock(), &error).release()), deps);
    }
    // A test clip as another device writes it, dated now.
    ClipRef foreign(const QString &text, const QString &app = SyncProbes::title)
    {
        CapturedContent content;
        content.text = text;
        content.sourceAppName = app;
        return store->insertManualClip(content, nullptr, std::nullopt);
    }
    SyncVerificationResult roundTrip(double timeout, const std::function<void()> &duringFirstSleep = {})
    {
        SyncRoundTrip check(*store, health);
        QSignalSpy done(&check, &SyncRoundTrip::finished);
        check.verify(QStringLiteral("Linux"), clock.clock(), timeout, 2.0);
        if (duringFirstSleep) {
            QTest::qWait(50); // the first look has happened; the check sleeps
            duringFirstSleep();
        }
        // Each sleep is two seconds of the fake clock.
        for (int i = 0; i < 40 && done.isEmpty(); ++i) {
            clock.advance(2000);
            done.wait(2500);
        }
        return done.isEmpty() ? SyncVerificationResult{} : done.front().front().value<SyncVerificationResult>();
    }

    FakeClock clock;
    TempPreferences prefs;
    NotificationCenter notifications;
    SyncHealthStore health{*prefs, clock.clock()};
    std::unique_ptr<ClipStore> store;
};

TEST_F(SyncSelfTestTest, ProbesAreWrittenFoundSummarisedAndDeletedWithLegacyOnes)
{
    EXPECT_EQ(SyncProbes::syncProbeSummary(*store, 3), QStringLiteral("No sync test clips yet."));
    ClipRef mine = SyncProbes::insertSyncProbe(*store, QStringLiteral("Linux"));
    ASSERT_TRUE(mine);
    const QStringList lines = mine->text()->split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], QStringLiteral("Brindlewax Sync Check"));
    EXPECT_EQ(lines[2], QStringLiteral("Created: 2026-03-01T12:00:00Z"));
    EXPECT_EQ(lines[3].size(), 40);
    EXPECT_TRUE(mine->isPinned());
    EXPECT_EQ(SyncProbes::syncProbeSummary(*store, 3), QStringLiteral("Latest test clip: now."));

    clock.advance(1000);
    foreign(QStringLiteral("note"), QStringLiteral("Quillmere Sync Check"));
    clock.advance(1000);
    foreign(QStringLiteral("Quillmere Sync Check\nOrigin: iPad"), QStringLiteral("Notes"));
    foreign(QStringLiteral("quillmere sync check lower case is not one"), QStringLiteral("Notes"));
    clock.advance(60000);
    EXPECT_EQ(SyncProbes::fetchSyncProbes(*store, 10).size(), 3u);
    EXPECT_EQ(SyncProbes::syncProbeSummary(*store, 3), QStringLiteral("3 recent test clips. Latest: 1 minute ago."));
    SyncProbes::deleteSyncProbes(*store);
    EXPECT_TRUE(SyncProbes::fetchSyncProbes(*store, 10).empty());
    EXPECT_EQ(store->context().clipCount(), 1);
}

TEST_F(SyncSelfTestTest, OriginsAndLinesAreReadAsWritten)
{
    EXPECT_EQ(SyncProbes::syncProbeOrigin(*foreign(QStringLiteral("Brindlewax Sync Check\n  Origin:   iPad  \nID: x"))),
              QStringLiteral("iPad"));
    EXPECT_EQ(SyncProbes::syncProbeOrigin(*foreign(QStringLiteral("Brindlewax Sync Check\nOrigin:"))),
              QStringLiteral("Unknown device"));
    EXPECT_EQ(SyncProbes::syncProbeOrigin(*foreign(QStringLiteral("Brindlewax Sync Check"))),
              QStringLiteral("Unknown device"));

    SyncDiagnostics empty = SyncProbes::syncDiagnostics(*store, clock.now(), 4);
    EXPECT_EQ(empty.localClipCount, 3);
    EXPECT_EQ(SyncProbes::latestLocalClipLine(nullptr, clock.now()), QStringLiteral("No local clips yet."));
    CapturedContent note;
    note.text = QString(48, QLatin1Char('a'));
    ClipRef whole = store->insertClip(note);
    EXPECT_EQ(SyncProbes::latestLocalClipLine(whole.get(), clock.now()),
              QStringLiteral("Text - ") + *note.text + " - now");
    note.text = QString(49, QLatin1Char('b'));
    ClipRef cut = store->insertClip(note);
    EXPECT_EQ(SyncProbes::latestLocalClipLine(cut.get(), clock.now()),
              QStringLiteral("Text - ") + QString(45, QLatin1Char('b')) + "... - now");
}

TEST_F(SyncSelfTestTest, RoundTripNeedsTheFolderModeAndLeavesTheHistoryAloneWithout)
{
    EXPECT_EQ(roundTrip(20).kind, SyncVerificationResult::Case::unavailable);
    EXPECT_EQ(store->context().clipCount(), 0);
}

TEST_F(SyncSelfTestTest, RoundTripIsConfirmedOnlyByANewerForeignProbe)
{
    health.markCloudKitActive();
    foreign(QStringLiteral("Brindlewax Sync Check\nOrigin: iPhone"));
    // Same date as the baseline, and this device's own kind: neither confirms.
    const SyncVerificationResult timedOut = roundTrip(6, [&] {
        foreign(QStringLiteral("Brindlewax Sync Check\nOrigin: Linux"));
        foreign(QStringLiteral("Brindlewax Sync Check\nOrigin: iPad"));
    });
    EXPECT_EQ(timedOut.kind, SyncVerificationResult::Case::timedOut);
    EXPECT_FALSE(health.facts().lastVerifiedAt);

    const SyncVerificationResult ok = roundTrip(20, [&] {
        clock.advance(1);
        foreign(QStringLiteral("Brindlewax Sync Check\nOrigin: iPhone"));
    });
    ASSERT_EQ(ok.kind, SyncVerificationResult::Case::verified);
    EXPECT_EQ(health.facts().lastVerifiedAt, ok.at);
    EXPECT_GT(ok.at, clock.now().addSecs(-1));
}

} // namespace
