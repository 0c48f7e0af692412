#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Settings/Core/CaptureSettingsModel.h"
#include "Quillmere/Settings/Core/ShareUploadSettings.h"
#include "Support/HeldSecretStore.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::CarbonModifier;

TEST(CaptureSettingsModel, ConflictsNameEveryActionInActionOrder)
{
    using A = CaptureAction;
    const CaptureShortcut area{21, control | shift}, other{0x1A, control | option};
    auto conflicts = [](QMap<A, CaptureShortcut> table) { return CaptureSettingsModel::conflictingActions(table); };
    EXPECT_TRUE(conflicts(CaptureShortcutPreferences::defaultShortcuts().shortcuts).isEmpty());
    EXPECT_EQ(conflicts({{A::screenRecording, area},
                         {A::ocrArea, area},
                         {A::areaScreenshot, area},
                         {A::fullScreenScreenshot, other}}),
              (QList<A>{A::areaScreenshot, A::ocrArea, A::screenRecording}));
    // The program's own two, alone or beside a real pair.
    EXPECT_EQ(conflicts({{A::fullScreenScreenshot, {9, option | command}}}), QList<A>{A::fullScreenScreenshot});
    EXPECT_EQ(conflicts({{A::ocrArea, {9, shift | command}}, {A::areaScreenshot, other}}), QList<A>{A::ocrArea});
    EXPECT_TRUE(conflicts({{A::ocrArea, {9, shift | control}}}).isEmpty()) << "Ctrl is not Super";

    test::TempPreferences prefs;
    CaptureShortcutPreferences table;
    table.shortcuts = {{A::areaScreenshot, area}, {A::ocrArea, area}};
    prefs->setJSON(table, CaptureShortcutPreferences::key);
    CaptureSettingsModel model({prefs.prefs.get(), nullptr, {}});
    EXPECT_EQ(model.conflictMessage(),
              "Capture area, Copy text share the same shortcut. Give each a unique combo so they all trigger.");
    model.setShortcut(std::nullopt, A::ocrArea);
    EXPECT_EQ(model.conflictMessage(), "");
    EXPECT_EQ(CaptureShortcutPreferences::load(*prefs).shortcuts.keys(), QList<A>{A::areaScreenshot})
        << "the defaults do not come back";
}

namespace {

// Runs the event loop until the card's keyring call has answered.
bool settled(const ShareUploadSettings &card)
{
    return test::waitUntil([&] { return !card.isWaitingForKeyring(); });
}

void fillIn(ShareUploadSettings &card, const QString &secret)
{
    card.setField(ShareUploadSettings::Field::endpointHost, "acct.r2.example.com");
    card.setField(ShareUploadSettings::Field::publicBaseURL, "https://cdn.example.com");
    card.setField(ShareUploadSettings::Field::accessKeyID, "AKID");
    card.setField(ShareUploadSettings::Field::secret, secret);
}

} // namespace

TEST(ShareUploadSettings, SavesTrimmedValuesAndReopensReadOnly)
{
    test::TempPreferences prefs;
    MemorySecretStore secrets;
    AsyncSecretStore keyring(secrets);
    {
        ShareUploadSettings card(*prefs, keyring, false);
        ASSERT_TRUE(settled(card));
        EXPECT_TRUE(card.isEditing());
        card.setField(ShareUploadSettings::Field::endpointHost, "\n acct.r2.example.com\t");
        card.setField(ShareUploadSettings::Field::publicBaseURL, "HTTPS://cdn.example.com\n");
        card.setField(ShareUploadSettings::Field::accessKeyID, "AKID");
        card.setField(ShareUploadSettings::Field::secret, "\nkey \n");
        ASSERT_TRUE(card.save());
        ASSERT_TRUE(settled(card));
        EXPECT_FALSE(card.saveError()) << card.saveError()->toStdString();
        EXPECT_EQ(card.field(ShareUploadSettings::Field::endpointHost), "acct.r2.example.com");
    }
    EXPECT_EQ(readUploadSecret(secrets), "key");
    ShareUploadSettings reopened(*prefs, keyring, false);
    ASSERT_TRUE(settled(reopened));
    EXPECT_FALSE(reopened.isEditing());
    EXPECT_EQ(reopened.savedConfig().publicBaseURL, "HTTPS://cdn.example.com");

    // A complete record whose secret is gone opens for editing, without Cancel.
    secrets.remove(uploadSecretItem);
    ShareUploadSettings withoutSecret(*prefs, keyring, false);
    ASSERT_TRUE(settled(withoutSecret));
    EXPECT_TRUE(withoutSecret.isEditing());
    EXPECT_FALSE(withoutSecret.hasSavedConfiguration());
    EXPECT_FALSE(withoutSecret.canSave());
    EXPECT_EQ(withoutSecret.config().endpointHost, "acct.r2.example.com");
}

