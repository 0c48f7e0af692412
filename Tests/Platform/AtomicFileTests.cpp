#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"
#include "Quillmere/Platform/SoundPlayer.h"

#include "Support/SmallDisk.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

unsigned modeOf(const QString &path)
{
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

} // namespace

TEST(AtomicFile, AFullDiskKeepsTheOldFileAndSaysWhy)
{
    test::SmallDisk disk;
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    const QString path = disk.filePath(u"prefs.json"_s);
    ASSERT_TRUE(writeFileAtomically(path, "old", nullptr));
    ASSERT_TRUE(disk.fill());

    // Small writes too: a buffered writer only finds out at the flush, and may not say so.
    for (const qsizetype size : {qsizetype(1), qsizetype(100), qsizetype(16 * 1024), qsizetype(64 * 1024)}) {
        QString error;
        EXPECT_FALSE(writeFileAtomically(path, QByteArray(size, 'n'), &error)) << size;
        EXPECT_TRUE(error.contains(u"No space left"_s)) << qPrintable(error);
        EXPECT_EQ(contents(path), "old");
    }
    AtomicFile streamed(path);
    EXPECT_FALSE(streamed.write("a") && streamed.write(QByteArray(8192, 'b')));
    EXPECT_FALSE(streamed.commit());
    EXPECT_FALSE(streamed.errorString().isEmpty());
    EXPECT_EQ(QDir(disk.path()).entryList(QDir::Files | QDir::Hidden), QStringList({u"filler"_s, u"prefs.json"_s}))
        << "no half-written file is left behind";

    disk.release();
    EXPECT_TRUE(writeFileAtomically(path, "new", nullptr));
    EXPECT_EQ(contents(path), "new");
}

TEST(AtomicFile, FoldersAndFilesAreTheUsersOnlyWhateverTheUmask)
{
    QTemporaryDir dir;
    const mode_t previous = ::umask(0);
    const QString folder = dir.filePath(u"a/b"_s);
    EXPECT_TRUE(makePrivatePath(folder));
    const QString file = folder + u"/file"_s;
    EXPECT_TRUE(writeFileAtomically(file, "x", nullptr));
    // One that others could write before is closed to them when it is written again.
    const QString open = dir.filePath(u"open"_s);
    QFile(open).open(QIODevice::WriteOnly);
    ::chmod(QFile::encodeName(open).constData(), 0666);
    EXPECT_TRUE(writeFileAtomically(open, "y", nullptr));
    CanberraSoundPlayer player(dir.filePath(u"cache/sounds"_s));
    const QString sound = player.soundFile(u"Pop"_s);
    ::umask(previous);

    EXPECT_EQ(modeOf(dir.filePath(u"a"_s)), 0700u);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(open), 0600u);
    EXPECT_EQ(modeOf(dir.filePath(u"cache/sounds"_s)), 0700u);
    ASSERT_FALSE(sound.isEmpty());
    EXPECT_EQ(modeOf(sound), 0600u);
    EXPECT_FALSE(makePrivatePath(file)) << "a file is not a folder";
}

TEST(AtomicFile, ADocumentFollowsTheUmaskWhileTheProgramsOwnDataStaysPrivate)
{
    QTemporaryDir dir;
    const QString shared = dir.filePath(u"shared.png"_s);
    const QString own = dir.filePath(u"own.json"_s);
    const QString streamed = dir.filePath(u"streamed.mp4"_s);
    {
        test::ScopedUmask mask(022);
        ASSERT_TRUE(writeFileAtomically(shared, "pixels", nullptr, FileAccess::document));
        ASSERT_TRUE(writeFileAtomically(own, "{}", nullptr));
        AtomicFile out(streamed, FileAccess::document);
        ASSERT_TRUE(out.write("frames") && out.commit()) << qPrintable(out.errorString());
    }
    EXPECT_EQ(modeOf(shared), 0644u);
    EXPECT_EQ(modeOf(streamed), 0644u);
    EXPECT_EQ(modeOf(own), 0600u);
    EXPECT_EQ(contents(shared), "pixels");

    // A tighter umask is kept too, and a document written again takes the umask of now.
    {
        test::ScopedUmask mask(077);
        ASSERT_TRUE(writeFileAtomically(shared, "again", nullptr, FileAccess::document));
    }
    EXPECT_EQ(modeOf(shared), 0600u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3) << "no temporary file is left";

    // Where nothing can be made, nothing is removed either and the reason is given.
    QString error;
    EXPECT_FALSE(writeFileAtomically(dir.filePath(u"missing/x.png"_s), "x", &error, FileAccess::document));
    EXPECT_TRUE(error.contains(u"No such file"_s)) << qPrintable(error);
}

TEST(AtomicFile, ARenameNeverReplacesWhatHoldsTheNameAndTheFileKeepsItsIdentity)
{
    QTemporaryDir dir;
    const QString from = dir.filePath(u"copy"_s), to = dir.filePath(u"store"_s);
    ASSERT_TRUE(writeFileAtomically(from, "mine", nullptr));
    ASSERT_TRUE(writeFileAtomically(to, "theirs", nullptr));
    const std::optional<FileIdentity> mine = FileIdentity::of(from);
    ASSERT_TRUE(mine);
    EXPECT_FALSE(renameNoReplace(from, to));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(contents(to), "theirs");

    ASSERT_TRUE(QFile::remove(to));
    EXPECT_TRUE(renameNoReplace(from, to));
    EXPECT_EQ(FileIdentity::of(to), mine);
    EXPECT_FALSE(FileIdentity::of(from));
    QString error;
    EXPECT_TRUE(syncFile(to, &error)) << qPrintable(error);
    EXPECT_FALSE(syncFile(from, &error));
    EXPECT_TRUE(error.contains(from)) << qPrintable(error);
}
