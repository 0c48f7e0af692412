#include "SettingsWindowFixture.h"

#include "Quillmere/App/DemoData.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"
#include "Quillmere/Settings/SyncPane.h"
#include "Quillmere/Sync/CloudSyncStatus.h"
#include "Quillmere/Sync/SyncHealthStore.h"
#include "Quillmere/Sync/SyncSettings.h"

#include <QScrollArea>
#include <QScrollBar>

using namespace quillmere;
using quillmere::test::SettingsWindowFixture;

namespace {

struct SyncFixture : SettingsWindowFixture {
    SyncFixture()
    {
        CloudSyncStatus::Dependencies deps;
        deps.health = &health;
        deps.notifications = &center;
        deps.clock = clock.clock();
        status = std::make_unique<CloudSyncStatus>(PersistenceMode::cloudKit, true, deps);
        syncStatus = status.get();
        sync.health = &health;
        sync.clock = clock.clock();
        sync.origin = QStringLiteral("Linux here (abcdef)");
        sync.environmentName = QStringLiteral("Shared folder");
        sync.chooseFolder = [this](const QString &) { return chosen; };
    }
    SyncPane *openSync()
    {
        open();
        select(SettingsPane::sync);
        return pane<SyncPane>();
    }

    SyncHealthStore health{*prefs, clock.clock()};
    std::unique_ptr<CloudSyncStatus> status;
    std::optional<QString> chosen;
};

TEST(SyncPane, RowsShowTheStatusHistoryAndFolderAndTheButtonsAct)
{
    SyncFixture f;
    seedDemoData(*f.store);
    f.prefs->setString(PreferenceKeys::syncFolderPath, QStringLiteral("/home/me/Sync/Brindlewax"));
    SyncPane *pane = f.openSync();
    ASSERT_TRUE(pane);
    EXPECT_EQ(pane->findChildren<SettingsDivider *>().size(), 9);
    EXPECT_EQ(pane->healthRow()->header(), QStringLiteral("Sync healthy"));
    EXPECT_EQ(pane->statusPill()->title(), QStringLiteral("On"));
    EXPECT_EQ(pane->statusRow()->subtitle(), QStringLiteral("Sync is on: the history goes through the sync folder"));
    EXPECT_EQ(pane->environmentLabel()->text(), QStringLiteral("Shared folder"));
    const int clips = int(f.store->context().clipCount());
    EXPECT_TRUE(pane->checkRow()->subtitle().startsWith(QString::number(clips) + " local clips. "));
    EXPECT_EQ(pane->probesRow()->subtitle(), QStringLiteral("No sync test clips yet."));
    EXPECT_EQ(pane->folderRow()->subtitle(), QStringLiteral("/home/me/Sync/Brindlewax"));

    pane->createRow()->button()->click();
    EXPECT_EQ(pane->createRow()->subtitle(), SyncActions::createdMessage);
    EXPECT_EQ(pane->probesRow()->subtitle(), QStringLiteral("Linux here (abcdef) - now"));
    EXPECT_TRUE(pane->checkRow()->subtitle().startsWith(QString::number(clips + 1) + " local clips. "));
    f.screenshot("sync-pane");
    EXPECT_TRUE(pane->healthRow()->grab().save(test::artifactPath("settings-sync-health-row.png")));

    f.chosen = QStringLiteral("/media/usb/Brindlewax");
    pane->folderRow()->button()->click();
    EXPECT_EQ(pane->folderRow()->subtitle(), QStringLiteral("/media/usb/Brindlewax\n") + SyncActions::restartNote);
    EXPECT_EQ(f.prefs->string(PreferenceKeys::syncFolderPath), QStringLiteral("/media/usb/Brindlewax"));
    QScrollBar *scroll = f.window->findChild<QScrollArea *>()->verticalScrollBar();
    scroll->setValue(scroll->maximum());
    f.screenshot("sync-pane-folder");
    pane->cleanRow()->button()->click();
    EXPECT_EQ(pane->createRow()->subtitle(), SyncActions::removedMessage);
    EXPECT_EQ(pane->probesRow()->subtitle(), QStringLiteral("No sync test clips yet."));
}

TEST(SyncPane, ASyncErrorReachesThePillsAndTheHealthRowAndVerifyReportsBack)
{
    SyncFixture f;
    f.sync.verifyPollInterval = 0.05;
    SyncPane *pane = f.openSync();
    ASSERT_TRUE(pane);
    f.status->handleEvent(
        {SyncEvent::Type::export_, f.clock.now(), f.clock.now(), false, QStringLiteral("The folder is read-only")});
    EXPECT_EQ(pane->statusPill()->title(), QStringLiteral("Sync error"));
    EXPECT_EQ(f.window->syncPill()->title(), QStringLiteral("Sync error"));
    EXPECT_EQ(pane->healthRow()->header(), QStringLiteral("Sync needs attention"));
    EXPECT_TRUE(pane->healthRow()->lines().contains(QStringLiteral("The folder is read-only")));

    // Sync is on but nothing answers here: the check ends when it gives up, after showing it runs.
    SettingsButton *verify = pane->healthRow()->verifyButton();
    verify->click();
    EXPECT_EQ(verify->text(), QStringLiteral("Verifying…"));
    EXPECT_FALSE(verify->isEnabled());
    EXPECT_EQ(pane->healthRow()->lines().constLast(), SyncActions::verifyingMessage);
    f.clock.advance(qint64(f.sync.verifyTimeout * 1000) + 1);
    ASSERT_TRUE(quillmere::test::waitUntil([&] { return verify->isEnabled(); }, 5000));
    EXPECT_EQ(verify->text(), QStringLiteral("Verify Now"));
    EXPECT_EQ(pane->healthRow()->lines().constLast(),
              QStringLiteral("No echo yet. On your other device, create a sync test clip."));
}

TEST(SyncPane, WithoutAFolderTheChooserComesFirstAndTheTextPointsToIt)
{
    SyncFixture f;
    CloudSyncStatus::Dependencies deps;
    deps.health = &f.health;
    deps.notifications = &f.center;
    deps.clock = f.clock.clock();
    f.status = std::make_unique<CloudSyncStatus>(PersistenceMode::localOnly, true, deps);
    f.syncStatus = f.status.get();
    SyncPane *pane = f.openSync();
    ASSERT_TRUE(pane);
    QScrollArea *scroll = f.window->findChild<QScrollArea *>();
    ASSERT_TRUE(scroll);
    EXPECT_EQ(scroll->verticalScrollBar()->value(), 0);
    EXPECT_EQ(pane->content()->indexOf(pane->folderRow()), 0);
    // In view as the pane opens, not below the fold.
    const QRect inViewport(pane->folderRow()->mapTo(scroll->viewport(), QPoint(0, 0)), pane->folderRow()->size());
    EXPECT_TRUE(scroll->viewport()->rect().contains(inViewport)) << "folder row at y " << inViewport.y();
    EXPECT_EQ(pane->statusRow()->subtitle(), SyncActions::noFolderStatus);
    EXPECT_FALSE(pane->statusRow()->subtitle().contains(QStringLiteral("Sync settings")));
    f.screenshot("sync-pane-no-folder");

    // Once chosen, the folder goes back to the end and the status says what happens next.
    f.chosen = QStringLiteral("/media/usb/Brindlewax");
    pane->folderRow()->button()->click();
    EXPECT_EQ(pane->content()->indexOf(pane->folderRow()), pane->content()->count() - 1);
    EXPECT_EQ(pane->statusRow()->subtitle(), QStringLiteral("Sync is off until Brindlewax is restarted."));
}

} // namespace
