#include "Sync/SyncTestDevice.h"

#include "Quillmere/Sync/SyncSelfTest.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

// Two real replication daemons on loopback, with discovery, relays and NAT off, each sharing one
// folder with the other. Label "syncthing": `ctest -LE syncthing` leaves it out.
namespace {

constexpr int kCrossingMs = 120000; // a small file crosses in about 3 s; generous on a busy machine

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

struct Daemon {
    QString home;
    QString folder;
    QString id;
    quint16 port = 0;
    QProcess process;

    ~Daemon()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(10000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
    }
};

class SyncthingReplicationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        syncthing = QStandardPaths::findExecutable(QStringLiteral("syncthing"));
        if (syncthing.isEmpty())
            GTEST_SKIP() << "syncthing is not installed (Debian package syncthing); the replication test needs it";
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), work.path()); // nothing of the user's is touched
        env.insert(QStringLiteral("STNODEFAULTFOLDER"), QStringLiteral("1"));
        env.insert(QStringLiteral("STNOUPGRADE"), QStringLiteral("1"));
        for (Daemon *d : {&a, &b}) {
            const QString name = d == &a ? QStringLiteral("a") : QStringLiteral("b");
            d->home = work.filePath(name + QStringLiteral("-home"));
            d->folder = work.filePath(name + QStringLiteral("-folder"));
            ASSERT_TRUE(QDir().mkpath(d->folder + QStringLiteral("/.stfolder")));
            ASSERT_TRUE(run({QStringLiteral("generate"), QStringLiteral("--no-default-folder"),
                             QStringLiteral("--home=") + d->home}));
            QString out;
            ASSERT_TRUE(run({QStringLiteral("--device-id"), QStringLiteral("--home=") + d->home}, &out));
            d->id = out.trimmed();
            d->port = freePort();
        }
        for (Daemon *d : {&a, &b}) {
            writeConfig(*d);
            d->process.setProcessEnvironment(env);
            d->process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            d->process.setStandardOutputFile(d->home + QStringLiteral("/log.txt"));
            d->process.start(syncthing, {QStringLiteral("serve"), QStringLiteral("--home=") + d->home,
                                         QStringLiteral("--no-browser"), QStringLiteral("--no-restart")});
            ASSERT_TRUE(d->process.waitForStarted(10000));
        }
    }

    bool run(const QStringList &args, QString *out = nullptr)
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(syncthing, args);
        if (!p.waitForFinished(60000) || p.exitCode() != 0)
            return false;
        if (out)
            *out = QString::fromUtf8(p.readAllStandardOutput());
        return true;
    }

    void writeConfig(const Daemon &d)
    {
        const QString device = QStringLiteral("<device id=\"%1\" name=\"%2\" compression=\"metadata\">"
                                              "<address>tcp://127.0.0.1:%3</address></device>\n");
        const QString xml =
            QStringLiteral("<configuration version=\"36\">\n"
                           "<folder id=\"quillmere\" label=\"quillmere\" path=\"%1\" type=\"sendreceive\""
                           " rescanIntervalS=\"2\" fsWatcherEnabled=\"true\" fsWatcherDelayS=\"1\">"
                           "<device id=\"%2\"></device><device id=\"%3\"></device></folder>\n")
                .arg(d.folder, a.id, b.id)
            + device.arg(a.id, QStringLiteral("a")).arg(a.port) + device.arg(b.id, QStringLiteral("b")).arg(b.port)
            + QStringLiteral("<gui enabled=\"false\" tls=\"false\"><address>127.0.0.1:0</address></gui>\n"
                             "<options><listenAddress>tcp://127.0.0.1:%1</listenAddress>"
                             "<globalAnnounceEnabled>false</globalAnnounceEnabled>"
                             "<localAnnounceEnabled>false</localAnnounceEnabled>"
                             "<relaysEnabled>false</relaysEnabled><natEnabled>false</natEnabled>"
                             "<startBrowser>false</startBrowser><urAccepted>-1</urAccepted>"
                             "<autoUpgradeIntervalH>0</autoUpgradeIntervalH>"
                             "<crashReportingEnabled>false</crashReportingEnabled></options>\n"
                             "</configuration>\n")
                  .arg(d.port);
        QFile file(d.home + QStringLiteral("/config.xml"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(xml.toUtf8());
    }

    QString syncthing;
    QProcessEnvironment env;
    QTemporaryDir work;
    Daemon a;
    Daemon b;
    FakeClock unused;
};

TEST_F(SyncthingReplicationTest, ACopyOnOneMachineReachesTheOtherAndTheRoundTripIsConfirmed)
{
    SyncDevice one{a.folder, QStringLiteral("device-one"), unused, 64, systemClock(), 1000};
    SyncDevice two{b.folder, QStringLiteral("device-two"), unused, 64, systemClock(), 1000};
    ASSERT_TRUE(one.engine->start() && two.engine->start());

    one.add(QStringLiteral("copied on one"));
    ASSERT_TRUE(waitUntil([&] { return two.clip(QStringLiteral("copied on one")) != nullptr; }, kCrossingMs))
        << "the clip did not cross; see the daemons' logs under " << qPrintable(work.path());

    SyncProbes::answerImportedProbes(*two.engine, *two.store, QStringLiteral("Linux two"));
    one.health.markCloudKitActive();
    SyncRoundTrip check(*one.store, one.health);
    QSignalSpy done(&check, &SyncRoundTrip::finished);
    check.verify(QStringLiteral("Linux one"), systemClock(), kCrossingMs * 2 / 1000.0, 1.0);
    ASSERT_TRUE(waitUntil([&] { return !done.isEmpty(); }, kCrossingMs * 2 + 10000));
    const auto result = done.front().front().value<SyncVerificationResult>();
    EXPECT_EQ(result.kind, SyncVerificationResult::Case::verified);
    EXPECT_TRUE(one.health.facts().lastVerifiedAt);
}

} // namespace
