#include "Capture/Upload/LoopbackServer.h"
#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Capture/Upload/ShareUploadConfig.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"
#include "Quillmere/Settings/CapturePane.h"
#include "Quillmere/Settings/ShareUploadSection.h"
#include "SettingsWindowFixture.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QScrollArea>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace quillmere;
using Field = ShareUploadSettings::Field;

namespace {

struct SectionFixture : test::SettingsWindowFixture {
    ShareUploadSection &openSection()
    {
        if (!window)
            open();
        select(SettingsPane::capture);
        CapturePane *capture = pane<CapturePane>();
        EXPECT_NE(capture, nullptr);
        settle(*capture->shareSection());
        return *capture->shareSection();
    }
    // The keyring answers off the main thread; this runs the event loop until it has.
    static void settle(ShareUploadSection &section)
    {
        EXPECT_TRUE(test::waitUntil([&] { return !section.settings().isWaitingForKeyring(); }));
    }
    void save(ShareUploadSection &section)
    {
        QTest::mouseClick(section.saveButton(), Qt::LeftButton);
        settle(section);
    }
    ManagedCloudSetupView &cloudView() { return *pane<CapturePane>()->cloudView(); }
    // Rows shown or hidden just now are laid out, and nothing else runs meanwhile.
    static void layOut()
    {
        for (int pass = 0; pass < 3; ++pass)
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    }
    // Scrolls `target` into view and takes a picture of the window as it is now.
    void shoot(QWidget *target, const QString &name)
    {
        layOut();
        window->findChild<QScrollArea *>()->ensureWidgetVisible(target, 0, 60);
        layOut();
        EXPECT_TRUE(window->grab().save(test::artifactPath("settings-" + name + ".png")));
    }
    void type(ShareUploadSection &section, Field field, const QString &text)
    {
        QLineEdit *editor = section.editor(field);
        editor->setFocus();
        editor->selectAll();
        QTest::keyClick(editor, Qt::Key_Backspace);
        QTest::keyClicks(editor, text);
    }
    QByteArray storedRecord() { return prefs->data(ShareUploadConfig::key).value_or(QByteArray()); }
    // How many rows on show say that no keyring answers.
    static int noServiceRowsShown(ShareUploadSection &section)
    {
        layOut();
        int shown = 0;
        for (const MessageRow *row : section.findChildren<MessageRow *>())
            shown += row->isVisible() && row->message().contains("No Secret Service answers");
        return shown;
    }
};

} // namespace

