#include "Quillmere/App/SingleInstance.h"
#include "Quillmere/App/StoreLock.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QMap>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <utility>

using namespace quillmere;

namespace {

struct Outcome {
    int status = -1;
    bool crashed = true;
    QString errors;
};

// Starts the program with its own runtime, config and data folders.
struct Launch {
    QTemporaryDir home;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", home.path());
        env.insert("XDG_CONFIG_HOME", home.filePath("config"));
        env.insert("XDG_DATA_HOME", home.filePath("data"));
        env.insert("XDG_CACHE_HOME", home.filePath("cache"));
        return env;
    }

    Outcome run(const QStringList &arguments, QProcessEnvironment env) const
    {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(QUILLMERE_EXECUTABLE), arguments);
        Outcome result;
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.status = process.exitCode();
        result.crashed = process.exitStatus() != QProcess::NormalExit;
        result.errors = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
    }
    Outcome run(const QStringList &arguments) const { return run(arguments, environment()); }
};

// An X server of the test's own, so that killing it takes nobody else's; empty when none started.
QString startXvfb(QProcess &xvfb)
{
    // Without -noreset, the program's check that the display answers is its last client for a
    // moment, and the reset that follows refuses the program's own connection.
    xvfb.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp", "-noreset"});
    if (!xvfb.waitForReadyRead(10000))
        return {};
    return ":" + QString::fromLatin1(xvfb.readAllStandardOutput().trimmed());
}

// Reads the program's log until it says `line`.
bool waitForLine(QProcess &program, QByteArray &log, const char *line)
{
    return QTest::qWaitFor(
        [&] {
            program.waitForReadyRead(50);
            log += program.readAllStandardError();
            return log.contains(line);
        },
        20000);
}

// Everything under `root` as it is on disk: each entry's kind, mode, time of change and bytes.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QByteArray facts = QByteArray::number(st.st_mode, 8) + ' ' + QByteArray::number(qint64(st.st_mtim.tv_sec)) + '.'
            + QByteArray::number(qint64(st.st_mtim.tv_nsec)) + ' ';
        if (QFile file(path); S_ISREG(st.st_mode) && file.open(QIODevice::ReadOnly))
            facts += file.readAll();
        entries.insert(path.mid(root.size()), facts);
    }
    return entries;
}

// The entries that came, went or changed, but for those under `others`: folders that libraries the
// program loads keep for every program.
QStringList changes(const QMap<QString, QByteArray> &before, const QMap<QString, QByteArray> &after,
                    const QStringList &others = {})
{
    const auto theirs = [&others](const QString &entry) {
        return std::ranges::any_of(others,
                                   [&entry](const QString &o) { return entry == o || entry.startsWith(o + '/'); });
    };
    QStringList changed;
    for (auto it = after.begin(); it != after.end(); ++it)
        if (theirs(it.key()))
            continue;
        else if (!before.contains(it.key()))
            changed << "made " + it.key();
        else if (before.value(it.key()) != it.value())
            changed << "changed " + it.key();
    for (auto it = before.begin(); it != before.end(); ++it)
        if (!after.contains(it.key()) && !theirs(it.key()))
            changed << "removed " + it.key();
    return changed;
}

} // namespace

TEST(CommandLine, UnknownOptionsAndArgumentsEndWithTheUsageAndStatusTwo)
{
    Launch launch;
    for (const QStringList &args : {QStringList{"--bogus"}, QStringList{"-bogus"}, QStringList{"stray"},
                                    QStringList{"--show-panel", "-platform"}}) {
        const Outcome run = launch.run(args);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.status, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(run.errors.contains("Usage: quillmere")) << run.errors.toStdString();
    }
    EXPECT_TRUE(launch.run({"--bogus"}).errors.contains("'bogus'"));
}

TEST(CommandLine, AnUnreachableDisplayIsNamedAndEndsWithStatusOne)
{
    Launch launch;
    QProcessEnvironment env = launch.environment();
    env.insert("DISPLAY", ":64999");
    Outcome run = launch.run({}, env);
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.errors.contains("cannot open display :64999")) << run.errors.toStdString();

    // Qt's own -display names the display to check.
    run = launch.run({"-display", ":64998"});
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.errors.contains("cannot open display :64998")) << run.errors.toStdString();
}

