#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include "Quillmere/Platform/Core/Logging.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

bool preparePrivateDirectory(const QString &path, bool create, bool tighten, QString *why)
{
    const QByteArray native = QFile::encodeName(path);
    const auto refuse = [&](const char *reason) {
        qCWarning(lcApp, "Not using %s: %s", native.constData(), reason);
        if (why)
            *why = QString::fromLocal8Bit(reason);
        return false;
    };
    const bool created = create && ::mkdir(native.constData(), 0700) == 0;
    if (create && !created && errno != EEXIST)
        return refuse(std::strerror(errno));
    // Checked through a descriptor of the directory itself, so a swap after the check cannot matter.
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return refuse(errno == ELOOP || errno == ENOTDIR ? "it is a link or not a directory" : std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        return refuse(std::strerror(error));
    }
    if (info.st_uid != ::geteuid()) {
        ::close(fd);
        return refuse("it belongs to another user");
    }
    // A umask may have taken bits away from a new one.
    if ((created || tighten) && (info.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) == 0)
        info.st_mode = (info.st_mode & ~07777) | 0700;
    ::close(fd);
    if ((info.st_mode & 077) != 0)
        return refuse("others may enter it (its mode is not 0700)");
    // Ours alone, yet closed to its owner in part (0500, say): the true reason, not a stranger's access.
    if ((info.st_mode & 0700) != 0700)
        return refuse("its owner may not write to or enter it (its mode is not 0700)");
    if ((info.st_mode & 07777) != 0700)
        return refuse("its mode is not 0700");
    return true;
}

bool makePrivatePath(const QString &path, QString *errorText)
{
    const QByteArray native = QFile::encodeName(path);
    int error = native.isEmpty() ? ENOENT : ENOTDIR;
    for (qsizetype end = native.indexOf('/', 1); !native.isEmpty(); end = native.indexOf('/', end + 1)) {
        const QByteArray part = end < 0 ? native : native.left(end);
        // The umask only takes bits away, and may take the owner's too.
        if (::mkdir(part.constData(), 0700) == 0)
            ::chmod(part.constData(), 0700);
        else if (errno != EEXIST)
            error = errno;
        if (end < 0)
            break;
    }
    struct stat info {};
    if (::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode))
        return true;
    if (errorText)
        *errorText = QStringLiteral("The folder %1 could not be made: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(error)));
    return false;
}

} // namespace quillmere

namespace quillmere {

QString preparePrivateTemporaryFolder(const QString &name, const QString &temporaryRoot)
{
    const QString shared = QDir(temporaryRoot).filePath(name);
    if (preparePrivateDirectory(shared))
        return shared;
    // The runtime folder is the session's own (0700), so no other account can hold a name there.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QDir::isAbsolutePath(runtime))
        return {};
    const QString own = QDir(runtime).filePath(name);
    if (!preparePrivateDirectory(own))
        return {};
    qCInfo(lcApp, "Using %s instead", qUtf8Printable(own));
    return own;
}

} // namespace quillmere
