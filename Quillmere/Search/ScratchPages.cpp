#include "Quillmere/Search/ScratchPages.h"

#include "Quillmere/Platform/Core/PrivateDirectory.h"
#include "Quillmere/Search/SearchLogging.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <new>
#include <sys/mman.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quillmere {

namespace {

// Blocks taken ahead are where later writes land only on file systems that write in place. One
// that copies on write (btrfs, zfs, f2fs) needs new room for a page written again after it went
// to disk, and answers a full disk then with a fault that ends the program; one held in memory
// (tmpfs, ramfs) would only move the pages out of sight.
bool keepsPagesInPlace(const QByteArray &path)
{
    struct statfs fs {};
    if (statfs(path.constData(), &fs) != 0)
        return false;
    return fs.f_type == EXT4_SUPER_MAGIC || fs.f_type == XFS_SUPER_MAGIC;
}

} // namespace

int ScratchFolder::makeFile(size_t bytes)
{
    const QByteArray path = QFile::encodeName(m_path);
    if (m_state == State::unchecked) {
        m_state = State::unusable;
        if (m_path.isEmpty())
            return -1;
        if (!makePrivatePath(m_path) || !keepsPagesInPlace(path)) {
            qCInfo(lcSemanticSearch,
                   "Known texts' vectors stay in memory: %s is not a folder on a disk that writes in place",
                   qPrintable(m_path));
            return -1;
        }
        m_state = State::onDisk;
    }
    if (m_state != State::onDisk)
        return -1;
    struct statvfs disk {};
    if (statvfs(path.constData(), &disk) != 0 || quint64(disk.f_bavail) * disk.f_frsize < bytes + m_keepFree)
        return -1; // this time only
    int fd = open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: a named one, gone from the folder at once.
        QByteArray name = path + "/vectors-XXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0 && unlink(name.constData()) != 0) {
            close(fd);
            fd = -1;
        }
    }
    // Blocks taken now, so that a page written later cannot find the disk full: a shared mapping
    // would answer that with a fault that ends the program.
    if (fd >= 0 && fallocate(fd, 0, 0, off_t(bytes)) != 0) {
        const int error = errno;
        close(fd);
        fd = -1;
        errno = error;
        if (error == ENOSPC)
            return -1; // this time only
    }
    if (fd < 0) {
        m_state = State::unusable;
        qCWarning(lcSemanticSearch, "Known texts' vectors stay in memory: no file can be kept in %s (%s)",
                  qPrintable(m_path), std::strerror(errno));
    }
    return fd;
}

ScratchPages::ScratchPages(ScratchFolder &folder, size_t bytes)
{
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    m_size = (std::max<size_t>(bytes, 1) + page - 1) / page * page;
    if (const int fd = folder.makeFile(m_size); fd >= 0) {
        void *data = mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (data != MAP_FAILED) {
            m_data = data;
            m_fileBacked = true;
        }
        close(fd); // the mapping keeps the file
    }
    if (!m_data) {
        void *data = mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data == MAP_FAILED)
            throw std::bad_alloc();
        m_data = data;
    }
}

ScratchPages::ScratchPages(ScratchPages &&other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)),
      m_fileBacked(std::exchange(other.m_fileBacked, false))
{
}

ScratchPages &ScratchPages::operator=(ScratchPages &&other) noexcept
{
    if (this != &other) {
        if (m_data)
            munmap(m_data, m_size);
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
        m_fileBacked = std::exchange(other.m_fileBacked, false);
    }
    return *this;
}

ScratchPages::~ScratchPages()
{
    if (m_data)
        munmap(m_data, m_size);
}

void ScratchPages::release()
{
    // A shared file mapping's pages, dirty or not, stay in the page cache and come back as they were.
    if (m_fileBacked)
        madvise(m_data, m_size, MADV_DONTNEED);
}

} // namespace quillmere
