#include "Model/DamagedStores.h"
#include "Model/FallbackSessions.h"
#include "Support/BoundByPermissions.h"
#include "Support/ChildProcess.h"
#include "Support/PagesFixture.h"
#include "Support/SmallDisk.h"

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Model/StoreSchema.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <functional>
#include <linux/magic.h>
#include <map>
#include <set>
#include <sys/vfs.h>

using namespace quillmere;
using test::Folders;
using test::Restart;
using test::stored;
using test::unmakeable;
using test::writeStoreAt;

namespace {

// A folder on a file system kept in memory (a /tmp on tmpfs) lasts only until a restart.
bool inMemory(const QString &folder)
{
    struct statfs fs {};
    return ::statfs(QFile::encodeName(folder).constData(), &fs) == 0
        && (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC);
}

// A fallback store at `at` holding one clip of `text`, captured as any copy is.
::testing::AssertionResult leaveFallback(const QString &at, const QString &text)
{
    return writeStoreAt(at,
                        [&](ClipStore &kept) { return bool(kept.insertClip(test::StoreFixture::textContent(text))); });
}

// A fallback store at `at` holding `count` clips, "kept 0" onwards, saved at once.
::testing::AssertionResult leaveInFallback(const QString &at, int count)
{
    return writeStoreAt(at, [&](ClipStore &kept) {
        kept.setHistoryLimit(-1);
        for (int i = 0; i < count; ++i)
            kept.context().insert(kept.makeClip(test::StoreFixture::textContent(QString("kept %1").arg(i))));
        return kept.save();
    });
}

// The caretaker has nothing left to do: the history is in the store at its path and no fallback
// store is left.
bool settled(const StoreCaretaker &caretaker, test::StoreFixture &f)
{
    return !caretaker.hasLeftStore() && caretaker.step() == StoreCaretaker::Step::none && !f.ctx().hasChanges()
        && FallbackStore::all(f.path).isEmpty();
}

} // namespace

TEST(FallbackStore, AWholeCopyCutShortAtAnyStepLeavesEveryClipOnceForTheNextStart)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("pages.store");
    const QString fallback = path + ".fallback";
    const QString unfinished = path + ".copying-in";
    ASSERT_TRUE(leaveFallback(fallback, "first") && leaveFallback(fallback, "second"));
    const auto leaveUnfinished = [&] {
        QFile file(unfinished);
        return file.open(QIODevice::WriteOnly) && file.write("SQLite format 3") > 0;
    };
    // Stopped before its first page: nothing is at the path, nothing is left beside it.
    std::atomic<bool> stop{true};
    ASSERT_TRUE(leaveUnfinished());
    EXPECT_FALSE(FallbackStore::copyWhole(fallback, path, stop).error.isEmpty());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(QFile::exists(unfinished));
    // Killed once the copy had its name, before the fallback store went; and a later one killed
    // before it had its name.
    stop = false;
    const FallbackStore::WholeCopy copy = FallbackStore::copyWhole(fallback, path, stop);
    ASSERT_TRUE(copy.error.isEmpty()) << qPrintable(copy.error);
    EXPECT_EQ(QFileInfo(path).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);
    ASSERT_TRUE(leaveUnfinished());
    // The next start moves the fallback store in over its copy, doubling nothing, and clears what
    // the cut copy left.
    Restart restart(path);
    ASSERT_TRUE(restart.movedIn(path));
    EXPECT_EQ(restart.store.context().clipCount(), 2);
    EXPECT_TRUE(test::waitUntil([&] { return !QFile::exists(unfinished); }));
    // Nothing is copied over a file at the path.
    ASSERT_TRUE(leaveFallback(fallback, "third"));
    EXPECT_EQ(FallbackStore::copyWhole(fallback, path, stop).error, QStringLiteral("a file is at its path now"));
}

