// Known texts' packed vectors in scratch files: let go between searches, back unchanged, and kept
// in plain memory where no file on disk can hold them.
#include "FakeEmbedding.h"
#include "Quillmere/Search/SemanticScoring.h"
#include "Support/MachineNeeds.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtEndian>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <optional>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

using namespace quillmere;
using namespace quillmere::test;

namespace {

constexpr size_t dimension = 300;

// How many pages of a text's packed vectors are mapped into this process now.
size_t residentPages(const VectorScreen::Packed &packed)
{
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const quintptr first = quintptr(packed.bytes) / page;
    const quintptr last = (quintptr(packed.bytes) + packed.count() * (sizeof(float) + packed.dimension) - 1) / page;
    QFile pagemap(QStringLiteral("/proc/self/pagemap"));
    if (!pagemap.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !pagemap.seek(qint64(first * 8)))
        return size_t(-1);
    const QByteArray entries = pagemap.read(qint64((last - first + 1) * 8));
    size_t present = 0;
    for (qsizetype at = 0; at + 8 <= entries.size(); at += 8)
        present += quint64(qFromUnaligned<quint64>(entries.constData() + at)) >> 63;
    return present;
}

DocumentVectorCache::Key keyOf(quint32 i)
{
    DocumentVectorCache::Key key{};
    std::memcpy(key.data() + 3, &i, sizeof i);
    return key;
}

// Unit vectors along one axis each, for the whole text and each passage.
DocumentVectorCache::Entry entryOf(quint32 i)
{
    DocumentVectorCache::Entry entry;
    entry.vector.assign(dimension, 0.0f);
    entry.vector[i % dimension] = 1.0f + float(i % 5);
    entry.length = vectorLength(entry.vector);
    const size_t passages = i % 4;
    entry.passages.assign(passages * dimension, 0.0f);
    for (size_t p = 0; p < passages; ++p)
        entry.passages[p * dimension + (i + 7 * p + 1) % dimension] = 0.6f;
    return entry;
}

// Every bound of text `i` against a few queries.
std::vector<double> boundsOf(const VectorScreen &screen, quint32 i)
{
    const std::optional<VectorScreen::Packed> packed = screen.find(keyOf(i));
    if (!packed)
        return {};
    std::vector<double> out;
    for (size_t axis : {size_t(i), size_t(i + 1), size_t(i + 8)}) {
        std::vector<double> query(dimension, 0.0);
        query[axis % dimension] = 1.0;
        out.push_back(VectorScreen::bound(*packed, 0, query));
        for (size_t p = 0; p < VectorScreen::passageBounds(*packed); ++p)
            out.push_back(VectorScreen::passageBound(*packed, p, query));
    }
    return out;
}

qint64 fileSystemOf(const QString &path)
{
    struct statfs fs {};
    return statfs(QFile::encodeName(path).constData(), &fs) == 0 ? qint64(fs.f_type) : 0;
}

// The kinds a developer's folders are most often on, by name.
QString fileSystemName(qint64 type)
{
    switch (type) {
    case EXT4_SUPER_MAGIC:
        return QStringLiteral("ext4");
    case XFS_SUPER_MAGIC:
        return QStringLiteral("xfs");
    case TMPFS_MAGIC:
        return QStringLiteral("tmpfs");
    case BTRFS_SUPER_MAGIC:
        return QStringLiteral("btrfs");
    case OVERLAYFS_SUPER_MAGIC:
        return QStringLiteral("overlayfs");
    case NFS_SUPER_MAGIC:
        return QStringLiteral("nfs");
    case 0x2fc12fc1:
        return QStringLiteral("zfs");
    default:
        return QStringLiteral("file system 0x%1").arg(type, 0, 16);
    }
}

// Free room as the scratch folder reads it.
quint64 bytesFree(const QString &path)
{
    struct statvfs disk {};
    return statvfs(QFile::encodeName(path).constData(), &disk) == 0 ? quint64(disk.f_bavail) * disk.f_frsize : 0;
}

// A folder of the user's on a disk that writes in place (ext4, xfs), the only kind that gives
// scratch files: the build folder where it is on one, else the home folder or /var/tmp. Empty, with
// `missing`, where this machine has none (btrfs or zfs everywhere, say).
QString inPlaceFolder(MachineNeed *missing)
{
    QStringList seen;
    for (const QString &folder : {QDir::currentPath(), QDir::homePath(), QStringLiteral("/var/tmp")}) {
        const qint64 type = fileSystemOf(folder);
        if ((type == EXT4_SUPER_MAGIC || type == XFS_SUPER_MAGIC) && QFileInfo(folder).isWritable())
            return folder;
        seen << QStringLiteral("%1 (%2%3)")
                    .arg(folder, fileSystemName(type),
                         QFileInfo(folder).isWritable() ? QString() : QStringLiteral(", not writable"));
    }
    *missing = {QStringLiteral("scratch files are only made on ext4 or xfs, and no folder this user may write is "
                               "on either: ")
                    + seen.join(QStringLiteral(", ")),
                QStringLiteral("run the tests from a build folder on ext4 or xfs, or have the home folder or /var/tmp "
                               "on one")};
    return {};
}

} // namespace