TEST(ShareUploadSection, EditSaveCancelAndTheChecksBeforeSaving)
{
    SectionFixture f;
    ShareUploadSection &s = f.openSection();
    // Nothing stored: editing, the defaults as values, no Cancel, Save disabled.
    EXPECT_TRUE(s.editor(Field::region)->isVisible());
    EXPECT_EQ(s.editor(Field::region)->text(), "auto");
    EXPECT_EQ(s.editor(Field::keyPrefix)->text(), "captures/");
    EXPECT_EQ(s.editor(Field::endpointHost)->text(), "");
    EXPECT_EQ(s.editor(Field::secret)->placeholderText(), "stored in the keyring");
    EXPECT_FALSE(s.cancelButton()->isVisible());
    EXPECT_FALSE(s.saveButton()->isEnabled());
    EXPECT_EQ(s.statusText()->text(), "Editing configuration");
    EXPECT_FALSE(s.destinationRow()->isVisible()) << "without a managed service there is nothing to choose";
    EXPECT_EQ(s.settings().provider(), ShareStorageProvider::ownStorage);
    EXPECT_EQ(f.pane<CapturePane>()->cloudView(), nullptr) << "no block for a service that is not there";

    f.type(s, Field::endpointHost, "  acct.r2.example.com  ");
    f.type(s, Field::publicBaseURL, "http://cdn.example.com");
    f.type(s, Field::accessKeyID, "AKID1 ");
    f.type(s, Field::secret, "   ");
    EXPECT_FALSE(s.saveButton()->isEnabled()) << "plain http and a blank secret";
    s.settings().save();
    EXPECT_EQ(s.errorRow()->message(), "Complete every field and use an HTTPS public base URL before saving.");
    EXPECT_TRUE(s.errorRow()->isVisible());
    f.shoot(s.errorRow(), QStringLiteral("share-invalid"));
    f.type(s, Field::publicBaseURL, "https://cdn.example.com ");
    f.type(s, Field::secret, " s3cr3t-key ");
    EXPECT_TRUE(s.errorRow()->isVisible()) << "typing does not clear the error";
    ASSERT_TRUE(s.saveButton()->isEnabled());
    // Return lets go of the field and saves nothing.
    QTest::keyClick(s.editor(Field::secret), Qt::Key_Return);
    EXPECT_FALSE(s.editor(Field::secret)->hasFocus());
    EXPECT_TRUE(f.storedRecord().isEmpty());
    EXPECT_EQ(readUploadSecret(f.secrets), std::nullopt);
    f.shoot(s.saveButton(), QStringLiteral("share-editing"));

    f.save(s);
    EXPECT_EQ(s.statusText()->text(), "Saved securely");
    EXPECT_FALSE(s.errorRow()->isVisible());
    EXPECT_EQ(readUploadSecret(f.secrets), "s3cr3t-key");
    const ShareUploadConfig saved = ShareUploadConfig::load(*f.prefs);
    EXPECT_EQ(saved.endpointHost, "acct.r2.example.com");
    EXPECT_EQ(saved.publicBaseURL, "https://cdn.example.com");
    EXPECT_EQ(saved.accessKeyID, "AKID1");
    EXPECT_EQ(s.shownValue(Field::endpointHost), "acct.r2.example.com");
    EXPECT_EQ(s.shownValue(Field::secret), QString(16, QChar(0x2022)));
    EXPECT_EQ(s.readOnlyRow(Field::secret)->findChildren<QLabel *>().last()->accessibleName(),
              "Secret access key: Stored securely in the keyring");
    EXPECT_FALSE(s.editor(Field::endpointHost)->isVisible());
    EXPECT_TRUE(s.editButton()->isVisible());
    f.shoot(s.editButton(), QStringLiteral("share-saved"));

    // Edit, change, Cancel: the saved values come back and nothing is written.
    const QByteArray before = f.storedRecord();
    QTest::mouseClick(s.editButton(), Qt::LeftButton);
    EXPECT_EQ(s.editor(Field::endpointHost)->text(), "acct.r2.example.com") << "the fields show the trimmed values";
    f.type(s, Field::endpointHost, "other.example.com");
    f.type(s, Field::secret, "changed");
    EXPECT_EQ(s.shownValue(Field::endpointHost), "acct.r2.example.com") << "read-only rows show what is saved";
    ASSERT_TRUE(s.cancelButton()->isVisible());
    QTest::mouseClick(s.cancelButton(), Qt::LeftButton);
    EXPECT_EQ(s.settings().field(Field::endpointHost), "acct.r2.example.com");
    EXPECT_EQ(s.settings().field(Field::secret), "s3cr3t-key");
    EXPECT_EQ(f.storedRecord(), before);
    EXPECT_EQ(readUploadSecret(f.secrets), "s3cr3t-key");

    // The keyring refuses: the record and the old key stay as they were, and Cancel goes back
    // to them.
    QTest::mouseClick(s.editButton(), Qt::LeftButton);
    f.type(s, Field::endpointHost, "moved.example.com");
    f.type(s, Field::secret, "next-key");
    f.secrets.setWriteFailure(SecretStore::Outcome{SecretStore::Status::failed, 7});
    f.save(s);
    EXPECT_EQ(s.errorRow()->message(),
              "Couldn't save the secret to the keyring. Check that the keyring is unlocked and try again.");
    EXPECT_EQ(f.storedRecord(), before);
    EXPECT_EQ(s.statusText()->text(), "Editing configuration");
    EXPECT_EQ(s.editor(Field::endpointHost)->text(), "moved.example.com");
    EXPECT_EQ(readUploadSecret(f.secrets), "s3cr3t-key");
    EXPECT_TRUE(s.cancelButton()->isVisible());
    // The message sits between the field rows and the description.
    QVBoxLayout *rows = s.content();
    EXPECT_LT(rows->indexOf(s.readOnlyRow(Field::secret)), rows->indexOf(s.errorRow()));
    EXPECT_EQ(qobject_cast<MessageRow *>(rows->itemAt(rows->indexOf(s.errorRow()) + 2)->widget())->message(),
              "Click Upload to send a capture. Its public link is copied automatically with a distinct completion "
              "sound.");
}

