#pragma once

// The program started as people start it, in a home of its own: its log as it comes, its memory and
// processor time, its main thread watched; and another program copying meanwhile.

#include "program/ProgramHome.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <functional>
#include <optional>
#include <unistd.h>
#include <vector>

namespace quillmere::bench::program {

inline double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// The program, running; its log is collected as it comes.
class Program {
public:
    // `inChild` runs in the new process before the program is loaded.
    explicit Program(const Home &home, QProcessEnvironment env = {}, const std::function<void()> &inChild = {})
    {
        m_process.setProcessEnvironment(env.isEmpty() ? home.environment() : env);
        if (inChild)
            m_process.setChildProcessModifier(inChild);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setReadChannel(QProcess::StandardError);
        m_clock.start();
        m_process.start(QStringLiteral(QUILLMERE_PROGRAM), {QStringLiteral("--skip-onboarding")});
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    // Milliseconds from the start to the line, or a negative number when it never came.
    double waitForLine(const QByteArray &line, int timeoutMs = 20000)
    {
        QElapsedTimer deadline;
        deadline.start();
        while (deadline.elapsed() < timeoutMs) {
            read();
            if (m_log.contains(line))
                return m_readyAt;
            if (m_process.state() == QProcess::NotRunning)
                return -1;
            m_process.waitForReadyRead(10);
        }
        return -1;
    }
    // Takes what the program wrote within `ms`: its pipe must never fill, or it would wait on it.
    QByteArray log(int ms = 0)
    {
        m_process.waitForReadyRead(ms);
        read();
        return m_log;
    }
    qint64 pid() const { return m_process.processId(); }
    bool running() const { return m_process.state() == QProcess::Running; }
    double rssMB() const { return statusMB("VmRSS:"); }
    // The most it was ever resident, as the kernel counted it.
    double peakRssMB() const { return statusMB("VmHWM:"); }
    // The main thread's processor time so far, in milliseconds.
    double mainThreadCpuMs() const { return cpuMsIn(QStringLiteral("/proc/%1/task/%1/stat").arg(pid())); }
    // The processor time of all its threads so far, in milliseconds.
    double processCpuMs() const { return cpuMsIn(QStringLiteral("/proc/%1/stat").arg(pid())); }
    // The main thread's time on a processor so far, in nanoseconds, to the scheduler's precision.
    qint64 mainThreadRunNs() const
    {
        QFile stat(QStringLiteral("/proc/%1/task/%1/schedstat").arg(pid()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        return stat.readAll().split(' ').value(0).toLongLong();
    }
    // The main thread's state as the scheduler has it: 'R' running, 'S' asleep, 'D' waiting on
    // the disk...; '?' when it cannot be read.
    char mainThreadState() const
    {
        QFile stat(QStringLiteral("/proc/%1/task/%1/stat").arg(pid()));
        if (!stat.open(QIODevice::ReadOnly))
            return '?';
        const QByteArray fields = stat.readAll().split(')').last().trimmed();
        return fields.isEmpty() ? '?' : fields.front();
    }
    // SIGTERM to exit, in milliseconds.
    double stop()
    {
        QElapsedTimer timer;
        timer.start();
        ::kill(pid_t(pid()), SIGTERM);
        if (!m_process.waitForFinished(20000))
            return -1;
        return msSince(timer);
    }

private:
    double statusMB(const char *field) const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith(field))
                return line.mid(int(qstrlen(field))).trimmed().split(' ').front().toDouble() / 1024;
        return -1;
    }
    // User and system time from a /proc stat file, in milliseconds.
    static double cpuMsIn(const QString &statPath)
    {
        QFile stat(statPath);
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
        return (fields[11].toDouble() + fields[12].toDouble()) * 1000.0 / double(::sysconf(_SC_CLK_TCK));
    }
    void read()
    {
        const QByteArray more = m_process.readAllStandardError();
        if (more.isEmpty())
            return;
        m_log += more;
        if (m_readyAt < 0 && m_log.contains("Ready."))
            m_readyAt = msSince(m_clock);
    }
    QProcess m_process;
    QElapsedTimer m_clock;
    QByteArray m_log;
    double m_readyAt = -1;
};

// Watches the main thread every millisecond for its longest stretch of running on end.
class MainThreadWatch {
public:
    explicit MainThreadWatch(const Program &program) : m_program(program) { m_clock.start(); }
    // Samples for `ms`, reading the program's log meanwhile.
    void watch(Program &program, int ms)
    {
        QElapsedTimer timer;
        timer.start();
        qint64 before = m_program.mainThreadRunNs();
        qint64 at = m_clock.nsecsElapsed();
        while (timer.elapsed() < ms) {
            QThread::usleep(1000);
            const qint64 ran = m_program.mainThreadRunNs();
            const qint64 now = m_clock.nsecsElapsed();
            const qint64 used = ran - before;
            m_ranNs += used;
            m_watchedNs += now - at;
            noteProcessLoad(now);
            // Running for most of the interval: the stretch goes on.
            if (used * 10 >= (now - at) * 8) {
                m_stretchNs += now - at;
                m_longestNs = std::max(m_longestNs, m_stretchNs);
            } else {
                m_stretchNs = 0;
            }
            // Held: anything but asleep (in its event loop's wait, mostly), a wait on the disk too.
            if (m_program.mainThreadState() != 'S') {
                m_heldNs += now - at;
                m_longestHeldNs = std::max(m_longestHeldNs, m_heldNs);
            } else {
                m_heldNs = 0;
            }
            before = ran;
            at = now;
            if (timer.elapsed() % 50 == 0)
                program.log();
        }
    }
    // Watches until every thread of the program has been idle for `quietMs` (true), or for `capMs`.
    bool watchUntilQuiet(Program &program, int quietMs, int capMs)
    {
        QElapsedTimer cap;
        cap.start();
        while (cap.elapsed() < capMs) {
            watch(program, 100);
            if (nowMs() - lastBusyMs() >= quietMs)
                return true;
        }
        return false;
    }
    double longestMs() const { return double(m_longestNs) / 1e6; }
    // The longest the main thread was seen held, on a processor or waiting on the disk.
    double longestHeldMs() const { return double(m_longestHeldNs) / 1e6; }
    // The main thread's time on a processor over the time watched.
    double busyShare() const { return m_watchedNs ? double(m_ranNs) / double(m_watchedNs) : 0; }
    // When, on the watch's clock, the program's threads together last kept a fifth of a processor
    // busy over a slice of 200 ms.
    double lastBusyMs() const { return double(m_lastBusyNs) / 1e6; }
    double nowMs() const { return msSince(m_clock); }

private:
    void noteProcessLoad(qint64 now)
    {
        constexpr qint64 sliceNs = 200'000'000;
        if (m_sliceStartNs >= 0 && now - m_sliceStartNs < sliceNs)
            return;
        const double cpu = m_program.processCpuMs();
        if (m_sliceStartNs >= 0 && (cpu - m_sliceCpuMs) * 1e6 * 5 >= double(now - m_sliceStartNs))
            m_lastBusyNs = now;
        m_sliceStartNs = now;
        m_sliceCpuMs = cpu;
    }
    const Program &m_program;
    QElapsedTimer m_clock;
    qint64 m_stretchNs = 0;
    qint64 m_longestNs = 0;
    qint64 m_heldNs = 0;
    qint64 m_longestHeldNs = 0;
    qint64 m_ranNs = 0;
    qint64 m_watchedNs = 0;
    qint64 m_sliceStartNs = -1;
    double m_sliceCpuMs = 0;
    qint64 m_lastBusyNs = 0;
};

// The program on a vocabulary history, logging each capture with the time of the monotonic clock.
inline QProcessEnvironment relatedSearchEnvironment(const Home &home)
{
    QProcessEnvironment env = home.environment();
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("com.orvantide.quillmere.clipboard.debug=true"));
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{time boot} %{message}"));
    return env;
}

// Another program copying ten times a second for `seconds`, saying when it offered each copy.
inline void startCopying(QProcess &setter, int seconds)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CLIPBOARD_SETTER_TIMES"), QStringLiteral("1"));
    setter.setProcessEnvironment(env);
    setter.start(
        QStringLiteral(QUILLMERE_CLIPBOARD_SETTER),
        {QString::number(seconds * 10), QStringLiteral("100"), QStringLiteral("bench copy"), QStringLiteral("300")});
}

// Each offered copy's time to capture, paired in order; none when a copy was not captured once
// (then every later pair would be off by one).
inline std::optional<std::vector<double>> captureLatencies(const QByteArray &setterLog, const QByteArray &programLog)
{
    static const QRegularExpression offered(QStringLiteral("copy \\d+ at (\\d+)"));
    static const QRegularExpression captured(QStringLiteral("(\\d+)\\.(\\d{3}) Capture took"));
    std::vector<quint32> offers, captures;
    for (auto offer = offered.globalMatch(QString::fromUtf8(setterLog)); offer.hasNext();)
        offers.push_back(quint32(offer.next().captured(1).toLongLong()));
    for (auto capture = captured.globalMatch(QString::fromUtf8(programLog)); capture.hasNext();) {
        const QRegularExpressionMatch took = capture.next();
        captures.push_back(took.captured(1).toUInt() * 1000 + took.captured(2).toUInt());
    }
    if (offers.size() != captures.size())
        return std::nullopt;
    std::vector<double> latencies;
    // The log's clock is the same, in milliseconds cut to 32 bits.
    for (size_t i = 0; i < offers.size(); ++i)
        latencies.push_back(double(qint32(captures[i] - offers[i])));
    return latencies;
}

} // namespace quillmere::bench::program
