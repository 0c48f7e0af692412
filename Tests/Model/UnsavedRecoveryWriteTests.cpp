#include "Quillmere/Model/UnsavedRecovery.h"

#include "Quillmere/Platform/Core/UnixSignals.h"
#include "Support/ChildProcess.h"
#include "Support/SmallDisk.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <map>

using namespace quillmere;

namespace {

// Points the folders a spill may go to where a test wants them, and back afterwards.
class Folders {
public:
    ~Folders()
    {
        for (const auto &[name, value] : m_saved)
            qputenv(name.constData(), value);
    }
    void set(const char *name, const QString &path)
    {
        m_saved.try_emplace(name, qgetenv(name));
        qputenv(name, QFile::encodeName(path));
    }
    // Folders under a regular file: nobody, root included, can make them.
    void blockAll(const QString &file)
    {
        for (const char *name : {"XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"})
            set(name, file + "/" + name);
    }

private:
    std::map<QByteArray, QByteArray> m_saved;
};

QString makeFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) ? path : QString();
}

QByteArray contentsOf(const QStringList &paths)
{
    QByteArray all;
    for (const QString &path : paths) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

ClipRef textClip(const QString &text)
{
    auto clip = std::make_shared<ClipItem>();
    clip->setKind(ClipKind::text);
    clip->setText(text);
    clip->setCreatedAt(QDateTime::currentDateTimeUtc());
    return clip;
}

} // namespace

TEST(UnsavedRecovery, ASpillThatMeetsAFullDiskIsReportedAndLeavesNoEmptyFile)
{
    test::SmallDisk disk;
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    // In a folder of its own, so that the folder above is full too; every other place is blocked.
    ASSERT_TRUE(QDir().mkdir(disk.filePath("Quillmere")));
    const QString store = disk.filePath("Quillmere/default.store");
    QTemporaryDir elsewhere;
    Folders folders;
    folders.blockAll(makeFile(elsewhere.filePath("file")));
    ASSERT_TRUE(disk.fill());
    QString error;
    EXPECT_EQ(UnsavedRecovery::write(store, {}, QDateTime::currentDateTimeUtc(), &error), QStringList());
    EXPECT_TRUE(error.contains("No space left")) << qPrintable(error);
    EXPECT_TRUE(UnsavedRecovery::all(store).isEmpty());
    EXPECT_FALSE(UnsavedRecovery::place(store));
}

TEST(UnsavedRecovery, TwoSpillsInTheSameSecondAreBothKept)
{
    QTemporaryDir dir;
    const QString store = dir.filePath("default.store");
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto page = std::make_shared<Pinboard>();
    page->setName("first");
    const QStringList first = UnsavedRecovery::write(store, {page}, now, nullptr);
    const QStringList second = UnsavedRecovery::write(store, {}, now.addMSecs(1), nullptr);
    ASSERT_EQ(first.size(), 1);
    ASSERT_EQ(second.size(), 1);
    EXPECT_EQ(UnsavedRecovery::all(store), first + second);
    const auto read = UnsavedRecovery::read(first.front(), nullptr);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->pages.size(), 1u);
    EXPECT_EQ(read->pages.front().name, "first");
}

TEST(UnsavedRecovery, ClipsOnATimerNeverReachTheDisk)
{
    QTemporaryDir dir;
    const QString store = dir.filePath("default.store");
    ClipRef code = textClip("one-time code 482913");
    code->setExpiresAt(QDateTime::currentDateTimeUtc().addSecs(300));
    ClipRef note = textClip("an ordinary note");
    const QStringList written = UnsavedRecovery::write(store, {code, note}, QDateTime::currentDateTimeUtc(), nullptr);
    const QByteArray bytes = contentsOf(written);
    EXPECT_TRUE(bytes.contains("an ordinary note"));
    EXPECT_FALSE(bytes.contains("482913"));
}