TEST(CommandLine, QtOptionsPassThroughAndAHandOverTooLargeIsRefused)
{
    Launch launch;
    SingleInstance running(launch.home.filePath("quillmere"));
    ASSERT_EQ(running.claim({}), SingleInstance::Claim::first);
    QSignalSpy received(&running, &SingleInstance::argumentsReceived);

    Outcome run =
        launch.run({"-platform", "offscreen", "-style", "Fusion", "--reverse", "-qwindowtitle", "x", "--show-panel"});
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.status, 0) << run.errors.toStdString();
    ASSERT_TRUE(received.wait(test::patienceMs));
    EXPECT_EQ(received.front().front().toStringList(), QStringList{"--show-panel"}) << "Qt took its own options";

    QStringList many{"-platform", "offscreen"};
    for (int i = 0; i < 6000; ++i)
        many << "--show-panel";
    run = launch.run(many);
    EXPECT_FALSE(run.crashed);
    EXPECT_NE(run.status, 0);
    EXPECT_TRUE(run.errors.contains("too long")) << run.errors.toStdString();
    EXPECT_EQ(received.size(), 1);
}

TEST(CommandLine, ARunningProgramTakesTheRequestBeforeADisplayIsOpened)
{
    Launch launch;
    SingleInstance running(launch.home.filePath("quillmere"));
    ASSERT_EQ(running.claim({}), SingleInstance::Claim::first);
    SingleInstance demo(launch.home.filePath("quillmere-demo"));
    ASSERT_EQ(demo.claim({}), SingleInstance::Claim::first);
    QSignalSpy received(&running, &SingleInstance::argumentsReceived);
    QSignalSpy receivedByDemo(&demo, &SingleInstance::argumentsReceived);

    // No display could be reached: the request never needed one.
    QProcessEnvironment env = launch.environment();
    env.insert("DISPLAY", ":64999");
    Outcome run = launch.run({"--show-panel"}, env);
    EXPECT_EQ(run.status, 0) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.contains("handed the request over")) << run.errors.toStdString();
    ASSERT_TRUE(received.wait(test::patienceMs));
    EXPECT_EQ(received.front().front().toStringList(), QStringList{"--show-panel"});

    run = launch.run({"--demo-data", "--show-settings"}, env);
    EXPECT_EQ(run.status, 0) << run.errors.toStdString();
    ASSERT_TRUE(receivedByDemo.wait(test::patienceMs));
    EXPECT_EQ(receivedByDemo.front().front().toStringList(), (QStringList{"--demo-data", "--show-settings"}));

    // Help is this start's to answer, not the running program's.
    run = launch.run({"--help"}, env);
    EXPECT_EQ(run.status, 0);
    QTest::qWait(100);
    EXPECT_EQ(received.size(), 1);
    EXPECT_EQ(receivedByDemo.size(), 1);
}

TEST(CommandLine, AStartOnAHistoryAnotherProcessHoldsHandsOverOrSaysWhoAndQuits)
{
    Launch launch;
    const QString store = launch.home.filePath("data/Quillmere/default.store");
    // The running program has a runtime folder of its own, where this start does not look.
    QTemporaryDir otherRuntime;
    const QString socket = otherRuntime.filePath("quillmere");
    SingleInstance running(socket);
    ASSERT_EQ(running.claim({}), SingleInstance::Claim::first);
    QSignalSpy received(&running, &SingleInstance::argumentsReceived);
    QProcessEnvironment env = launch.environment();
    env.insert("DISPLAY", ":64999");
    {
        const StoreLock held(store, socket);
        ASSERT_EQ(held.state(), StoreLock::State::held);
        const Outcome run = launch.run({"--show-panel"}, env);
        EXPECT_EQ(run.status, 0) << run.errors.toStdString();
        EXPECT_TRUE(run.errors.contains("handed the request over")) << run.errors.toStdString();
        ASSERT_TRUE(received.wait(test::patienceMs));
        EXPECT_EQ(received.front().front().toStringList(), QStringList{"--show-panel"});
    }

    // A holder that cannot be reached is named, and nothing is written beside the store.
    QProcess holder;
    holder.start(QStringLiteral(QUILLMERE_STORE_LOCK_HOLDER), {store, otherRuntime.filePath("gone")});
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    ASSERT_EQ(holder.readLine().trimmed(), "held");
    const QDir folder(launch.home.filePath("data/Quillmere"));
    const QStringList before = folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    Outcome run = launch.run({"--show-panel"}, env);
    EXPECT_EQ(run.status, 1) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.contains(QStringLiteral("process %1 (%2 %3")
                                        .arg(holder.processId())
                                        .arg(QStringLiteral(QUILLMERE_STORE_LOCK_HOLDER), store)))
        << run.errors.toStdString();
    EXPECT_EQ(folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    EXPECT_EQ(received.size(), 1);

    // The demo keeps to a store in memory and goes on past the lock, to the display.
    run = launch.run({"--demo-data"}, env);
    EXPECT_TRUE(run.errors.contains("cannot open display")) << run.errors.toStdString();

    // Killed, the holder leaves its file, which keeps nobody out.
    holder.kill();
    ASSERT_TRUE(holder.waitForFinished(5000));
    ASSERT_TRUE(QFile::exists(store + ".lock"));
    run = launch.run({}, env);
    EXPECT_TRUE(run.errors.contains("cannot open display")) << run.errors.toStdString();
}