TEST(ShareUploadSettings, AKeyringThatNeverAnswersHoldsUpNothingAndCancelKeepsTheOldSecret)
{
    test::TempPreferences prefs;
    test::HeldSecretStore secrets;
    ASSERT_TRUE(saveUploadSecret(secrets, "old-secret"));
    AsyncSecretStore keyring(secrets);
    secrets.hold();

    // Built while the keyring is silent: the card waits, the event loop goes on.
    ShareUploadSettings card(*prefs, keyring, false);
    EXPECT_TRUE(card.isWaitingForKeyring());
    bool loopRan = false;
    QTimer::singleShot(0, [&] { loopRan = true; });
    EXPECT_TRUE(test::waitUntil([&] { return loopRan && secrets.waiting() == 1; }));
    EXPECT_TRUE(card.isWaitingForKeyring());
    EXPECT_FALSE(card.canSave());
    secrets.release();
    ASSERT_TRUE(settled(card));
    EXPECT_EQ(card.savedField(ShareUploadSettings::Field::secret), "old-secret");

    // Save meets a prompt nobody answers; Cancel stops the waiting and the write with it.
    fillIn(card, "new-secret");
    secrets.hold();
    ASSERT_TRUE(card.save());
    EXPECT_TRUE(card.isWaitingForKeyring());
    EXPECT_FALSE(card.save()) << "one keyring call at a time";
    ASSERT_TRUE(test::waitUntil([&] { return secrets.waiting() == 1; }));
    card.cancelWaiting();
    EXPECT_FALSE(card.isWaitingForKeyring());
    EXPECT_TRUE(card.isEditing());
    EXPECT_FALSE(card.saveError());
    EXPECT_TRUE(test::waitUntil([&] { return secrets.waiting() == 0; })) << "the call itself gave up";
    secrets.release();
    QTest::qWait(50);
    EXPECT_EQ(readUploadSecret(secrets), "old-secret");
    EXPECT_FALSE(prefs->contains(ShareUploadConfig::key)) << "nothing was saved";

    // A keyring that comes after the card was built is found when it asks again.
    secrets.setFailure(SecretStore::Outcome{SecretStore::Status::noSecretService, 2});
    ShareUploadSettings early(*prefs, keyring, false);
    ASSERT_TRUE(settled(early));
    EXPECT_FALSE(early.isSecretServiceAvailable());
    secrets.setFailure(std::nullopt);
    early.recheckKeyring();
    ASSERT_TRUE(settled(early));
    EXPECT_TRUE(early.isSecretServiceAvailable());
}

namespace {

// A keyring that takes one write, then refuses every later one.
class OneWriteKeyring : public MemorySecretStore {
public:
    bool armed = false;

protected:
    Outcome doWrite(const SecretItem &item, const QString &secret, const SecretCancellation *cancel) override
    {
        const Outcome outcome = MemorySecretStore::doWrite(item, secret, cancel);
        if (armed && outcome.ok())
            setWriteFailure(Outcome{Status::failed, 7});
        return outcome;
    }
};

} // namespace

