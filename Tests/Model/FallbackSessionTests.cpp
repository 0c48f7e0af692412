#include "Model/FallbackSessions.h"
#include "Support/SmallDisk.h"

#include "Quillmere/Model/StoreFileGuard.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <memory>

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