TEST(ShareUploadSection, WithoutASecretServiceItSaysSoAndSavesNothing)
{
    SectionFixture f;
    // A choice stored by a build with the managed service reads as own storage here.
    f.prefs->setString(PreferenceKeys::shareStorageProvider, "quillmereCloud");
    f.secrets.setFailure(SecretStore::Outcome{SecretStore::Status::noSecretService, 2});
    ShareUploadSection &s = f.openSection();
    EXPECT_EQ(s.destinationPicker()->currentText(), "My own R2/S3");
    EXPECT_EQ(s.destinationRow()->systemImage(), "externaldrive.fill");
    EXPECT_TRUE(s.noSecretServiceRow()->isVisible());
    f.type(s, Field::endpointHost, "acct.r2.example.com");
    f.type(s, Field::publicBaseURL, "https://cdn.example.com");
    f.type(s, Field::accessKeyID, "AKID1");
    f.type(s, Field::secret, "key");
    EXPECT_FALSE(s.saveButton()->isEnabled());
    f.shoot(s.saveButton(), QStringLiteral("share-no-secret-service"));
    EXPECT_EQ(f.noServiceRowsShown(s), 1);
    s.settings().save();
    f.settle(s);
    EXPECT_EQ(f.noServiceRowsShown(s), 1) << "said once, not again in the error row";
    EXPECT_TRUE(s.noSecretServiceRow()->isVisible());
    EXPECT_TRUE(f.storedRecord().isEmpty());

    // A keyring that comes later is used; one that goes before Save refuses it.
    f.secrets.setFailure(std::nullopt);
    s.settings().save();
    f.settle(s);
    EXPECT_FALSE(s.settings().isEditing());
    EXPECT_FALSE(s.noSecretServiceRow()->isVisible());
    QTest::mouseClick(s.editButton(), Qt::LeftButton);
    f.type(s, Field::accessKeyID, "AKID2");
    const QByteArray before = f.storedRecord();
    f.secrets.setFailure(SecretStore::Outcome{SecretStore::Status::noSecretService, 2});
    s.settings().save();
    f.settle(s);
    EXPECT_EQ(f.storedRecord(), before);
    EXPECT_EQ(f.noServiceRowsShown(s), 1);
    f.shoot(s.noSecretServiceRow(), QStringLiteral("share-no-secret-service-after-save"));
}