// Blocks, records and table leave the process on release, and every text reads back with the
// bounds it had, also after more texts came in; no named file stays behind.
TEST(VectorScreen, ReleasedPagesLeaveTheProcessAndComeBackAsTheyWere)
{
    MachineNeed missing;
    const QString inPlace = inPlaceFolder(&missing);
    QUILLMERE_SKIP_WITHOUT(missing);
    QTemporaryDir dir(inPlace + QStringLiteral("/scratch-XXXXXX"));
    ASSERT_TRUE(dir.isValid());
    ScratchFolder folder(dir.path(), 0);
    EXPECT_TRUE(ScratchPages(folder, 1).isFileBacked());

    VectorScreen screen(100000, ScratchFolder(dir.path(), 0));
    screen.releasePages(); // nothing mapped yet
    constexpr quint32 texts = 6000, later = 500;
    for (quint32 i = 0; i < texts; ++i)
        screen.insert(keyOf(i), entryOf(i));
    ASSERT_GT(screen.reservedBytes(), 2 * VectorScreen::blockBytes);
    std::vector<std::vector<double>> before;
    for (quint32 i = 0; i < texts; ++i)
        before.push_back(boundsOf(screen, i));

    screen.releasePages();
    for (quint32 i = 1; i < texts; i += 97) {
        EXPECT_EQ(residentPages(screen.find(keyOf(i)).value()), 0u) << i;
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).isEmpty());

    for (quint32 i = texts; i < texts + later; ++i)
        screen.insert(keyOf(i), entryOf(i));
    for (quint32 i = 0; i < texts; ++i)
        ASSERT_EQ(boundsOf(screen, i), before[i]) << i;
    for (quint32 i = texts; i < texts + later; ++i)
        ASSERT_FALSE(boundsOf(screen, i).empty()) << i;
    EXPECT_EQ(screen.size(), size_t(texts + later));
}

// No folder, one held in memory, one that cannot be made, and one on a disk that would be left
// with less room than it must keep: plain memory, which a release leaves in place, since letting
// anonymous pages go would zero them.
TEST(VectorScreen, WithoutAFolderOnDiskThePagesStayAndKeepTheirBounds)
{
    QTemporaryDir inMemory(QStringLiteral("/dev/shm/scratch-XXXXXX"));
    ASSERT_TRUE(inMemory.isValid());
    ASSERT_EQ(fileSystemOf(inMemory.path()), TMPFS_MAGIC);
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    std::vector<std::pair<QString, quint64>> folders{
        {QString(), 0}, {inMemory.path(), 0}, {file.fileName() + QStringLiteral("/below"), 0}};
    // On a disk that would give files, were it not for the room it must keep; the other cases run
    // where the machine has no such disk.
    MachineNeed missing;
    const QString inPlace = inPlaceFolder(&missing);
    std::optional<QTemporaryDir> crowded;
    if (!inPlace.isEmpty()) {
        crowded.emplace(inPlace + QStringLiteral("/scratch-XXXXXX"));
        ASSERT_TRUE(crowded->isValid());
        // A gigabyte more than is free, so that other programs' files coming and going change nothing.
        const quint64 moreThanFree = bytesFree(crowded->path()) + (quint64(1) << 30);
        ASSERT_GT(moreThanFree, quint64(1) << 30) << "statvfs failed on " << qPrintable(crowded->path());
        folders.emplace_back(crowded->path(), moreThanFree);
    }
    for (const auto &[path, keepFree] : folders) {
        ScratchFolder folder(path, keepFree);
        EXPECT_EQ(folder.makeFile(1), -1) << qPrintable(path);
        EXPECT_FALSE(ScratchPages(folder, 1).isFileBacked()) << qPrintable(path);

        VectorScreen screen(1000, ScratchFolder(path, keepFree));
        std::vector<std::vector<double>> before;
        for (quint32 i = 0; i < 40; ++i) {
            screen.insert(keyOf(i), entryOf(i));
            before.push_back(boundsOf(screen, i));
        }
        screen.releasePages();
        EXPECT_GT(residentPages(screen.find(keyOf(5)).value()), 0u) << qPrintable(path);
        for (quint32 i = 0; i < 40; ++i)
            ASSERT_EQ(boundsOf(screen, i), before[i]) << qPrintable(path) << ' ' << i;
    }
    EXPECT_TRUE(QDir(inMemory.path()).isEmpty());
    if (crowded) {
        EXPECT_TRUE(QDir(crowded->path()).isEmpty());
    }
    QUILLMERE_SKIP_WITHOUT(missing);
}

// After a release, and after the fully weighed texts went too, a search answers as before.
TEST(SemanticScoring, ScoresStayTheSameAfterItsMemoryIsReleased)
{
    QTemporaryDir dir(QDir::current().filePath(QStringLiteral("scratch-XXXXXX")));
    auto *e = new FakeEmbedding;
    e->words = {
        {QStringLiteral("apple"), {1, 0}}, {QStringLiteral("pear"), {2, 0.5}}, {QStringLiteral("stone"), {0, 1}}};
    SemanticScoring scoring([e] { return std::unique_ptr<EmbeddingProvider>(e); },
                            SemanticScoring::defaultCacheCapacity, ScratchFolder(dir.path()));
    std::vector<SemanticDocument> docs;
    for (const char *text : {"pear", "stone", "apple stone", "pear apple"})
        docs.push_back({{QStringLiteral("ClipItem"), qint64(docs.size() + 1)}, QString::fromLatin1(text)});
    const auto first = scoring.scores(QStringLiteral("apple"), docs, 0.6).value();
    ASSERT_EQ(first.size(), 3u);
    scoring.releaseWeighed();
    EXPECT_EQ(scoring.cache().size(), 0u);
    EXPECT_EQ(scoring.scores(QStringLiteral("apple"), docs, 0.6).value(), first);
    EXPECT_EQ(scoring.weighedInFull(), 3u) << "every text stays known: the one below the threshold is ruled out";
}
