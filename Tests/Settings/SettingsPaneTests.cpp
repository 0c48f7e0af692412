#include "SettingsWindowFixture.h"

#include "Quillmere/Model/AutoPageRules.h"
#include "Quillmere/Model/ClipCaptureRules.h"
#include "Quillmere/Settings/RulePanes.h"
#include "Quillmere/Settings/SettingsPanes.h"

#include <QFile>
#include <QMessageBox>

using namespace quillmere;
using quillmere::test::SettingsWindowFixture;

namespace {

// Chooses an entry the way a keyboard user does, one step at a time.
void pick(MenuPicker *picker, const QVariant &value)
{
    const int target = picker->findData(value);
    ASSERT_GE(target, 0) << qPrintable(value.toString());
    for (int guard = 0; picker->currentIndex() != target && guard < 20; ++guard)
        QTest::keyClick(picker, picker->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
    EXPECT_EQ(picker->currentIndex(), target);
}

void click(QAbstractButton *button)
{
    ASSERT_TRUE(button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton);
}

QByteArray autostartEntry(SettingsWindowFixture &f)
{
    QFile file(f.autostartDir() + "/quillmere.desktop");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(GeneralPaneControls, EverySwitchAndPickerWritesThroughAtOnce)
{
    SettingsWindowFixture f;
    const PageRef first = f.store->createPage("First");
    const PageRef second = f.store->createPage("Second");
    f.open();
    GeneralPane *pane = f.pane<GeneralPane>();
    ASSERT_TRUE(pane);
    EXPECT_FALSE(pane->defaultPageRow()->isVisible());
    EXPECT_TRUE(pane->pruningNote()->isVisible());
    EXPECT_EQ(pane->historyPicker()->currentText(), "500 items");

    click(pane->launchSwitch());
    EXPECT_TRUE(pane->launchSwitch()->isChecked());
    EXPECT_TRUE(autostartEntry(f).contains("\nExec=/usr/bin/quillmere\n"));
    click(pane->launchSwitch());
    EXPECT_FALSE(pane->launchSwitch()->isChecked());
    EXPECT_TRUE(autostartEntry(f).isEmpty());

    click(pane->pauseSwitch());
    click(pane->copySoundSwitch());
    click(pane->autoExpireSwitch());
    EXPECT_TRUE(f.prefs->boolValue("capturePaused", false));
    EXPECT_FALSE(f.prefs->boolValue("copySoundEnabled", true));
    EXPECT_FALSE(f.prefs->boolValue("autoExpireSensitiveClips", true));

    pick(pane->widthPicker(), QString("twoThirds"));
    EXPECT_EQ(f.prefs->string("panelWidthMode"), QString("twoThirds"));

    pick(pane->openPicker(), QString("page"));
    EXPECT_EQ(f.prefs->string("panelOpenBehavior"), QString("page"));
    ASSERT_TRUE(pane->defaultPageRow()->isVisible());
    EXPECT_EQ(pane->defaultPagePicker()->currentText(), "First") << "the open-Page check picked the first Page";
    EXPECT_EQ(pane->defaultPageRow()->subtitle(), "The hotkey opens this Page.");
    const QString secondID = second->dedupID().toString(QUuid::WithoutBraces).toUpper();
    pick(pane->defaultPagePicker(), secondID);
    EXPECT_EQ(f.prefs->string("panelOpenPageID"), secondID);

    pick(pane->historyPicker(), qint64(-1));
    EXPECT_EQ(f.store->resolveSettings()->historyLimitValue(), -1);
    EXPECT_FALSE(pane->pruningNote()->isVisible());
    pick(pane->historyPicker(), qint64(1000));
    EXPECT_EQ(f.store->historyLimit(), 1000);

    // The tray pauses capture while the window is open: the switch follows.
    f.prefs->setBool("capturePaused", false);
    EXPECT_FALSE(pane->pauseSwitch()->isChecked());
    f.screenshot("general-changed");
    Q_UNUSED(first);
}

TEST(GeneralPaneControls, ALaunchSwitchThatCannotWriteEndsOffAndSaysWhy)
{
    SettingsWindowFixture f;
    QFile blocker(f.autostartDir());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    f.open();
    GeneralPane *pane = f.pane<GeneralPane>();
    click(pane->launchSwitch());
    EXPECT_FALSE(pane->launchSwitch()->isChecked());
    ASSERT_TRUE(pane->launchErrorRow()->isVisible());
    EXPECT_TRUE(pane->launchErrorRow()->message().startsWith("Could not enable launch at login: "));
    f.screenshot("general-launch-error");
}

TEST(RulePaneControls, PrivacyEditorsSaveReloadAndKeepTextWhenTheSaveFails)
{
    SettingsWindowFixture f;
    f.open();
    f.select(SettingsPane::privacy);
    PrivacyPane *pane = f.pane<PrivacyPane>();
    ASSERT_TRUE(pane);
    QTest::keyClicks(pane->appEditor(), " Firefox, firefox");
    QTest::keyClick(pane->appEditor(), Qt::Key_Return);
    QTest::keyClicks(pane->appEditor(), "Slack");
    QTest::keyClicks(pane->textEditor(), "password");
    click(pane->saveButton());
    const auto stored = f.prefs->decodeJSON<ClipRulePreferences>(ClipRulePreferences::key);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->blockedAppPatterns, (QStringList{"Firefox", "Slack"}));
    EXPECT_EQ(stored->blockedTextPatterns, QStringList{"password"});
    EXPECT_EQ(pane->appEditor()->toPlainText(), "Firefox\nSlack");
    EXPECT_EQ(pane->messageLabel()->text(), "Saved 4 local rules.");
    f.screenshot("privacy-saved");

    QTest::keyClicks(pane->appEditor(), ", Terminal");
    click(pane->reloadButton());
    EXPECT_EQ(pane->appEditor()->toPlainText(), "Firefox\nSlack");
    EXPECT_EQ(pane->messageLabel()->text(), "");

    // The preferences file can no longer be replaced.
    f.prefs->sync();
    QFile::remove(f.prefs.dir.filePath("prefs.json"));
    QDir().mkdir(f.prefs.dir.filePath("prefs.json"));
    pane->appEditor()->selectAll();
    QTest::keyClick(pane->appEditor(), Qt::Key_Delete);
    click(pane->saveButton());
    EXPECT_EQ(f.prefs->decodeJSON<ClipRulePreferences>(ClipRulePreferences::key)->blockedAppPatterns,
              (QStringList{"Firefox", "Slack"}));
    EXPECT_EQ(pane->appEditor()->toPlainText(), "");
    EXPECT_TRUE(pane->messageLabel()->text().startsWith("Could not save the rules"));
    f.screenshot("privacy-save-failed");
    QDir().rmdir(f.prefs.dir.filePath("prefs.json"));
}

TEST(RulePaneControls, AutomationHasOneEditorPerPageAndSavesOneRuleEach)
{
    SettingsWindowFixture f;
    f.open();
    f.select(SettingsPane::automation);
    AutomationPane *pane = f.pane<AutomationPane>();
    ASSERT_TRUE(pane);
    EXPECT_TRUE(pane->emptyLabel()->isVisible());
    EXPECT_FALSE(pane->saveButton()->isEnabled());

    const PageRef receipts = f.store->createPage("Receipts", QString("green"));
    const PageRef code = f.store->createPage("Code");
    ASSERT_EQ(pane->editors().size(), 2) << "a Page made while the pane is open gets its editor";
    EXPECT_FALSE(pane->emptyLabel()->isVisible());
    QTest::keyClicks(pane->editors()[0], "invoice, receipt");
    QTest::keyClicks(pane->editors()[1], "  ");
    click(pane->saveButton());
    const auto rules = AutoPageRulePreferences::currentRules(*f.prefs);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].pinboardDedupID, receipts->dedupID());
    EXPECT_EQ(rules[0].textPatterns, (QStringList{"invoice", "receipt"}));
    EXPECT_EQ(pane->editors()[0]->toPlainText(), "invoice\nreceipt");
    EXPECT_EQ(pane->messageLabel()->text(), "Saved 1 auto-page rules.");
    f.screenshot("automation-saved");