TEST(ShareUploadSection, ASilentKeyringIsWaitedForVisiblyAndAKeyringThatComesLaterIsFoundOnReopening)
{
    SectionFixture f;
    f.secrets.setFailure(SecretStore::Outcome{SecretStore::Status::noSecretService, 2});
    ShareUploadSection &first = f.openSection();
    EXPECT_TRUE(first.noSecretServiceRow()->isVisible());

    // The keyring comes, then shows a prompt nobody answers: the pane opened again finds it and waits.
    f.secrets.setFailure(std::nullopt);
    f.secrets.hold();
    f.select(SettingsPane::general);
    f.select(SettingsPane::capture);
    ShareUploadSection &s = *f.pane<CapturePane>()->shareSection();
    EXPECT_EQ(s.statusText()->text(), "Waiting for the keyring…");
    EXPECT_TRUE(s.stopWaitingButton()->isVisible());
    EXPECT_FALSE(s.saveButton()->isVisible());
    f.shoot(s.stopWaitingButton(), QStringLiteral("share-waiting"));
    f.secrets.release();
    f.settle(s);
    EXPECT_FALSE(s.noSecretServiceRow()->isVisible()) << "the verdict of the first opening was not kept";
    EXPECT_FALSE(s.stopWaitingButton()->isVisible());

    // Save meets the prompt; Cancel stops waiting, and the window stays free meanwhile.
    f.type(s, Field::endpointHost, "acct.r2.example.com");
    f.type(s, Field::publicBaseURL, "https://cdn.example.com");
    f.type(s, Field::accessKeyID, "AKID1");
    f.type(s, Field::secret, "new-key");
    f.secrets.hold();
    QTest::mouseClick(s.saveButton(), Qt::LeftButton);
    EXPECT_EQ(s.statusText()->text(), "Waiting for the keyring…");
    ASSERT_TRUE(test::waitUntil([&] { return f.secrets.waiting() == 1; }));
    QTest::mouseClick(s.stopWaitingButton(), Qt::LeftButton);
    EXPECT_EQ(s.statusText()->text(), "Editing configuration");
    EXPECT_TRUE(s.saveButton()->isVisible());
    f.secrets.release();
    QTest::qWait(50);
    EXPECT_EQ(readUploadSecret(f.secrets), std::nullopt);
    EXPECT_TRUE(f.storedRecord().isEmpty());
    EXPECT_NE(s.statusText()->text(), "Saved securely");

    // Shown again, the window asks again.
    f.secrets.setFailure(SecretStore::Outcome{SecretStore::Status::noSecretService, 2});
    f.window->hide();
    f.window->show();
    f.settle(s);
    EXPECT_TRUE(s.noSecretServiceRow()->isVisible());
}