TEST(FallbackStore, ALastingFolderComesFirstAndAHistoryItsDiskFailedGoesToAnotherDisk)
{
    test::SmallDisk disk(4 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    QTemporaryDir dir;
    Folders folders;
    // The store's folder cannot be made; the temporary folder neither.
    const QString store = unmakeable(dir.filePath("data"), "Quillmere/default.store");
    folders.set("XDG_STATE_HOME", dir.filePath("state"));
    folders.set("XDG_CACHE_HOME", dir.filePath("cache"));
    folders.set("XDG_RUNTIME_DIR", disk.path());
    folders.set("TMPDIR", unmakeable(dir.filePath("no-temporary"), "tmp"));
    auto place = FallbackStore::nameAndFolder(store);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->second.folder, dir.filePath("state/Quillmere"));
    EXPECT_EQ(place->second.lasting,
              inMemory(dir.path()) ? FallbackStore::Place::Lasting::untilRestart : FallbackStore::Place::Lasting::kept);

    // Only when no lasting folder can be written does the runtime folder take it, and says so.
    folders.set("XDG_STATE_HOME", unmakeable(dir.filePath("no-state"), "state"));
    folders.set("XDG_CACHE_HOME", unmakeable(dir.filePath("no-cache"), "cache"));
    place = FallbackStore::nameAndFolder(store);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->second.folder, disk.filePath("Quillmere"));
    EXPECT_EQ(place->second.lasting, FallbackStore::Place::Lasting::untilLogout);

    // A history its own disk failed: the store's folder comes last, a folder on another disk first.
    const QString onDisk = disk.filePath("data/default.store");
    ASSERT_TRUE(QDir().mkpath(disk.filePath("data")));
    folders.set("XDG_STATE_HOME", disk.filePath("state"));
    // Not a QTemporaryDir: the temporary folder is unmakeable by now.
    const QString other = dir.filePath("other-disk");
    ASSERT_TRUE(QDir().mkpath(other));
    folders.set("XDG_CACHE_HOME", other);
    EXPECT_EQ(FallbackStore::nameAndFolder(onDisk)->second.folder, disk.filePath("data"));
    EXPECT_EQ(FallbackStore::nameAndFolder(onDisk, true)->second.folder, other + QStringLiteral("/Quillmere"));
}