TEST(UnsavedRecovery, MoreClipsThanARestoreTakesAreSplitIntoFilesThatAllComeBack)
{
    QTemporaryDir dir;
    const QString store = dir.filePath("default.store");
    std::vector<std::shared_ptr<PersistentModel>> records;
    auto page = std::make_shared<Pinboard>();
    page->setName("Work");
    records.push_back(page);
    const qsizetype count = UnsavedRecovery::maxClips + 5;
    for (qsizetype i = 0; i < count; ++i)
        records.push_back(textClip(QString::number(i)));
    QString error;
    const QStringList written = UnsavedRecovery::write(store, records, QDateTime::currentDateTimeUtc(), &error);
    ASSERT_EQ(written.size(), 2) << qPrintable(error);
    EXPECT_EQ(UnsavedRecovery::all(store), written);
    size_t clips = 0;
    for (const QString &path : written) {
        const auto read = UnsavedRecovery::read(path, &error);
        ASSERT_TRUE(read) << qPrintable(error);
        clips += read->clips.size();
        EXPECT_EQ(read->pages.size(), path == written.front() ? 1u : 0u);
    }
    EXPECT_EQ(clips, size_t(count));
}

TEST(UnsavedRecovery, LargeCopiesAreSplitIntoFilesAQuitCutShortKeepsWholeTheNewestFirst)
{
    QTemporaryDir dir;
    const QString store = dir.filePath("default.store");
    const qsizetype imageBytes = UnsavedRecovery::writtenFileBytes / 3;
    std::vector<std::shared_ptr<PersistentModel>> records;
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-10);
    for (char fill : {'b', 'd', 'a', 'c'}) {
        auto image = std::make_shared<ClipItem>();
        image->setKind(ClipKind::image);
        image->setImageData(QByteArray(imageBytes, fill));
        image->setCreatedAt(start.addDays(fill - 'a'));
        records.push_back(image);
    }
    QString error;
    const QStringList written = UnsavedRecovery::write(store, records, QDateTime::currentDateTimeUtc(), &error);
    ASSERT_GE(written.size(), 2) << qPrintable(error);
    QByteArray fills;
    for (const QString &path : written) {
        EXPECT_LE(QFileInfo(path).size(), UnsavedRecovery::writtenFileBytes) << qPrintable(path);
        const auto read = UnsavedRecovery::read(path, &error);
        ASSERT_TRUE(read) << qPrintable(error);
        for (const auto &clip : read->clips) {
            ASSERT_TRUE(clip.content.imageData);
            ASSERT_EQ(clip.content.imageData->size(), imageBytes);
            fills += clip.content.imageData->front();
        }
    }
    // A quit cut short between files loses the oldest.
    EXPECT_EQ(fills, "dcba");
}

TEST(UnsavedRecovery, ASpillTheStoresFolderCannotTakeGoesToTheStateFolderWhereTheNextStartFindsIt)
{
    QTemporaryDir dir;
    // Neither the store's folder nor the one above can be made: a file stands in their way.
    const QString store = makeFile(dir.filePath("data")) + "/Quillmere/default.store";
    Folders folders;
    folders.set("XDG_STATE_HOME", dir.filePath("state"));
    const QString state = dir.filePath("state/Quillmere");
    const auto place = UnsavedRecovery::place(store);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->folder, state);

    QString error;
    const QStringList written =
        UnsavedRecovery::write(store, {textClip("kept elsewhere")}, QDateTime::currentDateTimeUtc(), &error);
    ASSERT_EQ(written.size(), 1) << qPrintable(error);
    EXPECT_EQ(QFileInfo(written.front()).absolutePath(), state);
    EXPECT_EQ(QFile(state).permissions() & (QFile::ReadOther | QFile::ExeOther), QFile::Permissions());
    EXPECT_EQ(UnsavedRecovery::all(store), written);
    // Another store's files in the same folder are not its.
    EXPECT_TRUE(UnsavedRecovery::all(dir.filePath("other/Quillmere/default.store")).isEmpty());
}

