#include "Quillmere/Platform/Core/BoundedFile.h"

#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {
namespace {

BoundedFileRead refused(BoundedFileRead::Status status, const QString &why)
{
    BoundedFileRead result;
    result.status = status;
    result.errorText = why;
    return result;
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

BoundedFileRead readBoundedFile(const QString &path, const BoundedFileLimits &limits)
{
    using Status = BoundedFileRead::Status;
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (limits.refuseLink ? O_NOFOLLOW : 0);
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return refused(Status::missing, QStringLiteral("The file doesn't exist."));
        if (error == ELOOP && limits.refuseLink)
            return refused(Status::notRegular, QStringLiteral("This isn't a regular file."));
        return refused(Status::failed, systemError(error));
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};

    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return refused(Status::failed, systemError(errno));
    if (!S_ISREG(info.st_mode))
        return refused(Status::notRegular, QStringLiteral("This isn't a regular file."));
    BoundedFileRead result;
    result.size = info.st_size;
    if (info.st_size > limits.maxBytes) {
        result.status = Status::tooLarge;
        result.errorText = QStringLiteral("The file is too large.");
        return result;
    }

    const QDeadlineTimer deadline =
        limits.deadlineMs > 0 ? QDeadlineTimer(limits.deadlineMs) : QDeadlineTimer(QDeadlineTimer::Forever);
    // Files under /proc say they are empty: the bound is applied to what is read.
    const qint64 want = limits.maxBytes + 1;
    QByteArray bytes(qsizetype(std::min<qint64>(want, std::max<qint64>(info.st_size + 1, 4096))), Qt::Uninitialized);
    qint64 used = 0;
    constexpr qint64 chunk = 1 << 20;
    for (;;) {
        if (used == bytes.size()) {
            if (used >= want)
                break;
            bytes.resize(qsizetype(std::min<qint64>(want, bytes.size() * 2)));
        }
        if (deadline.hasExpired())
            return refused(Status::tooSlow, QStringLiteral("The file took too long to read."));
        const ssize_t got = ::read(fd, bytes.data() + used, size_t(std::min<qint64>(chunk, bytes.size() - used)));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return refused(Status::failed, systemError(errno));
        }
        if (got == 0)
            break;
        used += got;
    }
    if (used > limits.maxBytes) {
        result.status = Status::tooLarge;
        result.size = used;
        result.errorText = QStringLiteral("The file is too large.");
        return result;
    }
    bytes.truncate(qsizetype(used));
    result.status = Status::ok;
    result.size = used;
    result.bytes = std::move(bytes);
    return result;
}

} // namespace quillmere