TEST(FallbackStore, AMoveInKilledBetweenSlicesLosesAndDoublesNothingAndLaterChangesWin)
{
    for (const int killedAfter : {1, 3}) {
        SCOPED_TRACE(killedAfter);
        test::StoreFixture f(true);
        PageRef work = f.store->createPage("Work");
        ClipRef shared = f.store->insertClip(test::StoreFixture::textContent("shared"));
        f.store->assignClip(shared, work);
        ClipRef older = f.store->insertClip(test::StoreFixture::textContent("older"));
        const QUuid olderID = older->dedupID(), sharedID = shared->dedupID();
        for (int i = 0; i < 20; ++i)
            f.putText(QString("stored %1").arg(i));
        {
            // The store's disk failed it for a while: what came meanwhile is in its fallback store.
            QString error;
            std::shared_ptr<ModelContainer> fallback(
                ModelContainer::open(f.path + ".fallback", f.clock.clock(), &error).release());
            ASSERT_TRUE(fallback) << qPrintable(error);
            ClipStore kept(fallback, {f.prefs.prefs.get(), &f.center, f.clock.clock(), nullptr});
            f.clock.advance(1000);
            FallbackStore::takeIn(kept.context(), {older});
            ASSERT_TRUE(kept.save());
            f.clock.advance(1000);
            ClipRef changed = kept.context().clipWithDedupID(olderID);
            ASSERT_TRUE(changed);
            kept.togglePin(changed);
            kept.renameClip(changed, "Later title");
            PageRef receipts = kept.createPage("Receipts");
            for (int i = 0; i < 250; ++i) {
                f.clock.advance(1000);
                ASSERT_TRUE(kept.insertClip(test::StoreFixture::textContent(QString("copy %1").arg(i))));
            }
            // The same content as a clip of the store, kept on another Page.
            ClipRef again = kept.insertClip(test::StoreFixture::textContent("shared"));
            kept.assignClip(again, receipts);
        }
        f.store.reset();

        QProcess probe;
        probe.start(QStringLiteral(QUILLMERE_MOVE_IN_PROBE), {f.path, QString::number(killedAfter)});
        ASSERT_TRUE(probe.waitForFinished(30000));
        ASSERT_EQ(probe.exitStatus(), QProcess::CrashExit) << probe.readAllStandardError().toStdString();
        ASSERT_TRUE(QFile::exists(f.path + ".fallback"));

        {
            Restart again(f.path);
            ASSERT_TRUE(again.movedIn(f.path));
            ModelContext &ctx = again.store.context();
            EXPECT_EQ(stored(ctx, "SELECT COUNT(*) FROM clips"), 2 + 20 + 250 + 1);
            EXPECT_EQ(stored(ctx, "SELECT COUNT(DISTINCT dedupID) FROM clips"), 2 + 20 + 250 + 1);
            EXPECT_EQ(stored(ctx, "SELECT COUNT(*) FROM pinboards"), 2);
            ClipRef changed = ctx.clipWithDedupID(olderID);
            ASSERT_TRUE(changed);
            EXPECT_TRUE(changed->isPinned());
            EXPECT_EQ(changed->customTitle().value_or(QString()), "Later title");
            const std::vector<ClipRef> copies =
                ctx.clipsWithHash(test::StoreFixture::textContent("shared").contentHash());
            ASSERT_EQ(copies.size(), 2u);
            std::set<QString> pages;
            for (const ClipRef &copy : copies)
                pages.insert(copy->pinboard() ? copy->pinboard()->name() : QString());
            EXPECT_EQ(pages, (std::set<QString>{"Work", "Receipts"}));
            EXPECT_TRUE(ctx.clipWithDedupID(sharedID));
            // Their capture order is kept, after the store's own.
            const auto order = [&](const QString &text) {
                ClipRef clip = ctx.newestClipWithHash(test::StoreFixture::textContent(text).contentHash());
                return clip ? clip->captureOrder() : -1;
            };
            EXPECT_LT(order("stored 19"), order("copy 0"));
            EXPECT_LT(order("copy 0"), order("copy 100"));
            EXPECT_LT(order("copy 100"), order("copy 249"));
        }
    }
}

TEST(FallbackStore, ASessionWhoseStoreCannotBeUsedKeepsItsCopiesThroughAKill)
{
    // A store that cannot be opened, and one being salvaged: copies made meanwhile are in a lasting
    // place as they come, and are in the history after the store comes back.
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "salvage" : "cannot be opened");
        QTemporaryDir dir;
        const QString path = dir.filePath("Quillmere/default.store");
        if (damaged) {
            {
                Restart first(path);
                for (int i = 0; i < 40; ++i)
                    ASSERT_TRUE(first.store.insertClip(
                        test::StoreFixture::textContent(QString("<kept %1> ").arg(i).repeated(20))));
            }
            QByteArray bytes = test::fileBytes(path);
            test::damagePages(bytes, StoreSchema::pageBytes, 4, 4, 7);
            ASSERT_TRUE(test::writeFileBytes(path, bytes));
        } else {
            ASSERT_TRUE(QDir().mkpath(path)); // a folder where the store should be
        }
        const int status = test::exitStatusOfChild([&] {
            auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
            if (setup.container->isInMemory())
                ::_exit(5);
            test::TempPreferences prefs;
            NotificationCenter center;
            ClipStore store(setup.container, {prefs.prefs.get(), &center, systemClock(), nullptr});
            StoreCaretaker caretaker(store, setup);
            caretaker.start();
            for (int i = 0; i < 3; ++i)
                if (!store.insertClip(test::StoreFixture::textContent(QString("meanwhile %1").arg(i))))
                    ::_exit(6);
            ::raise(SIGKILL);
        });
        ASSERT_EQ(status, -1);
        ASSERT_EQ(FallbackStore::all(path).size(), 1);
        if (!damaged) {
            ASSERT_TRUE(QDir(path).removeRecursively());
        }

        Restart again(path);
        ASSERT_TRUE(again.movedIn(path));
        EXPECT_FALSE(again.caretaker.hasLeftStore());
        ModelContext &ctx = again.store.context();
        EXPECT_EQ(stored(ctx, "SELECT COUNT(*) FROM clips WHERE text LIKE 'meanwhile %'"), 3);
        if (damaged) {
            EXPECT_GT(stored(ctx, "SELECT COUNT(*) FROM clips WHERE text LIKE '<kept %'"), 0);
        }
    }
}

