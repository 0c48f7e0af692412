#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

unsigned modeOf(const QString &path)
{
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

} // namespace

TEST(PrivateDirectory, IsMadeOursAloneAndAnythingPlantedIsRefused)
{
    QTemporaryDir shared;
    const QString fresh = shared.filePath(u"fresh"_s);
    ASSERT_TRUE(preparePrivateDirectory(fresh));
    EXPECT_EQ(modeOf(fresh), 0700u);
    EXPECT_TRUE(preparePrivateDirectory(fresh)) << "ours from before";

    const QString open = shared.filePath(u"open"_s);
    ASSERT_TRUE(QDir().mkdir(open));
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0755), 0);
    EXPECT_FALSE(preparePrivateDirectory(open));
    EXPECT_EQ(modeOf(open), 0755u) << "refused, not repaired";
    EXPECT_TRUE(preparePrivateDirectory(open, true, true)) << "in our own space it is tightened";
    EXPECT_EQ(modeOf(open), 0700u);

    QTemporaryDir elsewhere;
    const QString link = shared.filePath(u"link"_s);
    ASSERT_TRUE(QFile::link(elsewhere.path(), link));
    ASSERT_EQ(::chmod(QFile::encodeName(elsewhere.path()).constData(), 0700), 0);
    EXPECT_FALSE(preparePrivateDirectory(link));

    const QString file = shared.filePath(u"file"_s);
    ASSERT_TRUE(QFile(file).open(QIODevice::WriteOnly));
    EXPECT_FALSE(preparePrivateDirectory(file));

    // Someone else's folder; only a test running as root can make one.
    const QString foreign = shared.filePath(u"foreign"_s);
    ASSERT_TRUE(preparePrivateDirectory(foreign));
    if (::chown(QFile::encodeName(foreign).constData(), 65534, 65534) == 0) {
        EXPECT_FALSE(preparePrivateDirectory(foreign));
    }

    EXPECT_FALSE(preparePrivateDirectory(shared.filePath(u"missing/parent"_s)));
}

TEST(PrivateDirectory, ANameTakenInTheSharedFolderMovesToTheSessionsRuntimeFolder)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    ASSERT_FALSE(runtime.isEmpty()) << "the test's main() gives every run a runtime folder of its own";
    QTemporaryDir shared;
    EXPECT_EQ(preparePrivateTemporaryFolder(u"Free"_s, shared.path()), shared.filePath(u"Free"_s));

    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), shared.filePath(u"Planted"_s)));
    ASSERT_TRUE(QFile(shared.filePath(u"AFile"_s)).open(QIODevice::WriteOnly));
    for (const QString &name : {u"Planted"_s, u"AFile"_s}) {
        const QString moved = preparePrivateTemporaryFolder(name, shared.path());
        EXPECT_EQ(moved, QDir(QString::fromLocal8Bit(runtime)).filePath(name));
        EXPECT_EQ(modeOf(moved), 0700u);
    }

    for (const QByteArray &unusable : {QByteArray(), QByteArray("relative/run")}) {
        qputenv("XDG_RUNTIME_DIR", unusable);
        EXPECT_EQ(preparePrivateTemporaryFolder(u"Planted"_s, shared.path()), QString()) << unusable.constData();
    }
    qputenv("XDG_RUNTIME_DIR", runtime);
    EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
}

TEST(PrivateDirectory, OneOursAloneButClosedToItsOwnerIsRefusedForWhatItIs)
{
    QTemporaryDir shared;
    const QString runtime = shared.filePath(u"runtime"_s);
    ASSERT_TRUE(QDir().mkdir(runtime));
    ASSERT_EQ(::chmod(QFile::encodeName(runtime).constData(), 0500), 0);
    QString why;
    EXPECT_FALSE(preparePrivateDirectory(runtime, false, false, &why));
    EXPECT_TRUE(why.contains(u"owner may not write"_s)) << qPrintable(why);
    EXPECT_EQ(modeOf(runtime), 0500u);
    ASSERT_EQ(::chmod(QFile::encodeName(runtime).constData(), 0750), 0);
    EXPECT_FALSE(preparePrivateDirectory(runtime, false, false, &why));
    EXPECT_TRUE(why.contains(u"others may enter"_s)) << qPrintable(why);
}
