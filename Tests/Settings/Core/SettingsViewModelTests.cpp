#include "SettingsFixture.h"

#include "Quillmere/Sync/CloudSyncStatus.h"
#include "Quillmere/Sync/SyncHealthStore.h"

#include <QFile>
#include <QSignalSpy>

using namespace quillmere;
using quillmere::test::SettingsFixture;

TEST(SettingsPanes, CatalogueOrderAndExactRawValues)
{
    ASSERT_EQ(allSettingsPanes().size(), 10);
    EXPECT_EQ(allSettingsPanes().front(), SettingsPane::general);
    EXPECT_EQ(allSettingsPanes().back(), SettingsPane::about);
    for (SettingsPane pane : allSettingsPanes())
        EXPECT_EQ(settingsPaneFromRaw(rawValue(pane)), pane);
    EXPECT_EQ(settingsPaneFromRaw("data"), SettingsPane::data);
    EXPECT_FALSE(settingsPaneFromRaw("Data"));
    EXPECT_EQ(title(SettingsPane::privacy), "Privacy");
    EXPECT_EQ(systemImage(SettingsPane::progress), "rosette");
}

TEST(SettingsViewModel, PaneRequestsAreTakenOnceWhetherPostedBeforeOrWhileOpen)
{
    SettingsFixture f;
    // Asked for while no window listens: applied by the next appear step, and only once.
    f.model.reset();
    f.requests.request(SettingsPane::automation);
    f.rebuild();
    EXPECT_EQ(f.model->selectedPane(), SettingsPane::general);
    f.model->loadSettingsState();
    EXPECT_EQ(f.model->selectedPane(), SettingsPane::automation);
    f.model->selectPane(SettingsPane::general);
    f.model->loadSettingsState();
    EXPECT_EQ(f.model->selectedPane(), SettingsPane::general);

    f.requests.request(SettingsPane::progress);
    EXPECT_EQ(f.model->selectedPane(), SettingsPane::progress);
    f.center.post(SettingsPaneRequests::notification);
    EXPECT_EQ(f.model->selectedPane(), SettingsPane::progress);
    EXPECT_FALSE(f.requests.take());
}

TEST(SettingsViewModel, OpenPageChoiceIsRepairedAndWrittenBack)
{
    SettingsFixture f;
    f.prefs->setString("panelOpenBehavior", "tabs");
    f.prefs->setString("panelOpenPageID", QUuid::createUuid().toString());
    f.model->loadSettingsState();
    EXPECT_EQ(f.prefs->string("panelOpenBehavior"), QString("history"));
    EXPECT_EQ(f.prefs->string("panelOpenPageID"), QString("")) << "no Pages: cleared whatever the behaviour";

    const PageRef first = f.store->createPage("First");
    const PageRef second = f.store->createPage("Second");
    const QString firstID = first->dedupID().toString(QUuid::WithoutBraces).toUpper();
    f.model->setPanelOpenBehavior("page");
    EXPECT_EQ(f.prefs->string("panelOpenPageID"), firstID);
    EXPECT_EQ(f.model->defaultPageSelection(), firstID);

    // The Page the panel opens on goes while the window is open: the choice moves on at once.
    f.model->setPanelOpenPageID(second->dedupID().toString(QUuid::WithoutBraces).toUpper());
    ASSERT_TRUE(f.store->deletePage(second));
    EXPECT_EQ(f.prefs->string("panelOpenPageID"), firstID);

    // With "history" an id of a deleted Page is cleared; an unknown case is read as the default.
    f.prefs->setString("panelOpenBehavior", "history");
    f.prefs->setString("panelOpenPageID", QUuid::createUuid().toString());
    f.model->normalizePanelOpenSelection();
    EXPECT_EQ(f.prefs->string("panelOpenPageID"), QString(""));
    f.prefs->setString("panelOpenBehavior", "Page");
    EXPECT_EQ(f.prefs->string("panelOpenBehavior"), QString("history"));
    f.prefs->setString("panelWidthMode", "half");
    EXPECT_EQ(f.model->panelWidthSelection(), "full");
    EXPECT_EQ(f.prefs->string("panelWidthMode"), QString("half")) << "only a pick rewrites it";
    f.model->setPanelWidthMode("twoThirds");
    EXPECT_EQ(f.prefs->string("panelWidthMode"), QString("twoThirds"));
}

TEST(SettingsViewModel, HistoryLimitGoesThroughTheStoreAndThePruningNoteFollowsIt)
{
    SettingsFixture f;
    EXPECT_EQ(f.model->historyLimit(), 500);
    EXPECT_TRUE(f.model->showsPruningNote());
    f.model->setHistoryLimit(500);
    EXPECT_FALSE(f.model->showsPruningNote());
    EXPECT_EQ(f.store->resolveSettings()->historyLimitValue(), 500);
    EXPECT_EQ(f.prefs->integer("historyLimit"), 500);
    f.model->setHistoryLimit(-1);
    EXPECT_EQ(f.model->historyLimit(), -1);
    EXPECT_FALSE(f.model->showsPruningNote());
    // Another device's limit that no entry offers is shown as it is, without the note.
    f.store->resolveSettings()->setHistoryLimitValue(300);
    EXPECT_EQ(f.model->historyLimit(), 300);
    EXPECT_FALSE(f.model->showsPruningNote());
    EXPECT_EQ(f.model->settingsRevision(), 2);
}