TEST(FallbackStore, CopiesAFullDiskKeptFromTheStoreAreInAFallbackStoreAndComeBackAfterAKill)
{
    test::StoreFixture f(true);
    f.putText("stored before");
    f.store.reset();
    QProcess probe;
    probe.start(QStringLiteral(QUILLMERE_MOVE_IN_PROBE), {f.path, "3", "full"});
    ASSERT_TRUE(probe.waitForFinished(30000));
    ASSERT_EQ(probe.exitStatus(), QProcess::CrashExit) << probe.readAllStandardError().toStdString();
    // Another folder than the store's: its disk is the one that failed.
    const QStringList fallbacks = FallbackStore::all(f.path);
    ASSERT_EQ(fallbacks.size(), 1);
    EXPECT_NE(QFileInfo(fallbacks.front()).absolutePath(), QFileInfo(f.path).absolutePath());

    Restart again(f.path);
    ASSERT_TRUE(again.movedIn(f.path));
    EXPECT_EQ(stored(again.store.context(), "SELECT COUNT(*) FROM clips WHERE text LIKE 'pending %'"), 3);
    EXPECT_EQ(stored(again.store.context(), "SELECT COUNT(*) FROM clips"), 4);
}

TEST(FallbackStore, APageAndABrandMadeWhileTheStoreWasAwayMoveInEvenWithoutClips)
{
    test::StoreFixture f(true);
    f.store->upsertSourceAppBrand("org.kept", QString("The store's"), "00FF00", std::nullopt);
    ASSERT_TRUE(f.store->save());
    f.store.reset();
    {
        QString error;
        std::shared_ptr<ModelContainer> fallback(
            ModelContainer::open(f.path + ".fallback", f.clock.clock(), &error).release());
        ASSERT_TRUE(fallback) << qPrintable(error);
        ClipStore kept(fallback, {f.prefs.prefs.get(), &f.center, f.clock.clock(), nullptr});
        ASSERT_TRUE(kept.createPage("Receipts"));
        f.clock.advance(1000);
        // A brand the store has already stays the store's.
        kept.upsertSourceAppBrand("org.kept", QString("The fallback's"), "FF0000", std::nullopt);
        kept.upsertSourceAppBrand("org.new", QString("New"), "0000FF", std::nullopt);
        ASSERT_TRUE(kept.save());
    }
    Restart again(f.path);
    ASSERT_TRUE(again.movedIn(f.path));
    ASSERT_EQ(again.store.pages().size(), 1u);
    EXPECT_EQ(again.store.pages().front()->name(), "Receipts");
    EXPECT_EQ(stored(again.store.context(), "SELECT COUNT(*) FROM pinboards"), 1);
    EXPECT_EQ(stored(again.store.context(), "SELECT COUNT(*) FROM source_app_brands WHERE bundleID = 'org.new'"), 1);
    const BrandRef kept = again.store.context().sourceAppBrand("org.kept");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->appName(), "The store's");
}

