#pragma once

#include "Support/PrivateMounts.h"

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quillmere::test {

// A tmpfs of its own that a test fills to the last byte, mounted in the test process's own mount
// namespace. Where it cannot be mounted, mounted() is false and missing() says why, so the test
// skips or fails (QUILLMERE_SKIP_WITHOUT) rather than passing unchecked.
class SmallDisk {
public:
    explicit SmallDisk(qint64 bytes = 256 * 1024)
    {
        m_missing = m_dir.isValid()
            ? PrivateMounts::mountTmpfs(m_dir.path(), bytes)
            : MachineNeed{QStringLiteral("no temporary folder to mount on: ") + m_dir.errorString(), {}};
    }
    ~SmallDisk()
    {
        if (mounted())
            PrivateMounts::unmount(m_dir.path());
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool mounted() const { return m_missing.what.isEmpty(); }
    MachineNeed missing() const { return m_missing; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

    // Takes every byte still free; true once a write met "no space left".
    bool fill()
    {
        const int fd = ::open(QFile::encodeName(filePath(QStringLiteral("filler"))).constData(),
                              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        const QByteArray block(4096, 'f');
        while (::write(fd, block.constData(), block.size()) > 0) {}
        while (::write(fd, block.constData(), 1) > 0) {}
        const bool full = errno == ENOSPC;
        ::close(fd);
        return full;
    }
    void release() { QFile::remove(filePath(QStringLiteral("filler"))); }
    bool setReadOnly(bool readOnly) { return PrivateMounts::setReadOnly(m_dir.path(), readOnly); }

private:
    QTemporaryDir m_dir;
    MachineNeed m_missing;
};

} // namespace quillmere::test