// A session's ends, on an X server of the test's own so that killing it takes nobody else's.
TEST(CommandLine, SignalsAndTheDisplayGoingEndThroughTheSameLastStepsWithEveryCopyKept)
{
    ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        << "needs Xvfb (tools/test installs it)";
    // The last two: the store file deleted just before, so that the one copy of the history is the
    // program's open file until the end has copied it back; then with each sync taking longer than
    // a signal leaves the end.
    struct End {
        int signal;
        bool storeDeleted, slowDisk;
    };
    for (const auto &[end, storeDeleted, slowDisk] : {End{SIGTERM, false, false},
                                                      {SIGHUP, false, false},
                                                      {SIGQUIT, false, false},
                                                      {0, false, false},
                                                      {0, true, false},
                                                      {SIGTERM, true, true}}) {
        SCOPED_TRACE(std::string(end ? ::strsignal(end) : "the X server killed")
                     + (storeDeleted ? ", the store deleted" : "") + (slowDisk ? ", the disk slow" : ""));
        Launch launch;
        const QString store = launch.home.filePath("data/Quillmere/default.store");
        QProcess xvfb;
        const QString display = startXvfb(xvfb);
        ASSERT_FALSE(display.isEmpty()) << "Xvfb did not start";
        QProcessEnvironment env = launch.environment();
        env.insert("DISPLAY", display);
        env.insert("HOME", launch.home.path());
        const QString slowFrom = launch.home.filePath("slow-from-now");
        if (slowDisk) {
            env.insert("LD_PRELOAD", QStringLiteral(QUILLMERE_SLOW_SYNC));
            env.insert("QUILLMERE_SLOW_SYNC_FROM", slowFrom);
            // A sanitizer's runtime wants to be first; the shim only wraps two calls.
            env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        }
        QProcess program;
        program.setProcessEnvironment(env);
        // As a script's `&` starts it: SIGINT and SIGQUIT ignored.
        program.setChildProcessModifier([] {
            std::signal(SIGINT, SIG_IGN);
            std::signal(SIGQUIT, SIG_IGN);
        });
        program.start(QStringLiteral(QUILLMERE_EXECUTABLE), {"--skip-onboarding"});
        QByteArray log;
        ASSERT_TRUE(waitForLine(program, log, "Ready.")) << log.toStdString();
        QProcess setter;
        setter.setProcessEnvironment(env);
        setter.start(QStringLiteral(QUILLMERE_CLIPBOARD_SETTER), {"5", "30", "end copy"});
        ASSERT_TRUE(setter.waitForFinished(20000));
        ASSERT_EQ(setter.readAllStandardOutput().trimmed(), "fetched 5 of 5");

        // Held while the store goes and the end comes: running, it would copy a store this small
        // back before the end, which would find nothing to finish. On a slow disk the copy is
        // still under way when the end comes, with copies made since waiting for it.
        const bool held = storeDeleted && !slowDisk;
        if (held)
            ::kill(pid_t(program.processId()), SIGSTOP);
        if (storeDeleted) {
            ASSERT_TRUE(QFile::remove(store));
        }
        if (slowDisk) {
            ASSERT_TRUE(QFile(slowFrom).open(QIODevice::WriteOnly));
            setter.start(QStringLiteral(QUILLMERE_CLIPBOARD_SETTER), {"3", "30", "end copy late"});
            ASSERT_TRUE(setter.waitForFinished(20000));
            ASSERT_EQ(setter.readAllStandardOutput().trimmed(), "fetched 3 of 3");
        }
        end ? void(::kill(pid_t(program.processId()), end)) : xvfb.kill();
        if (held) {
            xvfb.waitForFinished(5000);
            ::kill(pid_t(program.processId()), SIGCONT);
        }
        // Long enough only to tell a hang from an end.
        ASSERT_TRUE(program.waitForFinished(10000)) << "still running";
        log += program.readAllStandardError();
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << log.toStdString();
        EXPECT_TRUE(log.contains("Ending (")) << log.toStdString();
        EXPECT_TRUE(log.contains("Every copy is on disk")) << log.toStdString();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("ended"));
            db.setDatabaseName(store);
            QSqlQuery query(db);
            ASSERT_TRUE(db.open() && query.exec("SELECT count(*) FROM clips WHERE text LIKE 'end copy %'")
                        && query.next());
            EXPECT_EQ(query.value(0).toInt(), slowDisk ? 8 : 5);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("ended"));
    }
}