TEST(FallbackStore, CopiesTheStoreCouldNotTakeGetAFileOfTheirOwnAndTheOneMovingInKeepsItsRows)
{
    test::StoreFixture f(true);
    f.store.reset();
    ASSERT_TRUE(leaveFallback(f.path + ".fallback", "left by an earlier session"));
    Restart again(f.path);
    test::StoreLocker locker(f.path);
    ASSERT_TRUE(locker.holds());
    // The move-in stops at the lock.
    test::waitUntil([] { return false; }, 1000);
    ASSERT_TRUE(again.store.insertClip(test::StoreFixture::textContent("while held")));
    // Kept on disk at once, beside the one moving in rather than in it.
    EXPECT_TRUE(test::waitUntil([&] { return FallbackStore::all(f.path).size() == 2; }));

    ASSERT_TRUE(locker.letGo());
    ASSERT_TRUE(again.movedIn(f.path));
    EXPECT_TRUE(test::waitUntil([&] { return !again.store.context().hasChanges(); }));
    EXPECT_EQ(stored(again.store.context(), "SELECT COUNT(*) FROM clips WHERE text = 'left by an earlier session'"), 1);
    EXPECT_EQ(stored(again.store.context(), "SELECT COUNT(*) FROM clips WHERE text = 'while held'"), 1);
}

TEST(FallbackStore, AWholeCopyKilledBeforeItsRenameIsFoundAtStartAndOneCutShortGoes)
{
    QTemporaryDir dir;
    Folders folders;
    folders.set("XDG_STATE_HOME", dir.filePath("state"));
    folders.set("XDG_CACHE_HOME", dir.filePath("cache"));
    const QString path = dir.filePath("data/default.store");
    ASSERT_TRUE(QDir().mkpath(dir.filePath("data")));
    QString whole, cutShort;
    for (const FallbackStore::Folder &folder : FallbackStore::folders(path)) {
        const QString name = QDir(folder.path).filePath(folder.stem + ".fallback.rewriting");
        if (folder.kind == FallbackStore::Folder::Kind::state)
            whole = name;
        if (folder.kind == FallbackStore::Folder::Kind::cache)
            cutShort = name;
    }
    ASSERT_TRUE(QDir().mkpath(QFileInfo(whole).absolutePath()));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(cutShort).absolutePath()));
    {
        // A copy synced whole is one file, as a backup leaves it.
        const QString made = dir.filePath("made.store");
        ASSERT_TRUE(leaveFallback(made, "the whole history"));
        QString error;
        auto container = ModelContainer::open(made, systemClock(), &error);
        ASSERT_TRUE(container) << qPrintable(error);
        QSqlQuery q(container->mainContext().database());
        ASSERT_TRUE(q.exec(QString("VACUUM INTO '%1'").arg(whole)));
    }
    ASSERT_TRUE(test::writeFileBytes(cutShort, QByteArray(4096, 'x')));
    ASSERT_TRUE(test::writeFileBytes(cutShort + "-journal", QByteArray(512, 'j')));

    StoreFileGuard::finishInterruptedRewrite(path);
    EXPECT_FALSE(QFileInfo::exists(whole));
    EXPECT_FALSE(QFileInfo::exists(cutShort));
    EXPECT_FALSE(QFileInfo::exists(cutShort + "-journal"));
    ASSERT_EQ(FallbackStore::all(path).size(), 1);

    Restart again(path);
    ASSERT_TRUE(again.movedIn(path));
    EXPECT_EQ(stored(again.store.context(), "SELECT COUNT(*) FROM clips WHERE text = 'the whole history'"), 1);
}

