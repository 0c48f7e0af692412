// The small disks the full-disk tests fill: made without privileges, seen by this process alone,
// and leaving permission bits in force for every other test.
#include "Support/SmallDisk.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <thread>

using namespace quillmere;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The effective capabilities of the calling thread, as the kernel reports them.
QByteArray effectiveCapabilities()
{
    for (const QByteArray &line : readAll(QStringLiteral("/proc/thread-self/status")).split('\n'))
        if (line.startsWith("CapEff:"))
            return line.mid(7).trimmed();
    return "unknown";
}

bool append(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(bytes) == bytes.size() && file.flush();
}

} // namespace

TEST(SmallDisk, IsTheUsersOwnTmpfsOfTheSizeAskedThatFillsAndEmpties)
{
    test::SmallDisk disk(128 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    struct statfs fs {};
    ASSERT_EQ(::statfs(QFile::encodeName(disk.path()).constData(), &fs), 0);
    EXPECT_EQ(fs.f_type, TMPFS_MAGIC);
    EXPECT_EQ(quint64(fs.f_blocks) * fs.f_bsize, 128u * 1024);

    const QString note = disk.filePath(QStringLiteral("note"));
    ASSERT_TRUE(append(note, "kept"));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(note).constData(), &info), 0);
    EXPECT_EQ(info.st_uid, ::getuid());
    EXPECT_EQ(info.st_gid, ::getgid());

    ASSERT_TRUE(disk.fill());
    EXPECT_FALSE(append(note, QByteArray(8192, 'x')));
    disk.release();
    EXPECT_TRUE(append(note, QByteArray(8192, 'x')));
}

TEST(SmallDisk, IsMountedInThisProcesssOwnNamespaceOnly)
{
    test::SmallDisk disk;
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    const QString parent = QStringLiteral("/proc/%1/").arg(::getppid());
    const QString mine = QFile::symLinkTarget(QStringLiteral("/proc/self/ns/mnt"));
    ASSERT_FALSE(mine.isEmpty());
    EXPECT_NE(mine, QFile::symLinkTarget(parent + QStringLiteral("ns/mnt")));
    const QByteArray where = ' ' + QFile::encodeName(disk.path()) + ' ';
    EXPECT_TRUE(readAll(QStringLiteral("/proc/self/mountinfo")).contains(where));
    const QByteArray parentsMounts = readAll(parent + QStringLiteral("mountinfo"));
    ASSERT_FALSE(parentsMounts.isEmpty());
    EXPECT_FALSE(parentsMounts.contains(where)) << "a crash would leave it mounted";
}

TEST(SmallDisk, LeavesNoCapabilityInEffectOnAnyThread)
{
    const QByteArray before = effectiveCapabilities();
    {
        test::SmallDisk disk;
        QUILLMERE_SKIP_WITHOUT(disk.missing());
        EXPECT_EQ(effectiveCapabilities(), before);
    }
    EXPECT_EQ(effectiveCapabilities(), before);
    QByteArray onAnotherThread;
    std::thread([&] { onAnotherThread = effectiveCapabilities(); }).join();
    EXPECT_EQ(onAnotherThread, before);
    if (::geteuid() == 0)
        return; // root's own powers are root's
    EXPECT_EQ(before, "0000000000000000");
    // A file its owner closed to themselves stays closed.
    QTemporaryDir dir;
    const QString closed = dir.filePath(QStringLiteral("closed"));
    ASSERT_TRUE(append(closed, "secret"));
    ASSERT_EQ(::chmod(QFile::encodeName(closed).constData(), 0), 0);
    EXPECT_FALSE(QFile(closed).open(QIODevice::ReadOnly));
}
