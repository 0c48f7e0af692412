#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"
#include "Quillmere/Settings/Core/SyncActions.h"
#include "Quillmere/Sync/CloudSyncStatus.h"
#include "Quillmere/Sync/SyncHealthStore.h"
#include "Quillmere/Sync/SyncSettings.h"

#include "Support/TestSupport.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class SyncActionsTest : public ::testing::Test {
protected:
    SyncActionsTest()
    {
        QString error;
        ClipStoreDependencies deps;
        deps.preferences = prefs.prefs.get();
        deps.notificationCenter = &notifications;
        deps.clock = clock.clock();
        store = std::make_unique<ClipStore>(
            std::shared_ptr<ModelContainer>(ModelContainer::open({}, clock.clock(), &error).release()), deps);
    }
    SyncActions &make(std::optional<QString> activeFolder = std::nullopt)
    {
        SyncActions::Dependencies deps;
        deps.store = store.get();
        deps.health = &health;
        deps.preferences = prefs.prefs.get();
        deps.origin = QStringLiteral("Linux here (abcdef)");
        deps.activeFolder = std::move(activeFolder);
        deps.chooseFolder = [this](const QString &) { return chosen; };
        deps.clock = clock.clock();
        deps.verifyPollInterval = 0.01;
        actions = std::make_unique<SyncActions>(std::move(deps));
        return *actions;
    }
    ClipRef text(const QString &t)
    {
        CapturedContent c;
        c.text = t;
        return store->insertClip(c);
    }
    QString finishVerify(SyncActions &a)
    {
        EXPECT_TRUE(waitUntil([&] { return !a.isVerifying(); }, 5000));
        return a.verifyMessage().value_or(QString());
    }

    FakeClock clock;
    TempPreferences prefs;
    NotificationCenter notifications;
    SyncHealthStore health{*prefs, clock.clock()};
    std::unique_ptr<ClipStore> store;
    std::optional<QString> chosen;
    std::unique_ptr<SyncActions> actions;
};

TEST_F(SyncActionsTest, TestClipButtonsLeaveTheirMessageAndBumpTheRevision)
{
    SyncActions &a = make();
    EXPECT_EQ(a.probeMessage(), QStringLiteral("No sync test clips yet."));
    EXPECT_EQ(a.environmentName(), QStringLiteral("Unknown"));

    a.createSyncTestClip();
    EXPECT_EQ(a.probeMessage(), SyncActions::createdMessage);
    EXPECT_EQ(a.revision(), 1);
    const SyncDiagnostics made = a.diagnostics();
    ASSERT_EQ(made.recentSyncProbes.size(), 1);
    EXPECT_EQ(made.recentSyncProbes.front(), QStringLiteral("Linux here (abcdef) - now"));

    // Other devices' clips do not replace the message.
    for (int i = 0; i < 5; ++i)
        SyncProbes::insertSyncProbe(*store, QStringLiteral("Linux there"));
    EXPECT_EQ(a.probeMessage(), SyncActions::createdMessage);
    EXPECT_EQ(a.diagnostics().recentSyncProbes.size(), 4);

    a.refreshSyncCheck();
    EXPECT_EQ(a.probeMessage(), QStringLiteral("3 recent test clips. Latest: now."));
    a.removeSyncTestClips();
    EXPECT_EQ(a.probeMessage(), SyncActions::removedMessage);
    EXPECT_EQ(a.revision(), 3);
    EXPECT_TRUE(a.diagnostics().recentSyncProbes.isEmpty());
    EXPECT_EQ(a.diagnostics().latestSyncProbe, QStringLiteral("No sync test clips yet."));
}

TEST_F(SyncActionsTest, HealthFollowsTheStatusAndCountsADayInclusively)
{
    text(QStringLiteral("old"));
    clock.advance(86400 * 1000);
    text(QStringLiteral("new"));
    SyncActions &a = make();
    SyncHealth h = a.health();
    EXPECT_EQ(h.level, SyncHealthLevel::critical) << "without a status nothing is kept";
    EXPECT_EQ(h.totalClips, 2);
    EXPECT_EQ(h.capturesLast24h, 2);

    CloudSyncStatus::Dependencies deps;
    deps.health = &health;
    deps.notifications = &notifications;
    deps.clock = clock.clock();
    CloudSyncStatus status(PersistenceMode::cloudKit, true, deps);
    SyncActions::Dependencies with;
    with.store = store.get();
    with.syncStatus = &status;
    with.health = &health;
    with.clock = clock.clock();
    SyncActions b(with);
    QSignalSpy changed(&b, &SyncActions::changed);
    status.handleEvent({SyncEvent::Type::export_, clock.now(), clock.now(), false, QStringLiteral("disk full")});
    EXPECT_FALSE(changed.isEmpty());
    h = b.health();
    EXPECT_EQ(h.level, SyncHealthLevel::warning);
    EXPECT_EQ(h.failureReason, QStringLiteral("disk full"));
}

TEST_F(SyncActionsTest, VerifyRunsOnceAtATimeAndEndsWithTheResultsText)
{
    SyncActions &a = make();
    a.verifyNow();
    EXPECT_EQ(finishVerify(a), QStringLiteral("Sync is not on: choose a sync folder that other computers share."));
    EXPECT_EQ(store->context().clipCount(), 0);

    health.markCloudKitActive();
    a.verifyNow();
    EXPECT_TRUE(a.isVerifying());
    EXPECT_EQ(a.verifyMessage(), SyncActions::verifyingMessage);
    a.verifyNow();
    QTest::qWait(50);
    EXPECT_EQ(SyncProbes::fetchSyncProbes(*store, 10).size(), 1u) << "a second press starts nothing";
    clock.advance(20000);
    EXPECT_EQ(finishVerify(a), QStringLiteral("No echo yet. On your other device, create a sync test clip."));

    a.verifyNow();
    clock.advance(1000);
    SyncProbes::insertSyncProbe(*store, QStringLiteral("Linux there"));
    EXPECT_EQ(finishVerify(a), QStringLiteral("Round-trip confirmed. Sync is working both ways."));
    EXPECT_TRUE(a.health().lastVerifiedAt);
}

TEST_F(SyncActionsTest, AChosenFolderIsKeptAndWaitsForARestart)
{
    SyncActions &a = make(QStringLiteral("/srv/from-command-line"));
    EXPECT_EQ(a.folderText(), QStringLiteral("/srv/from-command-line"));
    a.chooseFolder();
    EXPECT_FALSE(prefs->string(PreferenceKeys::syncFolderPath)) << "cancelled";
    chosen = QStringLiteral("/srv/shared/");
    a.chooseFolder();
    EXPECT_EQ(prefs->string(PreferenceKeys::syncFolderPath), QStringLiteral("/srv/shared"));
    EXPECT_TRUE(a.needsRestart());
    EXPECT_EQ(a.folderText(), QStringLiteral("/srv/shared\n") + SyncActions::restartNote);

    prefs->setString(PreferenceKeys::syncFolderPath, QStringLiteral("/srv/shared"));
    SyncActions &running = make();
    EXPECT_FALSE(running.needsRestart());
    prefs->remove(PreferenceKeys::syncFolderPath);
    EXPECT_EQ(make().folderText(), QStringLiteral("No folder chosen: the history stays on this computer."));
}

} // namespace