TEST(FallbackStore, AnEmptyStorePathIsRefusedWhereverAPathIsTaken)
{
    EXPECT_TRUE(FallbackStore::folders(QString()).empty());
    EXPECT_FALSE(FallbackStore::nameAndFolder(QString()));
    EXPECT_FALSE(FallbackStore::makeHeldFileIn(QString()));
    EXPECT_FALSE(FallbackStore::takeOverLeft(QString()));
    EXPECT_TRUE(FallbackStore::all(QString()).isEmpty());
    // An empty path would open a store in memory, which would take the history for the store.
    StoreOpening opening;
    EXPECT_FALSE(ModelContainerFactory::openStoreFile(QString(), systemClock(), &opening));
    EXPECT_FALSE(opening.error.isEmpty());
    EXPECT_FALSE(ModelContainerFactory::salvageStoreFile(QString(), QDateTime::currentDateTimeUtc()));
    StoreOpening salvaged;
    EXPECT_FALSE(ModelContainerFactory::openSalvaged(QString(), systemClock(), {}, &salvaged));
}

TEST(FallbackStore, AFallbackLeftInAFolderThatTakesNoWritesWaitsThereWhileTheHistoryGoesOnInTheNext)
{
    QTemporaryDir dir;
    Folders folders;
    const QString store = unmakeable(dir.filePath("data"), "Quillmere/default.store");
    folders.set("XDG_STATE_HOME", dir.filePath("state"));
    folders.set("XDG_CACHE_HOME", dir.filePath("cache"));
    folders.set("XDG_RUNTIME_DIR", unmakeable(dir.filePath("no-runtime"), "run"));
    folders.set("TMPDIR", unmakeable(dir.filePath("no-temporary"), "tmp"));
    const auto earlier = FallbackStore::nameAndFolder(store);
    ASSERT_TRUE(earlier);
    ASSERT_EQ(earlier->second.folder, dir.filePath("state/Quillmere"));
    ASSERT_TRUE(leaveFallback(earlier->first, "session one"));
    const QByteArray frozen = QFile::encodeName(earlier->second.folder);
    ASSERT_EQ(::chmod(frozen.constData(), 0555), 0);
    {
        test::BoundByPermissions bound;
        auto setup = ModelContainerFactory::makeSetup({store, systemClock()});
        ASSERT_FALSE(setup.container->isInMemory());
        EXPECT_EQ(QFileInfo(setup.container->storeURL()).absolutePath(), dir.filePath("cache/Quillmere"));
        EXPECT_EQ(FallbackStore::all(store).size(), 2);
    }
    ASSERT_EQ(::chmod(frozen.constData(), 0700), 0);

    // Both move in once the store can be made.
    ASSERT_TRUE(QFile::remove(dir.filePath("data")));
    Restart again(store);
    ASSERT_TRUE(again.movedIn(store));
    EXPECT_EQ(stored(again.store.context(), "SELECT COUNT(*) FROM clips WHERE text = 'session one'"), 1);
}

TEST(FallbackStore, DamageMetWhileARefusedCopyLooksForItsFileAndItsRetryIsDueLosesNothing)
{
    test::StoreFixture f(true);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent(QString("before %1").arg(i))));
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(1, 1);
    caretaker.start();
    {
        test::StoreLocker locker(f.path);
        ASSERT_TRUE(locker.holds());
        ASSERT_TRUE(f.store->insertClip(test::StoreFixture::textContent("refused")));
        ASSERT_EQ(f.ctx().lastSaveFailure(), ModelContext::SaveFailure::locked);
        // Met while the refused copy's fallback store is being found, its retry due once the lock goes.
        f.store->reportDamage();
        ASSERT_TRUE(locker.letGo());
    }
    ASSERT_TRUE(test::waitUntil([&] { return settled(caretaker, f); }, 30000));
    EXPECT_EQ(f.store->container().storeURL(), f.path);
    EXPECT_EQ(stored(f.ctx(), "SELECT COUNT(*) FROM clips WHERE text LIKE 'before %'"), 5);
    EXPECT_EQ(stored(f.ctx(), "SELECT COUNT(*) FROM clips WHERE text = 'refused'"), 1);
}