TEST(ShareUploadSection, ARealKeyringsPasswordPromptIsWaitedForAndCancelled)
{
    // gnome-keyring without a login keyring: the first write asks for a new keyring's password
    // in a window on this display, which nobody answers.
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DISPLAY")) << "needs the test display for the keyring's prompt";
    const QString keyringDaemon = QStringLiteral("/usr/bin/gnome-keyring-daemon");
    ASSERT_TRUE(QFile::exists(keyringDaemon)) << "tools/setup installs gnome-keyring";
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkpath("run"));
    QFile::setPermissions(home.filePath("run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment env;
    for (const char *name : {"PATH", "DISPLAY", "XAUTHORITY"})
        if (qEnvironmentVariableIsSet(name))
            env.insert(name, qEnvironmentVariable(name));
    env.insert("HOME", home.path());
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
    // The prompt's accessibility bus would print to the same output.
    env.insert("NO_AT_BRIDGE", "1");
    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.start("/usr/bin/dbus-run-session",
                {"--", "sh", "-c",
                 keyringDaemon + " --start --components=secrets >/dev/null 2>&1 && exec \"$0\" --cancel",
                 QStringLiteral(QUILLMERE_SETTINGS_SECRET_PROBE)});
    ASSERT_TRUE(probe.waitForFinished(60000)) << "the probe hung";
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    EXPECT_EQ(out,
              "saveReturnedWithin50ms=yes\nwaiting=yes\nwaitingAfterCancel=no\nsaved=no\ncallEndedWithin3s=yes\n"
              "record=<none>\n")
        << out.toStdString();
}

TEST(ShareUploadSection, APreferencesFileThatCannotBeWrittenIsNotReportedAsSaved)
{
    SectionFixture f;
    ShareUploadSection &s = f.openSection();
    f.type(s, Field::endpointHost, "acct.r2.example.com");
    f.type(s, Field::publicBaseURL, "https://cdn.example.com");
    f.type(s, Field::accessKeyID, "AKID1");
    f.type(s, Field::secret, "key");
    f.save(s);
    ASSERT_EQ(s.statusText()->text(), "Saved securely");
    const QByteArray saved = f.storedRecord();

    // A new key ID and secret, the preferences file gone unwritable, Save, then Cancel: the pane
    // shows the pair the keyring and the file still hold together.
    QTest::mouseClick(s.editButton(), Qt::LeftButton);
    f.type(s, Field::accessKeyID, "AKID2");
    f.type(s, Field::secret, "other-key");
    ASSERT_TRUE(QDir(f.prefs.dir.path()).removeRecursively());
    f.save(s);
    EXPECT_EQ(s.errorRow()->message(), ShareUploadSettings::preferencesWriteFailedMessage);
    EXPECT_TRUE(s.errorRow()->isVisible());
    EXPECT_NE(s.statusText()->text(), "Saved securely");
    EXPECT_TRUE(s.saveButton()->isVisible());
    f.shoot(s.errorRow(), QStringLiteral("share-preferences-unwritable"));
    EXPECT_EQ(readUploadSecret(f.secrets), "key");
    QTest::mouseClick(s.cancelButton(), Qt::LeftButton);
    EXPECT_EQ(s.statusText()->text(), "Saved securely");
    EXPECT_EQ(s.shownValue(Field::accessKeyID), "AKID1");
    EXPECT_EQ(f.storedRecord(), saved);
    EXPECT_EQ(readUploadSecret(f.secrets), "key");
}

TEST(ShareUploadSection, DestinationMenuAndTheManagedTestUpload)
{
    // Long enough that the status line must cut it.
    const QString link = "https://share.example.com/" + QString("segment/").repeated(30) + "test-image-t1.png";
    test::LoopbackServer server([&](const test::LoopbackServer::Request &r) {
        if (r.target == "/v1/objects")
            return test::LoopbackServer::json(201, R"({"id":"t1"})");
        return test::LoopbackServer::json(200, R"({"url":")" + link.toUtf8() + R"("})");
    });
    SectionFixture f;
    f.cloudInfo = {{ManagedCloudConfiguration::infoKey, QStringLiteral("https://127.0.0.1:%1").arg(server.port())}};
    ASSERT_TRUE(f.secrets.write(managedCloudTokenItem, QStringLiteral("tok-1")).ok());
    ShareUploadSection &s = f.openSection();
    const QByteArray recordBefore = f.storedRecord();

    s.destinationPicker()->activated(1);
    EXPECT_EQ(f.prefs->string(PreferenceKeys::shareStorageProvider), "ownStorage");
    EXPECT_EQ(s.destinationRow()->subtitle(), "Use credentials for storage you control.");
    EXPECT_EQ(s.destinationRow()->systemImage(), "externaldrive.fill");
    EXPECT_EQ(f.storedRecord(), recordBefore) << "the own-storage record is not touched";

    EXPECT_TRUE(s.destinationRow()->isVisible());
    ManagedCloudSetupView &cloud = f.cloudView();
    EXPECT_FALSE(cloud.testingRow()->isVisible());
    f.shoot(cloud.testButton(), QStringLiteral("cloud-idle"));
    QTest::mouseClick(cloud.testButton(), Qt::LeftButton);
    EXPECT_TRUE(cloud.testingRow()->isVisible());
    EXPECT_FALSE(cloud.testButton()->isEnabled());
    // Taken before the event loop lets the loopback server answer.
    f.shoot(cloud.testingRow(), QStringLiteral("cloud-uploading"));
    ASSERT_TRUE(test::waitUntil([&] { return cloud.testButton()->isEnabled(); }, 20000));
    EXPECT_TRUE(cloud.successLabel()->isVisible()) << cloud.failureRow()->message().toStdString();
    EXPECT_EQ(f.pasteboard.string(), link);
    EXPECT_TRUE(cloud.successLabel()->text().endsWith(link));
    EXPECT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests()[0].headers.value("authorization"), "Bearer tok-1");

    QTest::mouseClick(cloud.useButton(), Qt::LeftButton);
    EXPECT_EQ(f.prefs->string(PreferenceKeys::shareStorageProvider), "quillmereCloud");
    EXPECT_EQ(cloud.confirmationLabel()->text(), "Brindlewax Cloud will now be used for screenshot links.");
    f.shoot(cloud.successLabel(), QStringLiteral("cloud-done"));
}