    QTest::keyClicks(pane->editors()[1], "snippet");
    click(pane->reloadButton());
    EXPECT_EQ(pane->editors()[1]->toPlainText(), "");
    Q_UNUSED(code);
}

TEST(PermissionsPaneControls, ButtonsSayPlainlyWhatTheDesktopHasNoPageFor)
{
    SettingsWindowFixture f;
    f.screenReadable = false;
    f.xtest = false;
    f.open();
    f.select(SettingsPane::permissions);
    PermissionsPane *pane = f.pane<PermissionsPane>();
    ASSERT_TRUE(pane);
    EXPECT_FALSE(pane->screenPill()->isVisible());
    EXPECT_EQ(pane->screenButton()->text(), "Check Again");
    EXPECT_EQ(pane->screenRow()->subtitle(),
              "Screenshots, local area OCR, and screen recordings read the screen's pixels.");
    EXPECT_FALSE(pane->note()->isVisible());

    click(pane->screenButton());
    EXPECT_EQ(pane->screenButton()->text(), "Details…");
    EXPECT_TRUE(f.prefs->boolValue("screenCapturePermissionRequestedV1"));
    click(pane->screenButton());
    EXPECT_TRUE(pane->note()->isVisible());
    EXPECT_EQ(pane->note()->message(), accessnotes::noScreenCaptureSetting);
    click(pane->accessibilityButton());
    EXPECT_EQ(pane->note()->message(), accessnotes::noAccessibilitySetting);
    EXPECT_FALSE(pane->clipboardButton()->isVisible()) << "X11 never keeps the clipboard from us";
    f.screenshot("permissions-refused");

    f.xtest = true;
    f.window->model().refreshSystemStatus();
    EXPECT_FALSE(pane->accessibilityButton()->isVisible());
}