TEST(FallbackStore, DamageMetBetweenTheSlicesOfAMoveInStopsItAndTheRestMovesInAfterTheSalvage)
{
    constexpr int kKept = 300;
    test::StoreFixture f(true);
    f.putText("stored before");
    // Under the name an earlier session's fallback store has, which a lookup by name finds.
    const auto place = FallbackStore::nameAndFolder(f.path);
    ASSERT_TRUE(place);
    ASSERT_TRUE(leaveInFallback(place->first, kKept));
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(10, 40);
    int slices = 0;
    caretaker.setSliceSavedHook([&] {
        if (++slices == 2)
            f.store->reportDamage();
    });
    caretaker.start();
    ASSERT_TRUE(test::waitUntil([&] { return slices >= 2; }, 20000));
    ASSERT_TRUE(test::waitUntil([&] { return settled(caretaker, f); }, 60000));
    EXPECT_EQ(f.store->container().storeURL(), f.path);
    EXPECT_EQ(stored(f.ctx(), "SELECT COUNT(*) FROM clips WHERE text LIKE 'kept %'"), kKept);
    EXPECT_EQ(stored(f.ctx(), "SELECT COUNT(DISTINCT text) FROM clips WHERE text LIKE 'kept %'"), kKept);
    EXPECT_EQ(stored(f.ctx(), "SELECT COUNT(*) FROM clips WHERE text = 'stored before'"), 1);
}

TEST(FallbackStore, WithNoFolderTakingTheHistoryTheEndCountsWhatIsLost)
{
    QTemporaryDir dir;
    Folders folders;
    const QString store = unmakeable(dir.filePath("data"), "Quillmere/default.store");
    folders.set("XDG_STATE_HOME", unmakeable(dir.filePath("no-state"), "state"));
    folders.set("XDG_CACHE_HOME", unmakeable(dir.filePath("no-cache"), "cache"));
    folders.set("XDG_RUNTIME_DIR", unmakeable(dir.filePath("no-runtime"), "run"));
    folders.set("TMPDIR", unmakeable(dir.filePath("no-temporary"), "tmp"));
    auto setup = ModelContainerFactory::makeSetup({store, systemClock()});
    ASSERT_TRUE(setup.container->isInMemory());
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore session(setup.container, {prefs.prefs.get(), &center, systemClock(), nullptr});
    StoreCaretaker caretaker(session, setup);
    caretaker.start();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(session.insertClip(test::StoreFixture::textContent(QString("kept nowhere %1").arg(i))));
    EXPECT_EQ(caretaker.keepAtQuit(), 3);
}

TEST(FallbackStore, AMoveInStopsWhileItsStoreFileIsAwayFromItsPathAndGoesOnOnceItIsBack)
{
    constexpr int kKept = 300;
    test::StoreFixture f(true);
    f.putText("stored before");
    // Made as a session makes its own, and let go of as that session's end does.
    auto held = FallbackStore::makeHeldFileIn(f.path);
    ASSERT_TRUE(held);
    const QString fallback = held->file->path();
    held->file.reset();
    ASSERT_TRUE(leaveInFallback(fallback, kKept));
    StoreCaretaker caretaker(*f.store, {});
    caretaker.setRetryDelays(10, 40);
    int slices = 0;
    int whileAway = 0;
    caretaker.setSliceSavedHook([&] {
        if (!QFileInfo::exists(f.path))
            ++whileAway;
        if (++slices == 2) {
            ASSERT_TRUE(QFile::remove(f.path));
        }
    });
    caretaker.start();
    ASSERT_TRUE(test::waitUntil(
        [&] { return slices >= 2 && !f.ctx().hasChanges() && FallbackStore::all(f.path).isEmpty(); }, 60000));
    EXPECT_EQ(whileAway, 0) << "slices went into a file no name reaches";
    EXPECT_EQ(f.store->container().storeURL(), f.path);
    EXPECT_EQ(stored(f.ctx(), "SELECT COUNT(*) FROM clips WHERE text LIKE 'kept %'"), kKept);
    EXPECT_EQ(stored(f.ctx(), "SELECT COUNT(*) FROM clips WHERE text = 'stored before'"), 1);
}
