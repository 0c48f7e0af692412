#include "Quillmere/Capture/Upload/ShareUploadConfig.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Support/TestSupport.h"
#include "UploadTestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

ShareUploadConfig completeConfig()
{
    return {QStringLiteral("bucket.example.com"), QStringLiteral("auto"), QStringLiteral("captures/"),
            QStringLiteral("https://cdn.example.com"), QStringLiteral("AKID")};
}

} // namespace

TEST(ShareUploadConfig, StoredRecordIsReadWholeOrNotAtAll)
{
    test::TempPreferences prefs;
    EXPECT_EQ(ShareUploadConfig::load(*prefs), ShareUploadConfig::defaultConfig());
    EXPECT_EQ(ShareUploadConfig::defaultConfig().region, "auto");
    EXPECT_EQ(ShareUploadConfig::defaultConfig().keyPrefix, "captures/");

    const QByteArray lacksAccessKey =
        R"({"endpointHost":"h","region":"r","keyPrefix":"p/","publicBaseURL":"https://x"})";
    prefs->setData(ShareUploadConfig::key, lacksAccessKey);
    EXPECT_EQ(ShareUploadConfig::load(*prefs), ShareUploadConfig::defaultConfig());
    EXPECT_EQ(prefs->data(ShareUploadConfig::key), lacksAccessKey) << "a read never writes back";

    prefs->setData(ShareUploadConfig::key,
                   R"({"endpointHost":"h","region":7,"keyPrefix":"p/","publicBaseURL":"https://x","accessKeyID":"a"})");
    EXPECT_EQ(ShareUploadConfig::load(*prefs), ShareUploadConfig::defaultConfig());

    ShareUploadConfig stored = completeConfig();
    stored.keyPrefix = QStringLiteral("  ");
    prefs->setJSON(stored, ShareUploadConfig::key);
    EXPECT_EQ(ShareUploadConfig::load(*prefs), stored);

    prefs->setData(ShareUploadConfig::key,
                   R"({"extra":1,"endpointHost":"h","region":"r","keyPrefix":"p",)"
                   R"("publicBaseURL":"u","accessKeyID":"a"})");
    EXPECT_EQ(ShareUploadConfig::load(*prefs).endpointHost, "h");
}

TEST(ShareUploadConfig, CompletenessNeedsEveryFieldAndASecurePublicBase)
{
    EXPECT_TRUE(completeConfig().isComplete());
    EXPECT_FALSE(ShareUploadConfig::defaultConfig().isComplete());

    for (QString ShareUploadConfig::*field :
         {&ShareUploadConfig::endpointHost, &ShareUploadConfig::region, &ShareUploadConfig::keyPrefix,
          &ShareUploadConfig::publicBaseURL, &ShareUploadConfig::accessKeyID}) {
        ShareUploadConfig config = completeConfig();
        config.*field = QString();
        EXPECT_FALSE(config.isComplete());
        if (field != &ShareUploadConfig::publicBaseURL) {
            config.*field = QStringLiteral(" ");
            EXPECT_TRUE(config.isComplete()) << "spaces count as filled";
        }
    }

    const std::pair<const char *, bool> bases[] = {
        {"http://cdn.example.com", false}, {"HTTPS://cdn.example.com", true},    {"https://", false},
        {"cdn.example.com", false},        {"https://cdn.example.com/x/", true}, {"https://[bad", false},
    };
    for (const auto &[base, complete] : bases) {
        ShareUploadConfig config = completeConfig();
        config.publicBaseURL = QString::fromUtf8(base);
        EXPECT_EQ(config.isComplete(), complete) << base;
    }
}

TEST(ShareUploadConfig, ObjectKeyJoinsPrefixAndNameWithOneSlash)
{
    const QUuid id = QUuid::fromString(QStringLiteral("{6f1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}"));
    const QString name = QStringLiteral("6F1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D.png");
    ShareUploadConfig config;
    for (const auto &[prefix, key] : std::initializer_list<std::pair<QString, QString>>{
             {"captures", "captures/" + name},
             {"captures/", "captures/" + name},
             {"captures//", "captures//" + name},
             {"/a//b", "/a//b/" + name},
             {"", name},
         }) {
        config.keyPrefix = prefix;
        EXPECT_EQ(config.objectKey(id, QStringLiteral("png")), key) << prefix.toStdString();
    }
    config.keyPrefix.clear();
    config.endpointHost = config.publicBaseURL = config.accessKeyID = QStringLiteral("x");
    EXPECT_FALSE(config.isComplete()) << "an empty prefix is incomplete although the key rule accepts it";
}

TEST(UploadSecret, SavingReplacesTheOneItemAndEmptyRemovesIt)
{
    MemorySecretStore store;
    EXPECT_EQ(readUploadSecret(store), std::nullopt);
    EXPECT_TRUE(saveUploadSecret(store, QStringLiteral("one")));
    EXPECT_TRUE(saveUploadSecret(store, QStringLiteral("two")));
    EXPECT_EQ(store.itemCount(), 1);
    EXPECT_EQ(readUploadSecret(store), "two");
    EXPECT_TRUE(saveUploadSecret(store, QString()));
    EXPECT_EQ(store.itemCount(), 0);
    EXPECT_EQ(readUploadSecret(store), std::nullopt);
}

TEST(UploadSecret, FailedWriteIsLoggedWithoutTheSecretAndKeepsTheOldOne)
{
    MemorySecretStore store;
    ASSERT_TRUE(saveUploadSecret(store, QStringLiteral("previous-secret")));
    store.setWriteFailure(SecretStore::Outcome{SecretStore::Status::failed, 7});

    test::LogCapture log;
    QString failure;
    EXPECT_FALSE(saveUploadSecret(store, QStringLiteral("new-secret"), &failure));
    EXPECT_EQ(readUploadSecret(store), "previous-secret");
    EXPECT_TRUE(log.all().contains("com.orvantide.quillmere.keychain: The keyring did not save the upload secret "
                                   "(error 7): The keyring did not accept the request."))
        << log.all().toStdString();
    EXPECT_FALSE(failure.isEmpty());
    for (const QString &text : {log.all(), failure})
        EXPECT_FALSE(text.contains("secret-")) << text.toStdString();

    store.setWriteFailure(std::nullopt);
    store.setFailure(SecretStore::Outcome{SecretStore::Status::noSecretService, 2});
    EXPECT_FALSE(saveUploadSecret(store, QStringLiteral("x"), &failure));
    EXPECT_TRUE(failure.contains("No Secret Service is running")) << failure.toStdString();
    EXPECT_EQ(log.lines().filter("No Secret Service").size(), 1) << "said once: " << log.all().toStdString();
    store.setFailure(std::nullopt);
    EXPECT_EQ(readUploadSecret(store), "previous-secret");
}

namespace {

// Runs the probe with a clean environment of its own and a throwaway home.
QString runProbe(const QTemporaryDir &home, const QStringList &command, const QProcessEnvironment &extra = {})
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
    for (const QString &key : extra.keys())
        env.insert(key, extra.value(key));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(command.first(), command.mid(1));
    if (!process.waitForFinished(30000)) {
        ADD_FAILURE() << "probe hung";
        process.kill();
        process.waitForFinished();
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace

TEST(SystemSecretStore, RoundTripsThroughARealSecretService)
{
    QTemporaryDir home;
    const QString probe = QStringLiteral(QUILLMERE_SECRET_PROBE);
    const QString script = QStringLiteral("printf 'throwaway' | gnome-keyring-daemon --unlock --components=secrets "
                                          ">/dev/null 2>&1 && exec \"$0\"");
    test::requiredTool(QStringLiteral("/usr/bin/gnome-keyring-daemon"));
    const QString out = runProbe(
        home, {test::requiredTool(QStringLiteral("/usr/bin/dbus-run-session")), "--", "sh", "-c", script, probe});
    EXPECT_EQ(out,
              "save1=ok\nsave2=ok\nread2=sëcond/✓+key\nreadAfterRemove=<none>\nsave3=ok\nclear=ok\n"
              "readAfterClear=<none>\n");
}

TEST(SystemSecretStore, WithoutASecretServiceSavingFailsNamingWhy)
{
    const QString expected = QStringLiteral(
        "save1=failed: No Secret Service is running, so the key cannot be kept. Start the desktop's keyring "
        "(for example GNOME Keyring or KWallet) and try again.\n");

    // No session bus at all.
    QTemporaryDir home;
    QProcessEnvironment noBus;
    noBus.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.filePath("no-bus"));
    const QString out = runProbe(home, {QStringLiteral(QUILLMERE_SECRET_PROBE)}, noBus);
    EXPECT_TRUE(out.startsWith(expected)) << out.toStdString();
    EXPECT_TRUE(out.contains("read2=<none>\n")) << out.toStdString();

    // A session bus on which nobody offers the Secret Service and nothing can be activated.
    QTemporaryDir bareHome;
    QFile config(bareHome.filePath("bus.conf"));
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                 "<policy context=\"default\"><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                 "<allow own=\"*\"/></policy></busconfig>");
    config.close();
    const QString bare = runProbe(bareHome,
                                  {test::requiredTool(QStringLiteral("/usr/bin/dbus-run-session")),
                                   "--config-file=" + config.fileName(), "--", QStringLiteral(QUILLMERE_SECRET_PROBE)});
    EXPECT_TRUE(bare.startsWith(expected)) << bare.toStdString();
    EXPECT_TRUE(bare.contains("readAfterClear=<none>\n")) << bare.toStdString();
}
