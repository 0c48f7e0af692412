#include "Sync/SyncTestDevice.h"

#include "Quillmere/Sync/SyncSelfTest.h"

#include <QDir>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

// Two real replication daemons on loopback, with discovery, relays and NAT off, each sharing one
// folder with the other. Label "syncthing": `ctest -LE syncthing` leaves it out.
namespace {

// A small file crosses in about 3 s; generous on a busy machine, and both waits together stay well
// inside the test's time limit.
constexpr int kCrossingMs = 60000;

// The TCP port the daemon run with `home` listens on, read from the kernel's socket table once it
// is there (the daemon may serve from a child process). It binds port 0 itself, so no other
// process can take the port between choice and use.
quint16 listeningPort(const QString &home)
{
    const QByteArray marker = "--home=" + QFile::encodeName(home) + '\0';
    quint16 port = 0;
    waitUntil(
        [&] {
            QSet<QString> sockets;
            for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
                if (!cmdline.open(QIODevice::ReadOnly) || !cmdline.readAll().contains(marker))
                    continue;
                const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
                for (const QString &fd : QDir(fds).entryList(QDir::System | QDir::NoDotAndDotDot)) {
                    const QString target = QFile::symLinkTarget(fds + QLatin1Char('/') + fd);
                    if (target.contains(QStringLiteral("socket:[")))
                        sockets.insert(target.section(QStringLiteral("socket:["), 1).chopped(1));
                }
            }
            QFile table(QStringLiteral("/proc/net/tcp"));
            if (sockets.isEmpty() || !table.open(QIODevice::ReadOnly))
                return false;
            table.readLine(); // header
            while (!table.atEnd()) {
                const QStringList f = QString::fromLatin1(table.readLine()).simplified().split(QLatin1Char(' '));
                // local address, state (0A: listening), inode
                if (f.size() > 9 && f[3] == QLatin1String("0A") && sockets.contains(f[9])) {
                    port = quint16(f[1].section(QLatin1Char(':'), 1).toUInt(nullptr, 16));
                    return true;
                }
            }
            return false;
        },
        30000);
    return port;
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
            FAIL() << "syncthing is not installed (Debian package syncthing); the replication test needs it";
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
        }
        // b listens on a port of its own choosing; a, told where, dials it and b takes the call.
        for (Daemon *d : {&b, &a}) {
            writeConfig(*d);
            d->process.setProcessEnvironment(env);
            d->process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            d->process.setStandardOutputFile(d->home + QStringLiteral("/log.txt"));
            d->process.start(syncthing,
                             {QStringLiteral("serve"), QStringLiteral("--home=") + d->home,
                              QStringLiteral("--no-browser"), QStringLiteral("--no-restart")});
            ASSERT_TRUE(d->process.waitForStarted(10000));
            d->port = listeningPort(d->home);
            ASSERT_NE(d->port, 0) << "syncthing did not listen; see " << qPrintable(d->home);
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
                                              "<address>%3</address></device>\n");
        auto address = [](const Daemon &peer) {
            return peer.port ? QStringLiteral("tcp://127.0.0.1:%1").arg(peer.port) : QStringLiteral("dynamic");
        };
        const QString xml =
            QStringLiteral("<configuration version=\"36\">\n"
                           "<folder id=\"quillmere\" label=\"quillmere\" path=\"%1\" type=\"sendreceive\""
                           " rescanIntervalS=\"2\" fsWatcherEnabled=\"true\" fsWatcherDelayS=\"1\">"
                           "<device id=\"%2\"></device><device id=\"%3\"></device></folder>\n")
                .arg(d.folder, a.id, b.id)
            + device.arg(a.id, QStringLiteral("a"), address(a)) + device.arg(b.id, QStringLiteral("b"), address(b))
            + QStringLiteral("<gui enabled=\"false\" tls=\"false\"><address>127.0.0.1:0</address></gui>\n"
                             "<options><listenAddress>tcp://127.0.0.1:0</listenAddress>"
                             "<reconnectionIntervalS>1</reconnectionIntervalS>"
                             "<globalAnnounceEnabled>false</globalAnnounceEnabled>"
                             "<localAnnounceEnabled>false</localAnnounceEnabled>"
                             "<relaysEnabled>false</relaysEnabled><natEnabled>false</natEnabled>"
                             "<startBrowser>false</startBrowser><urAccepted>-1</urAccepted>"
                             "<autoUpgradeIntervalH>0</autoUpgradeIntervalH>"
                             "<crashReportingEnabled>false</crashReportingEnabled></options>\n"
                             "</configuration>\n");
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