TEST(SettingsViewModel, LaunchAtLoginIsAnAutostartEntryReadBackFromTheFile)
{
    SettingsFixture f;
    EXPECT_FALSE(f.model->launchAtLogin());
    f.model->setLaunchAtLogin(true);
    EXPECT_TRUE(f.model->launchAtLogin());
    EXPECT_FALSE(f.model->launchAtLoginError());
    QFile entry(f.autostartDir() + "/quillmere.desktop");
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QByteArray text = entry.readAll();
    entry.close();
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(text.contains("\nExec=\"/opt/Brindle wax/quillmere\"\n")) << text.constData();

    // Another tool switched it off in the file: the switch follows at the next refresh.
    ASSERT_TRUE(entry.open(QIODevice::Append));
    entry.write("Hidden=true\n");
    entry.close();
    f.model->refreshSystemStatus();
    EXPECT_FALSE(f.model->launchAtLogin());

    f.model->setLaunchAtLogin(false);
    EXPECT_FALSE(QFile::exists(entry.fileName()));

    // The folder cannot be made: the switch stays off and says why.
    QDir(f.autostartDir()).removeRecursively();
    QFile blocker(f.autostartDir());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    f.model->setLaunchAtLogin(true);
    EXPECT_FALSE(f.model->launchAtLogin());
    ASSERT_TRUE(f.model->launchAtLoginError());
    EXPECT_TRUE(f.model->launchAtLoginError()->startsWith("Could not enable launch at login: "));
    QFile::remove(f.autostartDir());
    f.model->setLaunchAtLogin(true);
    EXPECT_FALSE(f.model->launchAtLoginError()) << "a later success clears it";
}

TEST(LoginItem, ExecArgumentsAreQuotedAsDesktopEntriesRequire)
{
    EXPECT_EQ(LoginItem::quotedExecArgument("/usr/bin/quillmere"), "/usr/bin/quillmere");
    EXPECT_EQ(LoginItem::quotedExecArgument("/home/a b/q"), "\"/home/a b/q\"");
    EXPECT_EQ(LoginItem::quotedExecArgument("/x/100%/q"), "/x/100%%/q");
    EXPECT_EQ(LoginItem::quotedExecArgument("/x/$HOME/q"), "\"/x/\\\\$HOME/q\"");
}

TEST(SettingsViewModel, PermissionsAreFactsOfTheDisplayAndNeverAFakeGrant)
{
    SettingsFixture f;
    f.screenReadable = false;
    f.xtest = false;
    f.model->refreshSystemStatus();
    EXPECT_EQ(f.model->screenCapturePermissionState(), ScreenCapturePermissionState::firstUse);
    EXPECT_FALSE(f.model->isAccessibilityTrusted());

    // Asking changes nothing the display refuses: the request is remembered and the state is denied.
    f.model->requestScreenCaptureAccess();
    EXPECT_TRUE(f.prefs->boolValue("screenCapturePermissionRequestedV1"));
    EXPECT_EQ(f.model->screenCapturePermissionState(), ScreenCapturePermissionState::denied);
    EXPECT_FALSE(f.model->permissionNote());
    f.model->requestScreenCaptureAccess();
    EXPECT_EQ(f.model->permissionNote(), accessnotes::noScreenCaptureSetting);
    f.model->requestAccessibilityTrust();
    EXPECT_EQ(f.model->permissionNote(), accessnotes::noAccessibilitySetting);
    EXPECT_FALSE(f.model->isAccessibilityTrusted()) << "only a refresh changes it";

    QSignalSpy changed(f.model.get(), &SettingsViewModel::permissionsChanged);
    f.screenReadable = true;
    f.xtest = true;
    f.model->refreshSystemStatus();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(f.model->screenCapturePermissionState(), ScreenCapturePermissionState::granted);
    EXPECT_TRUE(f.model->isAccessibilityTrusted());
}

TEST(SettingsViewModel, AboutVersionAndSyncBadge)
{
    EXPECT_EQ(SettingsViewModel::versionText(QString("2.3"), QString("41")), "2.3 (41)");
    EXPECT_EQ(SettingsViewModel::versionText(std::nullopt, std::nullopt), "1.0 (1)");
    SettingsFixture f;
    EXPECT_EQ(f.model->versionText(), "0.1.0 (1)");
    EXPECT_EQ(f.model->syncBadge().title, "Not saved") << "no sync status: nothing survives";
    SyncHealthStore health(*f.prefs.prefs, f.clock.clock());
    CloudSyncStatus local(PersistenceMode::localOnly, false, {&health, &f.center});
    SettingsViewModel::Dependencies deps;
    deps.preferences = f.prefs.prefs.get();
    deps.store = f.store.get();
    deps.syncStatus = &local;
    EXPECT_EQ(SettingsViewModel(std::move(deps)).syncBadge().title, "Off");
}