TEST(ShareUploadSettings, FailedWritesKeepTheSavedPairTogetherAndSaySo)
{
    test::TempPreferences prefs;
    OneWriteKeyring secrets;
    AsyncSecretStore keyring(secrets);
    ShareUploadSettings card(*prefs, keyring, false);
    ASSERT_TRUE(settled(card));
    fillIn(card, "old-secret");
    ASSERT_TRUE(card.save());
    ASSERT_TRUE(settled(card));
    ASSERT_FALSE(card.isEditing());
    const QByteArray record = prefs->data(ShareUploadConfig::key).value_or(QByteArray());

    // The keyring refuses the new secret: the old one stays, and Cancel can go back to it.
    card.beginEditing();
    card.setField(ShareUploadSettings::Field::accessKeyID, "AKID2");
    card.setField(ShareUploadSettings::Field::secret, "new-secret");
    secrets.setWriteFailure(SecretStore::Outcome{SecretStore::Status::failed, 7});
    ASSERT_TRUE(card.save());
    ASSERT_TRUE(settled(card));
    EXPECT_EQ(card.saveError(), ShareUploadSettings::secretWriteFailedMessage);
    EXPECT_EQ(readUploadSecret(secrets), "old-secret");
    EXPECT_TRUE(card.hasSavedConfiguration());
    EXPECT_EQ(prefs->data(ShareUploadConfig::key), record);

    // The preferences file cannot be written: no "saved", the record as it was, and the old
    // secret back in the keyring, so Cancel shows the pair that is really saved.
    secrets.setWriteFailure(std::nullopt);
    ASSERT_TRUE(QDir(prefs.dir.path()).removeRecursively());
    ASSERT_TRUE(card.save());
    ASSERT_TRUE(settled(card));
    EXPECT_EQ(card.saveError(), ShareUploadSettings::preferencesWriteFailedMessage);
    EXPECT_TRUE(card.isEditing());
    EXPECT_EQ(card.savedConfig().accessKeyID, "AKID");
    EXPECT_EQ(prefs->data(ShareUploadConfig::key), record);
    EXPECT_EQ(readUploadSecret(secrets), "old-secret");
    card.cancelEditing();
    EXPECT_FALSE(card.isEditing());
    EXPECT_EQ(card.savedField(ShareUploadSettings::Field::accessKeyID), "AKID");
    EXPECT_EQ(card.savedField(ShareUploadSettings::Field::secret), "old-secret");

    // The keyring refuses to take the old secret back: the pair is never called saved.
    card.beginEditing();
    card.setField(ShareUploadSettings::Field::accessKeyID, "AKID3");
    card.setField(ShareUploadSettings::Field::secret, "third-secret");
    secrets.armed = true;
    ASSERT_TRUE(card.save() && settled(card));
    EXPECT_EQ(card.saveError(), ShareUploadSettings::secretNotPutBackMessage);
    EXPECT_EQ(readUploadSecret(secrets), "third-secret");
    EXPECT_EQ(card.savedField(ShareUploadSettings::Field::secret), "third-secret") << "what the keyring holds";
    EXPECT_FALSE(card.hasSavedConfiguration());
    card.cancelEditing();
    EXPECT_TRUE(card.isEditing()) << "there is no saved pair to go back to";

    // Once the file can be written, saving again makes the pair whole.
    secrets.armed = false;
    secrets.setWriteFailure(std::nullopt);
    ASSERT_TRUE(QDir().mkpath(prefs.dir.path()));
    fillIn(card, "fourth-secret");
    ASSERT_TRUE(card.save() && settled(card));
    EXPECT_FALSE(card.saveError());
    EXPECT_TRUE(card.hasSavedConfiguration());
    EXPECT_FALSE(card.isEditing());
    EXPECT_EQ(Preferences(prefs.dir.filePath("prefs.json")).contains(ShareUploadConfig::key), true);
}

namespace {

QString runProbe(const QTemporaryDir &home, const QStringList &command)
{
    QProcessEnvironment env;
    env.insert("PATH", "/usr/bin:/bin");
    env.insert("HOME", home.path());
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    QDir(home.path()).mkpath("run");
    QFile::setPermissions(home.filePath("run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(command.first(), command.mid(1));
    if (!process.waitForFinished(60000)) {
        ADD_FAILURE() << "probe hung";
        process.kill();
        process.waitForFinished();
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

// A session bus that starts nothing by itself, so a keyring that stops stays stopped.
QString busConfig(const QTemporaryDir &home)
{
    QFile config(home.filePath("bus.conf"));
    EXPECT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                 "<policy context=\"default\"><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                 "<allow own=\"*\"/></policy></busconfig>");
    return config.fileName();
}

QString requiredTool(const QString &path)
{
    if (!QFile::exists(path))
        ADD_FAILURE() << "missing test tool " << path.toStdString() << " (tools/setup installs it)";
    return path;
}

} // namespace

TEST(ShareUploadSettings, SecretGoesToARealKeyringBeforeTheRecordAndNeverWithoutIt)
{
    const QString probe = QStringLiteral(QUILLMERE_SETTINGS_SECRET_PROBE);
    const QString refused = QStringLiteral("refused: ") + ShareUploadSettings::noSecretServiceMessage;

    // gnome-keyring on a private bus; it stops just before the second secret is written.
    QTemporaryDir home;
    requiredTool("/usr/bin/gnome-keyring-daemon");
    const QString script = QStringLiteral(
        "printf 'throwaway' | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 & "
        "\"$0\" $!; kill $! 2>/dev/null; wait");
    const QString out = runProbe(home,
                                 {requiredTool("/usr/bin/dbus-run-session"), "--config-file=" + busConfig(home), "--",
                                  "sh", "-c", script, probe});
    EXPECT_EQ(out,
              "available=yes\nsave1=ok\nhost1=acct.r2.example.com\nsecret1=first-key\nsave2=" + refused
                  + "\nhost2=acct.r2.example.com\nediting2=yes\ncancelOffered2=yes\n");

    // No Secret Service at all: nothing is saved anywhere.
    QTemporaryDir bare;
    const QString none =
        runProbe(bare, {requiredTool("/usr/bin/dbus-run-session"), "--config-file=" + busConfig(bare), "--", probe});
    EXPECT_EQ(none,
              "available=no\nsave1=" + refused + "\nhost1=<none>\nsecret1=<none>\nsave2=" + refused
                  + "\nhost2=<none>\nediting2=yes\ncancelOffered2=no\n");
    EXPECT_FALSE(QFile::exists(bare.filePath("prefs.json")));
}