TEST(SettingsWindowBehaviour, PaneNoticeSelectsThePaneAndProgressIsComputedWhenDrawn)
{
    SettingsWindowFixture f;
    f.requests.request(SettingsPane::about); // before the window exists
    f.open();
    EXPECT_TRUE(f.window->model().isStatusRefreshActive());
    EXPECT_TRUE(f.pane<SettingsSection>() && f.pane<SettingsSection>()->title() == "About");
    f.requests.request(SettingsPane::progress);
    ProgressPane *progress = f.pane<ProgressPane>();
    ASSERT_TRUE(progress);
    EXPECT_TRUE(f.window->sidebarButton(SettingsPane::progress)->isSelected());
    EXPECT_EQ(progress->countText(), "0 / 8");
    ASSERT_EQ(progress->rows().size(), 4);
    EXPECT_FALSE(progress->rows()[0]->isUnlocked());

    f.store->createPage("Prompts");
    EXPECT_EQ(progress->countText(), "2 / 8") << "a Page, and a Page for prompts";
    f.putText("first");
    EXPECT_EQ(progress->countText(), "3 / 8");
    EXPECT_TRUE(progress->rows()[0]->isUnlocked());

    // Closed, the window stops asking the desktop; a request is then kept for the next opening.
    f.window->close();
    EXPECT_FALSE(f.window->model().isStatusRefreshActive());
    f.window->show();
    EXPECT_EQ(f.window->model().selectedPane(), SettingsPane::progress);
}

TEST(SettingsWindowBehaviour, FreshAndFullPreferencesOpenWithoutAWarning)
{
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                warnings << msg;
        });
    auto openEveryPane = [](SettingsWindowFixture &f) {
        f.open();
        for (SettingsPane pane : allSettingsPanes())
            f.select(pane);
        f.window->close();
        QCoreApplication::processEvents();
    };
    {
        SettingsWindowFixture fresh;
        openEveryPane(fresh);
    }
    {
        SettingsWindowFixture full;
        const PageRef page = full.store->createPage("Snippets");
        Preferences &prefs = *full.prefs;
        prefs.setBool("capturePaused", true);
        prefs.setBool("copySoundEnabled", false);
        prefs.setBool("autoExpireSensitiveClips", false);
        prefs.setString("panelOpenBehavior", "page");
        prefs.setString("panelOpenPageID", page->dedupID().toString(QUuid::WithoutBraces).toUpper());
        prefs.setString("panelWidthMode", "twoThirds");
        prefs.setBool("screenCapturePermissionRequestedV1", true);
        prefs.setInteger("historyLimit", 200);
        prefs.setJSON(ClipRulePreferences{{"Vault"}, {"secret"}}, ClipRulePreferences::key);
        AutoPageRulePreferences rules;
        rules.rules = {{QUuid::createUuid(), page->dedupID(), {"snippet"}}};
        prefs.setJSON(rules, AutoPageRulePreferences::key);
        full.store->setHistoryLimit(200);
        openEveryPane(full);
        EXPECT_EQ(full.window->model().privacyRules().appText, "Vault");
        EXPECT_EQ(full.window->model().autoPageRules().text(page->dedupID()), "snippet");
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(warnings.isEmpty()) << qPrintable(warnings.join('\n'));
}

TEST(SettingsWindowBehaviour, TheClearConfirmationAndTheAlertsCloseWithOneButton)
{
    SettingsWindowFixture f;
    f.putText("pinned")->setIsPinned(true);
    f.putText("plain");
    f.open();
    SettingsViewModel &model = f.window->model();
    auto press = [&](const QString &title) {
        QMessageBox *box = f.window->openAlert();
        ASSERT_TRUE(box);
        for (QAbstractButton *button : box->buttons())
            if (button->text() == title)
                return QTest::mouseClick(button, Qt::LeftButton);
        ADD_FAILURE() << qPrintable(title);
    };

    model.askToClearHistory();
    ASSERT_TRUE(f.window->openAlert());
    EXPECT_EQ(f.window->openAlert()->text(), "Clear unsaved history?");
    press("Cancel");
    EXPECT_FALSE(model.isShowingClearConfirmation());
    EXPECT_EQ(f.ctx().clipCount(), 2);
    model.askToClearHistory();
    press("Clear Unsaved History");
    EXPECT_EQ(f.ctx().clipCount(), 1) << "the pinned clip stays";

    model.showBackupResult("Backed up 1 clip.");
    QMessageBox *done = f.window->openAlert();
    ASSERT_TRUE(done);
    EXPECT_EQ(done->text(), "Done");
    EXPECT_EQ(done->informativeText(), "Backed up 1 clip.");
    QTest::qWait(50);
    EXPECT_TRUE(done->grab().save(test::artifactPath("settings-alert-done.png")));
    press("OK");
    EXPECT_FALSE(model.isShowingBackupResult());
    model.showBackupError("The disk is full.");
    EXPECT_EQ(f.window->openAlert()->text(), "Could Not Complete");
    press("OK");
    EXPECT_FALSE(model.isShowingBackupError());
    EXPECT_EQ(model.selectedPane(), SettingsPane::general);
}
