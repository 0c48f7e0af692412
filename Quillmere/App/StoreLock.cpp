#include "Quillmere/App/StoreLock.h"

#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/BoundedFile.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSysInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {
namespace {

// How long a start waits for a holder that has not begun to listen yet.
constexpr int kStartingMs = 3000;
// Far above the few lines a holder writes.
constexpr qint64 kMaxNamingBytes = 4096;

} // namespace

QString StoreLock::Holder::description() const
{
    QString text =
        pid > 0 ? QStringLiteral("process %1").arg(pid) : QStringLiteral("a process that has not named itself");
    const bool here = !host.isEmpty() && host == QSysInfo::machineHostName();
    if (!here && !host.isEmpty())
        text += QStringLiteral(" on %1").arg(host);
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    QByteArray words = here && pid > 0 && cmdline.open(QIODevice::ReadOnly) ? cmdline.read(kMaxNamingBytes) : "";
    while (words.endsWith('\0'))
        words.chop(1);
    if (!words.isEmpty())
        text += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(words.replace('\0', ' ')));
    return text;
}

StoreLock::StoreLock(const QString &storePath, const QString &contact)
    : m_path(storePath + QStringLiteral(".lock")), m_contact(contact)
{
    take();
}

StoreLock::~StoreLock()
{
    // The file stays: removing it would let a start lock a new one while another still holds this.
    if (m_fd >= 0)
        ::close(m_fd);
}

void StoreLock::take()
{
    m_state = State::unavailable;
    if (!makePrivatePath(QFileInfo(m_path).absolutePath(), &m_error))
        return;
    const QByteArray native = QFile::encodeName(m_path);
    // A lock file removed or replaced between its opening and its locking is opened again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Never waits: not on a FIFO put at the path, not on a lock another process holds.
        constexpr int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
        int fd = ::open(native.constData(), O_RDWR | O_CREAT | flags, 0600);
        const int openError = errno;
        const bool writable = fd >= 0;
        // A folder that takes no writes may still hold the file; a lock needs no write.
        if (!writable && (openError == EACCES || openError == EROFS))
            fd = ::open(native.constData(), O_RDONLY | flags);
        if (fd < 0) {
            m_error = QString::fromLocal8Bit(std::strerror(openError));
            return;
        }
        struct stat opened {};
        const bool isFile = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode);
        if (!isFile || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            m_state = isFile && error == EWOULDBLOCK ? State::heldElsewhere : State::unavailable;
            m_error = isFile ? QString::fromLocal8Bit(std::strerror(error)) : QStringLiteral("it is not a file");
            return;
        }
        if (FileIdentity::isAt(fd, m_path)) {
            m_fd = fd;
            m_state = State::held;
            m_error.clear();
            const QByteArray text = "pid " + QByteArray::number(qint64(::getpid())) + "\nhost "
                + QSysInfo::machineHostName().toUtf8().toPercentEncoding("/") + "\nsocket "
                + QFile::encodeName(m_contact).toPercentEncoding("/") + "\n";
            // Read only while this process lives, from the kernel's cache: no flush to hold the start.
            if (writable
                && (::ftruncate(m_fd, 0) != 0
                    || ::pwrite(m_fd, text.constData(), size_t(text.size()), 0) != text.size()))
                qCWarning(lcApp, "Could not name this process in %s: %s", qPrintable(m_path), std::strerror(errno));
            return;
        }
        ::close(fd);
    }
    m_error = QStringLiteral("the file was replaced again and again while it was being locked");
}

StoreLock::Holder StoreLock::holder() const
{
    Holder holder;
    const BoundedFileRead read = readBoundedFile(m_path, BoundedFileLimits{kMaxNamingBytes, true});
    if (!read.ok())
        return holder;
    // Only whole lines: the holder may be writing them.
    const qsizetype end = read.bytes.lastIndexOf('\n');
    for (const QByteArray &line : read.bytes.left(end + 1).split('\n')) {
        const QByteArray value = QByteArray::fromPercentEncoding(line.mid(line.indexOf(' ') + 1));
        if (line.startsWith("pid "))
            holder.pid = std::max<qint64>(0, value.toLongLong());
        else if (line.startsWith("host "))
            holder.host = QString::fromUtf8(value);
        else if (line.startsWith("socket "))
            holder.contact = QFile::decodeName(value);
    }
    return holder;
}

SingleInstance::Claim StoreLock::handOver(const QStringList &argumentsForRunning, Holder *holder) const
{
    const QDeadlineTimer starting(kStartingMs);
    *holder = this->holder();
    while (holder->host.isEmpty() || holder->host == QSysInfo::machineHostName()) {
        if (!holder->contact.isEmpty())
            if (const auto claim = SingleInstance::handOver(holder->contact, argumentsForRunning);
                claim != SingleInstance::Claim::first)
                return claim;
        if ((holder->pid > 0 && holder->contact.isEmpty()) || starting.hasExpired())
            break;
        ::usleep(100 * 1000);
        *holder = this->holder();
    }
    return SingleInstance::Claim::first;
}

bool StoreLock::retake()
{
    if (m_state != State::held || FileIdentity::isAt(m_fd, m_path))
        return m_state == State::held;
    ::close(m_fd);
    m_fd = -1;
    take();
    if (m_state == State::heldElsewhere)
        m_error = QStringLiteral("another process took the new lock file");
    return m_state == State::held;
}

bool StoreLock::hold(QString *why)
{
    if (m_state == State::held)
        retake();
    else
        take();
    if (m_state == State::held) {
        if (m_watchWanted)
            watch(m_lost);
        return true;
    }
    if (why)
        *why = whyNotHeld();
    return false;
}

QString StoreLock::whyNotHeld() const
{
    return m_state == State::heldElsewhere ? QStringLiteral("%1 holds it").arg(holder().description()) : m_error;
}

void StoreLock::watch(std::function<void(const QString &why)> lost)
{
    m_watchWanted = true;
    m_lost = std::move(lost);
    if (m_state != State::held)
        return;
    // A file that went while the lock was lost is watched again once the lock is held on a new one.
    if (m_watcher) {
        if (!m_watcher->files().contains(m_path))
            m_watcher->addPath(m_path);
        return;
    }
    m_watcher = std::make_unique<QFileSystemWatcher>(QStringList{m_path});
    QObject::connect(m_watcher.get(), &QFileSystemWatcher::fileChanged, m_watcher.get(), [this] {
        if (m_state != State::held)
            return;
        if (retake()) {
            if (!m_watcher->files().contains(m_path))
                m_watcher->addPath(m_path);
            return;
        }
        const QString why = whyNotHeld();
        qCWarning(lcApp, "Could not lock %s again (%s); the store is not written until it is", qPrintable(m_path),
                  qPrintable(why));
        if (m_lost)
            m_lost(why);
    });
}

} // namespace quillmere