// A demo beside the user's own history: its settings, counters and every file it would make stay in
// memory, through a copy kept and a signal's end.
TEST(CommandLine, ADemoLeavesTheUsersFoldersAsTheyWere)
{
    ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        << "needs Xvfb (tools/test installs it)";
    Launch launch;
    QProcessEnvironment env = launch.environment();
    env.insert("XDG_STATE_HOME", launch.home.filePath("state"));
    env.insert("HOME", launch.home.path());
    const QStringList folders{"config", "data", "state", "cache"};
    // What a user's earlier sessions left: settings that do not yet have the start's own.
    for (const QString &folder : folders)
        ASSERT_TRUE(QDir().mkpath(launch.home.filePath(folder + "/Quillmere")));
    ASSERT_TRUE(QDir().mkpath(launch.home.filePath("config/orvantide")));
    for (const char *file : {"config/orvantide/quillmere.json", "data/Quillmere/default.store", "state/Quillmere/notes",
                             "cache/Quillmere/notes"}) {
        QFile f(launch.home.filePath(file));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(file).endsWith(".json") ? "{\n    \"onboardingCompleted\": true\n}\n" : "earlier");
    }
    // A font folder the system's font cache does not cover, as a user's own fonts or a cache gone
    // stale are: fontconfig then keeps a cache of its own in the user's cache folder (first, so that
    // root's run does the same) for any program that lists fonts. That one, and Mesa's shader cache,
    // are the libraries' and not the program's.
    ASSERT_TRUE(QDir().mkpath(launch.home.filePath("fonts")));
    {
        QFile conf(launch.home.filePath("fonts.conf"));
        ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
        conf.write("<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"urn:fontconfig:fonts.dtd\">\n"
                   "<fontconfig><cachedir prefix=\"xdg\">fontconfig</cachedir>"
                   "<include ignore_missing=\"yes\">/etc/fonts/fonts.conf</include><dir>"
                   + QFile::encodeName(launch.home.filePath("fonts")) + "</dir></fontconfig>\n");
    }
    env.insert("FONTCONFIG_FILE", launch.home.filePath("fonts.conf"));
    const QStringList librariesCaches{"/fontconfig", "/mesa_shader_cache", "/mesa_shader_cache_db"};
    QMap<QString, QMap<QString, QByteArray>> before;
    for (const QString &folder : folders)
        before.insert(folder, snapshot(launch.home.filePath(folder)));

    QProcess xvfb;
    const QString display = startXvfb(xvfb);
    ASSERT_FALSE(display.isEmpty()) << "Xvfb did not start";
    env.insert("DISPLAY", display);
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(QUILLMERE_EXECUTABLE), {"--demo-data"});
    QByteArray log;
    ASSERT_TRUE(waitForLine(program, log, "Ready.")) << log.toStdString();
    QProcess setter;
    setter.setProcessEnvironment(env);
    setter.start(QStringLiteral(QUILLMERE_CLIPBOARD_SETTER), {"2", "30", "demo copy"});
    ASSERT_TRUE(setter.waitForFinished(20000));
    ASSERT_EQ(setter.readAllStandardOutput().trimmed(), "fetched 2 of 2");
    ::kill(pid_t(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(10000)) << "still running";
    log += program.readAllStandardError();
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << log.toStdString();
    EXPECT_TRUE(log.contains("Received signal 15") && log.contains("Ending ("))
        << "not the signal's end: " << log.toStdString();

    xvfb.kill();
    xvfb.waitForFinished();
    for (const QString &folder : folders) {
        const QStringList changed = changes(before.value(folder), snapshot(launch.home.filePath(folder)),
                                            folder == "cache" ? librariesCaches : QStringList());
        EXPECT_TRUE(changed.isEmpty()) << folder.toStdString() << ": " << changed.join(", ").toStdString();
    }
}
