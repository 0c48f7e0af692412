#include "Model/FallbackSessions.h"
#include "Support/ChildProcess.h"
#include "Support/SmallDisk.h"

#include "Quillmere/Model/StoreFileGuard.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

using namespace quillmere;
using test::Folders;
using test::Restart;
using test::stored;
using test::unmakeable;

namespace {

// A session on a store whose path cannot be used (a file in the way of its folder, or what is at
// `storePath`), going on in a fallback store on `disk`, as nothing else takes one.
struct BlockedSession {
    BlockedSession(const test::SmallDisk &disk, const QTemporaryDir &dir, const QString &storePath = {})
    {
        folders.set("XDG_STATE_HOME", disk.filePath("state"));
        for (const char *other : {"XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"})
            folders.set(other, unmakeable(dir.filePath(other), "none"));
        path = storePath.isEmpty() ? unmakeable(dir.filePath("data"), "Quillmere/default.store") : storePath;
        session = std::make_unique<Restart>(path);
    }
    Folders folders;
    QString path;
    std::unique_ptr<Restart> session;
};

} // namespace

TEST(FallbackStore, AFallbackStoreDeletedOnAFullDiskGoesOnInAnotherAndMovesInWithTheRest)
{
    test::SmallDisk disk(2 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    QTemporaryDir dir;
    // A folder where the store should be: the history goes on in a fallback store on the small disk.
    const QString path = dir.filePath("Quillmere/default.store");
    ASSERT_TRUE(QDir().mkpath(path));
    BlockedSession blocked(disk, dir, path);
    Restart &session = *blocked.session;
    ASSERT_TRUE(session.caretaker.hasLeftStore());
    const QString first = session.store.container().storeURL();
    ASSERT_TRUE(first.startsWith(disk.path())) << qPrintable(first);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(session.store.insertClip(test::StoreFixture::textContent(QString("copy %1").arg(i))));
    // Deleted with no room left for its copy there: the guard makes it in another folder.
    blocked.folders.set("XDG_CACHE_HOME", dir.filePath("cache"));
    QSignalSpy copied(&session.store.fileGuard(), &StoreFileGuard::copiedToFallback);
    ASSERT_TRUE(disk.fill());
    ASSERT_TRUE(QFile::remove(first));
    ASSERT_TRUE(copied.count() > 0 || copied.wait(10000));
    const QString second = copied.front().front().toString();
    // Named as the store's own, so that a later start finds it too.
    EXPECT_TRUE(FallbackStore::all(path).contains(second)) << qPrintable(second);
    EXPECT_EQ(session.caretaker.leftStorePath(), path);
    // The store can be used again: every copy moves into it, from whatever file it went on in.
    disk.release();
    ASSERT_TRUE(QDir(path).removeRecursively());
    ASSERT_TRUE(test::waitUntil([&] { return !session.caretaker.hasLeftStore() && !QFile::exists(second); }, 20000));
    EXPECT_EQ(session.store.container().storeURL(), path);
    EXPECT_EQ(stored(session.store.context(), "SELECT COUNT(*) FROM clips WHERE text LIKE 'copy %'"), 5);
}

TEST(FallbackStore, CopiesAFullFallbackStoreCouldNotSaveGoIntoTheStoreWhenItComesBack)
{
    test::SmallDisk disk(2 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    QTemporaryDir dir;
    BlockedSession blocked(disk, dir);
    const QString &path = blocked.path;
    Restart &session = *blocked.session;
    ASSERT_TRUE(session.caretaker.hasLeftStore());
    ASSERT_TRUE(session.store.insertClip(test::StoreFixture::textContent("saved 0")));
    ASSERT_TRUE(disk.fill());
    for (int i = 0; i < 3; ++i)
        session.store.insertClip(test::StoreFixture::textContent(QString("unsaved %1").arg(i)));
    ASSERT_TRUE(session.store.context().hasChanges());
    ASSERT_TRUE(QFile::remove(dir.filePath("data")));
    ASSERT_TRUE(test::waitUntil(
        [&] { return !session.caretaker.hasLeftStore() && !session.store.context().hasChanges(); }, 20000));
    EXPECT_EQ(stored(session.store.context(), "SELECT COUNT(*) FROM clips WHERE text LIKE 'unsaved %'"), 3);
    // What the fallback store did save moves in by slices.
    disk.release();
    ASSERT_TRUE(session.movedIn(path));
    EXPECT_EQ(stored(session.store.context(), "SELECT COUNT(*) FROM clips WHERE text LIKE 'saved %'"), 1);
}

TEST(FallbackStore, AFallbackStoreWhoseFileWentIsNotLeftBeforeItsCopyIsSomewhere)
{
    test::SmallDisk disk(2 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    QTemporaryDir dir;
    BlockedSession blocked(disk, dir);
    const QString &path = blocked.path;
    Restart &session = *blocked.session;
    const QString first = session.store.container().storeURL();
    ASSERT_TRUE(first.startsWith(disk.path())) << qPrintable(first);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(session.store.insertClip(test::StoreFixture::textContent(QString("copy %1").arg(i))));
    // Deleted with no room for a copy anywhere: the open connection holds the history alone.
    ASSERT_TRUE(disk.fill());
    ASSERT_TRUE(QFile::remove(first));
    session.store.fileGuard().checkNow();
    ASSERT_FALSE(session.store.fileGuard().holdsFileAtPath());
    // The store can be used again, but the history goes there only from a file that holds it.
    ASSERT_TRUE(QFile::remove(dir.filePath("data")));
    // Tried every 10 to 40 ms, and refused each time.
    ASSERT_FALSE(test::waitUntil([&] { return !session.caretaker.hasLeftStore(); }, 500));
    disk.release();
    ASSERT_TRUE(test::waitUntil([&] { return !session.caretaker.hasLeftStore(); }, 20000));
    EXPECT_EQ(session.store.container().storeURL(), path);
    EXPECT_TRUE(test::waitUntil(
        [&] { return stored(session.store.context(), "SELECT COUNT(*) FROM clips WHERE text LIKE 'copy %'") == 5; }));
}

namespace {

// A second program on the same history, in a process of its own, that cannot take the store's lock
// (see fallback_session_probe).
struct OtherProgram {
    explicit OtherProgram(const QString &storePath)
    {
        process.start(QStringLiteral(QUILLMERE_FALLBACK_SESSION_PROBE), {storePath});
        if (process.waitForReadyRead(10000))
            if (const QByteArray line = process.readLine().trimmed(); line.startsWith("fallback "))
                fallback = QString::fromLocal8Bit(line.mid(9));
    }
    ~OtherProgram() { quit(); }
    bool copy(const QString &text)
    {
        process.write(text.toUtf8() + '\n');
        return process.waitForReadyRead(10000)
            && process.readLine().trimmed() == "saved " + QByteArray::number(++saved);
    }
    bool quit()
    {
        process.closeWriteChannel();
        return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }
    QProcess process;
    QString fallback;
    int saved = 0;
};

// The folders a fallback store may go to, all under `dir`, and the store's path there.
QString historyUnder(const QTemporaryDir &dir, Folders &folders)
{
    for (const char *name : {"XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"})
        folders.set(name, dir.filePath(QString::fromLatin1(name).toLower()));
    EXPECT_TRUE(QDir().mkpath(dir.filePath("data/Quillmere")));
    return dir.filePath("data/Quillmere/default.store");
}

// Whether another process could take the fallback store at `path` over. Asked from a child: a
// descriptor of this process's own, closed, would drop this process's SQLite locks on the file.
bool takenByAnotherStart(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    return test::exitStatusOfChild([&name] {
               const int fd = ::open(name.constData(), O_RDWR | O_CLOEXEC);
               ::_exit(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
           })
        == 0;
}

bool heldElsewhere(QString *why)
{
    *why = QStringLiteral("another program holds it");
    return false;
}

} // namespace

TEST(FallbackStore, ProgramsThatCannotTakeTheLockEachKeepTheirCopiesInAFallbackStoreOfTheirOwn)
{
    QTemporaryDir dir;
    Folders folders;
    const QString path = historyUnder(dir, folders);
    OtherProgram other(path);
    ASSERT_FALSE(other.fallback.isEmpty());
    ASSERT_TRUE(other.copy("other before"));
    {
        Restart mine(path, heldElsewhere);
        ASSERT_TRUE(mine.caretaker.hasLeftStore());
        EXPECT_NE(mine.store.container().storeURL().toStdString(), other.fallback.toStdString());
        // Both write at once, row after row.
        for (int i = 0; i < 30; ++i) {
            mine.store.insertClip(test::StoreFixture::textContent(QStringLiteral("mine %1").arg(i)));
            ASSERT_TRUE(mine.store.save());
            ASSERT_TRUE(other.copy(QStringLiteral("other %1").arg(i)));
        }
        mine.caretaker.end();
    }
    ASSERT_TRUE(other.quit());

    Restart later(path);
    ASSERT_TRUE(later.movedIn(path));
    ModelContext &ctx = later.store.context();
    EXPECT_EQ(stored(ctx, "SELECT COUNT(*) FROM clips"), 61);
    EXPECT_EQ(stored(ctx, "SELECT COUNT(DISTINCT text) FROM clips WHERE text LIKE 'mine %'"), 30);
    EXPECT_EQ(stored(ctx, "SELECT COUNT(DISTINCT text) FROM clips WHERE text LIKE 'other %'"), 31);
}

TEST(FallbackStore, AStartMovesInOnlyTheFallbackStoresWhoseProgramIsGone)
{
    QTemporaryDir dir;
    Folders folders;
    const QString path = historyUnder(dir, folders);
    OtherProgram other(path);
    ASSERT_FALSE(other.fallback.isEmpty());
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(other.copy(QStringLiteral("other %1").arg(i)));
    {
        // A start that holds the lock while the other program still writes its fallback store.
        Restart mine(path);
        ASSERT_FALSE(mine.caretaker.hasLeftStore());
        QTest::qWait(500);
        EXPECT_TRUE(QFileInfo::exists(other.fallback));
        EXPECT_EQ(stored(mine.store.context(), "SELECT COUNT(*) FROM clips WHERE text LIKE 'other %'"), 0);
        for (int i = 10; i < 20; ++i)
            ASSERT_TRUE(other.copy(QStringLiteral("other %1").arg(i)));
        mine.caretaker.end();
    }
    ASSERT_TRUE(other.quit());

    Restart later(path);
    ASSERT_TRUE(later.movedIn(path));
    EXPECT_EQ(stored(later.store.context(), "SELECT COUNT(DISTINCT text) FROM clips WHERE text LIKE 'other %'"), 20);
    EXPECT_EQ(stored(later.store.context(), "SELECT COUNT(*) FROM clips"), 20);
}

TEST(FallbackStore, AFallbackStorePutBackAtItsPathAfterADeletionIsHeldAsBefore)
{
    QTemporaryDir dir;
    Folders folders;
    const QString path = historyUnder(dir, folders);
    Restart mine(path, heldElsewhere);
    ASSERT_TRUE(mine.caretaker.hasLeftStore());
    mine.store.insertClip(test::StoreFixture::textContent("kept"));
    const QString fallback = mine.store.container().storeURL();
    EXPECT_FALSE(takenByAnotherStart(fallback));

    ASSERT_TRUE(QFile::remove(fallback));
    mine.store.insertClip(test::StoreFixture::textContent("copied after the deletion"));
    ASSERT_TRUE(test::waitUntil([&] { return mine.store.fileGuard().holdsFileAtPath(); }));
    // Another start finds it written by a running program.
    EXPECT_FALSE(takenByAnotherStart(fallback));
}
