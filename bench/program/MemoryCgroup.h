#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace quillmere::bench::program {

// A memory cgroup made by hand for the program: under the root of a cgroup v2 hierarchy that hands
// out the memory controller, or else under this process's own cgroup of a v1 memory hierarchy.
// Making one needs write access to /sys/fs/cgroup (root, outside most containers); why it could not
// be made is in error().
class MemoryCgroup {
public:
    explicit MemoryCgroup(qint64 limitBytes)
    {
        const QString name = QStringLiteral("quillmere-bench-%1").arg(QCoreApplication::applicationPid());
        QFile own(QStringLiteral("/proc/self/cgroup"));
        QString v1Parent;
        if (own.open(QIODevice::ReadOnly))
            for (const QString &line : QString::fromUtf8(own.readAll()).split(u'\n'))
                if (line.section(u':', 1, 1).split(u',').contains(QStringLiteral("memory")))
                    v1Parent = QStringLiteral("/sys/fs/cgroup/memory") + line.section(u':', 2);
        for (const QString &root : {QStringLiteral("/sys/fs/cgroup"), QStringLiteral("/sys/fs/cgroup/unified")}) {
            if (!read(root + QStringLiteral("/cgroup.subtree_control")).trimmed().split(' ').contains("memory"))
                continue;
            if (make(root + u'/' + name, QStringLiteral("memory.max"), limitBytes))
                return;
        }
        if (!v1Parent.isEmpty() && make(v1Parent + u'/' + name, QStringLiteral("memory.limit_in_bytes"), limitBytes)) {
            m_v1 = true;
            return;
        }
        m_error = QStringLiteral("cannot make a memory cgroup: no cgroup v2 hierarchy hands out the memory "
                                 "controller and no v1 memory hierarchy is writable here (%1); run as root where "
                                 "/sys/fs/cgroup is writable")
                      .arg(m_error.isEmpty() ? QStringLiteral("none found") : m_error);
    }
    ~MemoryCgroup()
    {
        if (!m_path.isEmpty())
            QDir().rmdir(m_path);
    }
    const QString &error() const { return m_error; }
    // Run in the new process before it loads: it joins the cgroup, or ends at once.
    std::function<void()> joiner() const
    {
        return [procs = QFile::encodeName(m_path + QStringLiteral("/cgroup.procs"))] {
            const int fd = ::open(procs.constData(), O_WRONLY);
            if (fd < 0 || ::write(fd, "0", 1) != 1)
                ::_exit(126);
            ::close(fd);
        };
    }
    bool holds(qint64 pid) const
    {
        return read(QStringLiteral("/proc/%1/cgroup").arg(pid)).contains(m_path.section(u'/', -1).toUtf8());
    }
    double peakMB() const
    {
        const QByteArray peak =
            read(m_path + (m_v1 ? QStringLiteral("/memory.max_usage_in_bytes") : QStringLiteral("/memory.peak")));
        return peak.isEmpty() ? -1 : peak.trimmed().toDouble() / (1024 * 1024);
    }
    int oomKills() const
    {
        const QByteArray events =
            read(m_path + (m_v1 ? QStringLiteral("/memory.oom_control") : QStringLiteral("/memory.events")));
        for (const QByteArray &line : events.split('\n'))
            if (line.startsWith("oom_kill "))
                return line.mid(9).trimmed().toInt();
        return -1;
    }

private:
    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool make(const QString &path, const QString &limitFile, qint64 limitBytes)
    {
        if (!QDir().mkdir(path)) {
            m_error = QStringLiteral("could not make %1").arg(path);
            return false;
        }
        QFile limit(path + u'/' + limitFile);
        if (!limit.open(QIODevice::WriteOnly) || limit.write(QByteArray::number(limitBytes)) <= 0 || !limit.flush()) {
            m_error = QStringLiteral("could not set %1: %2").arg(limit.fileName(), limit.errorString());
            limit.close();
            QDir().rmdir(path);
            return false;
        }
        m_path = path;
        return true;
    }
    QString m_path;
    QString m_error;
    bool m_v1 = false;
};

} // namespace quillmere::bench::program
