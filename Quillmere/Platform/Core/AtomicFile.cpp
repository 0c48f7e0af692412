#include "Quillmere/Platform/Core/AtomicFile.h"

#include "Quillmere/Platform/Core/UnixSignals.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace quillmere {
namespace {

// 0, or why `fd` could not be synced. Once the end's limit runs, a sync is waited for only while
// the limit leaves time for the steps after it: the kernel goes on writing what the process wrote
// after it is gone, and a rename the limit cuts off loses the whole file, where a sync not waited
// for leaves it exposed only to a power cut.
int syncBeforeEnd(int fd)
{
    const auto left = UnixSignals::timeToEnd();
    const int own = left ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (own < 0)
        return ::fsync(fd) == 0 ? 0 : errno;
    auto result = std::make_shared<std::promise<int>>();
    std::future<int> synced = result->get_future();
    try {
        std::thread([own, result] {
            result->set_value(::fsync(own) == 0 ? 0 : errno);
            ::close(own);
        }).detach();
    } catch (const std::system_error &) {
        ::close(own);
        return ::fsync(fd) == 0 ? 0 : errno;
    }
    constexpr std::chrono::nanoseconds forWhatFollows = std::chrono::milliseconds(250);
    const bool done =
        synced.wait_for(std::max(*left - forWhatFollows, std::chrono::nanoseconds(0))) == std::future_status::ready;
    return done ? synced.get() : 0;
}

// 0, or why the folder holding `native` could not be synced.
int syncFolder(const QByteArray &native)
{
    const qsizetype slash = native.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : native.left(slash);
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return errno;
    // A file system that cannot sync folders says EINVAL; the rename is as safe as it gets there.
    const int error = syncBeforeEnd(dirFd);
    ::close(dirFd);
    return error == EINVAL ? 0 : error;
}

// Opens a new file named `pattern` with its last six characters made unique.
int createDocument(QByteArray &pattern)
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (qsizetype i = pattern.size() - 6; i < pattern.size(); ++i)
            pattern[i] = kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters) - 1)];
        // open() applies the umask and the folder's default ACL, as any program's save does.
        const int fd = ::open(pattern.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

} // namespace

AtomicFile::AtomicFile(const QString &path, FileAccess access)
{
    // A link is written through, so a settings file kept elsewhere stays where the user put it.
    const QFileInfo info(path);
    m_target = QFile::encodeName(info.isSymLink() ? info.symLinkTarget() : path);
    const qsizetype slash = m_target.lastIndexOf('/');
    // Beside the target, so the rename never crosses a file system; the name is cut to stay
    // under the length a name may have.
    m_temporary = m_target.left(slash + 1) + '.' + m_target.mid(slash + 1).left(200) + ".XXXXXX";
    m_fd = access == FileAccess::document ? createDocument(m_temporary) : ::mkostemp(m_temporary.data(), O_CLOEXEC);
    if (m_fd < 0) {
        // Nothing was made: there is nothing to remove.
        const int error = errno;
        m_temporary.clear();
        fail("create", error);
        return;
    }
    // mkostemp's 0600 still passes through the umask; the mode is fixed before the first byte.
    if (access == FileAccess::ownerOnly && ::fchmod(m_fd, 0600) != 0)
        fail("protect", errno);
}

AtomicFile::~AtomicFile()
{
    discard();
}

void AtomicFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temporary.isEmpty()) {
        ::unlink(m_temporary.constData());
        m_temporary.clear();
    }
}

bool AtomicFile::fail(const char *step, int error)
{
    if (m_error.isEmpty())
        m_error =
            QStringLiteral("%1 (%2 %3)")
                .arg(QString::fromLocal8Bit(std::strerror(error)), QLatin1String(step), QFile::decodeName(m_target));
    discard();
    return false;
}

bool AtomicFile::write(QByteArrayView bytes)
{
    if (m_fd < 0)
        return false;
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("write", n < 0 ? errno : EIO);
        data += n;
        left -= n;
        m_written += n;
    }
    return true;
}

bool AtomicFile::commit()
{
    if (m_fd < 0)
        return false;
    if (const int error = syncBeforeEnd(m_fd); error != 0)
        return fail("sync", error);
    // Some file systems only find out at the sync that the space was not there.
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return fail("check", errno);
    if (st.st_size != m_written)
        return fail("check the size of", ENOSPC);
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0)
        return fail("close", errno);
    if (::rename(m_temporary.constData(), m_target.constData()) != 0)
        return fail("rename into", errno);
    m_temporary.clear();
    const int error = syncFolder(m_target);
    return error == 0 || fail("sync the folder of", error);
}

bool syncFolderOf(const QString &path, QString *errorText)
{
    const QByteArray native = QFile::encodeName(path);
    const int error = syncFolder(native);
    if (error != 0 && errorText)
        *errorText =
            QStringLiteral("%1 (sync the folder of %2)").arg(QString::fromLocal8Bit(std::strerror(error)), path);
    return error == 0;
}

std::optional<FileIdentity> FileIdentity::of(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

std::optional<FileIdentity> FileIdentity::ofOpen(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

bool FileIdentity::isAt(int fd, const QString &path)
{
    const std::optional<FileIdentity> open = ofOpen(fd);
    return open && open == of(path);
}

bool syncFile(const QString &path, QString *errorText)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const int error = fd < 0 ? errno : syncBeforeEnd(fd);
    if (error != 0)
        *errorText = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
    if (fd >= 0)
        ::close(fd);
    return error == 0;
}

bool renameNoReplace(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from), target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without that rename: a second name, then the first goes.
    if (::link(source.constData(), target.constData()) == 0) {
        ::unlink(source.constData());
        return true;
    }
    if (errno == EEXIST)
        return false;
    // Nor links (FAT): look, then rename.
    if (QFileInfo::exists(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(source.constData(), target.constData()) == 0;
}

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *errorText, FileAccess access)
{
    AtomicFile file(path, access);
    if (file.write(bytes) && file.commit())
        return true;
    if (errorText)
        *errorText = file.errorString();
    return false;
}

} // namespace quillmere