TEST(UnsavedRecovery, OnADiskThatStaysFullTheSpillGoesToAFolderOnAnotherDisk)
{
    test::SmallDisk disk;
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    ASSERT_TRUE(QDir().mkdir(disk.filePath("Quillmere")));
    const QString store = disk.filePath("Quillmere/default.store");
    QTemporaryDir other;
    Folders folders;
    folders.set("XDG_STATE_HOME", disk.filePath("state"));
    folders.set("XDG_CACHE_HOME", disk.filePath("cache"));
    folders.set("XDG_RUNTIME_DIR", other.path());
    // The temporary folder would come before the runtime folder, which a logout empties.
    folders.set("TMPDIR", makeFile(other.filePath("file")) + "/tmp");
    ASSERT_TRUE(disk.fill());

    const auto place = UnsavedRecovery::place(store);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->folder, other.filePath("Quillmere"));
    EXPECT_EQ(place->lasting, UnsavedRecovery::Place::Lasting::untilLogout);
    const QByteArray picture(512 * 1024, 'p');
    auto image = std::make_shared<ClipItem>();
    image->setKind(ClipKind::image);
    image->setImageData(picture);
    QString error;
    const QStringList written = UnsavedRecovery::write(store, {image}, QDateTime::currentDateTimeUtc(), &error);
    ASSERT_EQ(written.size(), 1) << qPrintable(error);
    EXPECT_EQ(QFileInfo(written.front()).absolutePath(), other.filePath("Quillmere"));
    const auto read = UnsavedRecovery::read(written.front(), &error);
    ASSERT_TRUE(read) << qPrintable(error);
    ASSERT_EQ(read->clips.size(), 1u);
    EXPECT_EQ(read->clips.front().content.imageData, picture);
}

TEST(UnsavedRecoveryAtQuit, ASpillFarLongerThanTheEndAfterASignalIsWaitedForWhileItAdvances)
{
    QTemporaryDir dir;
    const QString store = dir.filePath("default.store");
    constexpr int copies = 64;
    const int status = test::exitStatusOfChild([&] {
        std::vector<std::shared_ptr<PersistentModel>> records;
        for (int i = 0; i < copies; ++i) {
            auto image = std::make_shared<ClipItem>();
            image->setKind(ClipKind::image);
            image->setImageData(QByteArray(1024 * 1024, char('a' + i % 26)));
            records.push_back(image);
        }
        UnixSignals watcher;
        // Far shorter than the spill takes: without waiting, it would be cut off.
        UnixSignals::endWithin(std::chrono::milliseconds(10));
        std::raise(SIGTERM);
        const QStringList written = UnsavedRecovery::write(store, records, QDateTime::currentDateTimeUtc(), nullptr);
        ::_exit(written.isEmpty() ? 6 : 5);
    });
    ASSERT_EQ(status, 5) << "ended by the alarm (1) before the spill was written";
    int clips = 0;
    for (const QString &path : UnsavedRecovery::all(store)) {
        const auto read = UnsavedRecovery::read(path, nullptr);
        ASSERT_TRUE(read);
        clips += int(read->clips.size());
    }
    EXPECT_EQ(clips, copies);
}

TEST(UnsavedRecovery, ALastingFolderOnTheStoresDiskComesBeforeTheRuntimeFolderOnAnother)
{
    test::SmallDisk runtime(4 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(runtime.missing());
    QTemporaryDir dir;
    // The store's folder cannot be made: a file stands in its way.
    const QString store = makeFile(dir.filePath("data")) + "/Quillmere/default.store";
    Folders folders;
    folders.set("XDG_STATE_HOME", dir.filePath("state"));
    folders.set("XDG_CACHE_HOME", dir.filePath("cache"));
    folders.set("XDG_RUNTIME_DIR", runtime.path());
    folders.set("TMPDIR", makeFile(dir.filePath("no-temporary")) + "/tmp");
    const auto place = UnsavedRecovery::place(store);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->folder, dir.filePath("state/Quillmere"));
    EXPECT_NE(place->lasting, UnsavedRecovery::Place::Lasting::untilLogout);
    QString error;
    const QStringList written =
        UnsavedRecovery::write(store, {textClip("outlasts a logout")}, QDateTime::currentDateTimeUtc(), &error);
    ASSERT_EQ(written.size(), 1) << qPrintable(error);
    EXPECT_EQ(QFileInfo(written.front()).absolutePath(), dir.filePath("state/Quillmere"));

    // Only when no lasting folder can be written does the runtime folder take it, and says so.
    folders.set("XDG_STATE_HOME", makeFile(dir.filePath("no-state")) + "/state");
    folders.set("XDG_CACHE_HOME", makeFile(dir.filePath("no-cache")) + "/cache");
    const auto fallback = UnsavedRecovery::place(store);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->folder, runtime.filePath("Quillmere"));
    EXPECT_EQ(fallback->lasting, UnsavedRecovery::Place::Lasting::untilLogout);
}
