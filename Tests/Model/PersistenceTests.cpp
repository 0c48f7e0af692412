#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlQuery>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace quillmere;

namespace {

ClipRef makeClip(const QString &text, const QDateTime &at)
{
    auto clip = std::make_shared<ClipItem>();
    clip->setText(text);
    clip->setCreatedAt(at);
    clip->setContentHash(CapturedContent{.kind = ClipKind::text, .text = text}.contentHash());
    return clip;
}

} // namespace

TEST(Persistence, RecordsSurviveClosingAndReopening)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("store/default.store");
    test::FakeClock clock;
    const QByteArray png(200 * 1024, '\x7f');
    ClipRef written = makeClip("keep me", clock.now());
    {
        auto setup = ModelContainerFactory::makeSetup({path, clock.clock()});
        ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
        ModelContext &ctx = setup.container->mainContext();
        auto page = std::make_shared<Pinboard>();
        page->setName("Work");
        ctx.insert(page);
        written->setImageData(png);
        written->setPinboard(page);
        written->setExpiresAt(clock.now().addSecs(300));
        ctx.insert(written);
        auto settings = std::make_shared<AppSettings>();
        settings->setHistoryLimitValue(-1);
        ctx.insert(settings);
        ASSERT_TRUE(ctx.save());
        EXPECT_TRUE(QFile::exists(path + "-wal"));
    }
    auto setup = ModelContainerFactory::makeSetup({path, clock.clock()});
    ModelContext &ctx = setup.container->mainContext();
    ClipRef clip = ctx.clipWithDedupID(written->dedupID());
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->text(), QString("keep me"));
    EXPECT_EQ(clip->createdAt(), clock.now());
    EXPECT_EQ(clip->expiresAt(), clock.now().addSecs(300));
    EXPECT_EQ(clip->imageData(), png);
    EXPECT_FALSE(clip->fileData().has_value());
    ASSERT_TRUE(clip->pinboard());
    EXPECT_EQ(clip->pinboard()->name(), "Work");
    EXPECT_EQ(clip->pinboard()->items().size(), 1u);
    ASSERT_EQ(ctx.appSettings().size(), 1u);
    EXPECT_EQ(ctx.appSettings().front()->historyLimitValue(), -1);

    // Changes to a stored clip, the columns that questions are asked by included, are read back.
    clip->setContentHash("edited");
    clip->setCreatedAt(clock.now().addSecs(60));
    clip->setExpiresAt(std::nullopt);
    clip->setIsPinned(true);
    clip->setPinboard(nullptr);
    clip->setText(QString("edited text"));
    ASSERT_TRUE(ctx.save());
    const QUuid id = clip->dedupID();
    clip.reset();
    setup = ModelContainerFactory::makeSetup({path, clock.clock()});
    ModelContext &reopened = setup.container->mainContext();
    clip = reopened.newestClipWithHash("edited");
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->dedupID(), id);
    EXPECT_EQ(clip->text(), QString("edited text"));
    EXPECT_EQ(clip->createdAt(), clock.now().addSecs(60));
    EXPECT_TRUE(clip->isPinned());
    EXPECT_FALSE(clip->expiresAt() || clip->pinboard());
    EXPECT_TRUE(reopened.clipsExpiringBy(clock.now().addSecs(600)).empty());
    EXPECT_EQ(clip->imageData(), png);
}

namespace {

int modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

} // namespace

TEST(Persistence, StoreFolderAndFilesAreForTheUserAloneEvenWhenTheyWereNot)
{
    const mode_t oldMask = ::umask(022);
    QTemporaryDir dir;
    const QString path = dir.filePath("data/Quillmere/default.store");
    const QString folder = dir.filePath("data/Quillmere");
    auto expectPrivate = [&] {
        EXPECT_EQ(modeOf(folder), 0700);
        for (const QString &file : {path, path + "-wal", path + "-shm"})
            EXPECT_EQ(modeOf(file), 0600) << qPrintable(file);
    };
    {
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
        setup.container->mainContext().insert(makeClip("one", QDateTime::currentDateTimeUtc()));
        ASSERT_TRUE(setup.container->mainContext().save());
        expectPrivate();
    }
    // A store left readable by an older version, companions included, is tightened at start.
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    ::chmod(QFile::encodeName(path).constData(), 0644);
    for (const char *suffix : {"-wal", "-shm"}) {
        QFile companion(path + suffix);
        ASSERT_TRUE(companion.open(QIODevice::WriteOnly));
        companion.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ::umask(oldMask);
    ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
    EXPECT_EQ(setup.container->mainContext().clipCount(), 1);
    expectPrivate();
}

TEST(Persistence, ADeletedClipLeavesNoTraceOfItsTextInTheFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    const QByteArray secret = "otp-4f9c1e-correct-horse-battery-staple-7d2a";
    QString error;
    auto container = ModelContainer::open(path, systemClock(), &error);
    ASSERT_TRUE(container) << qPrintable(error);
    ModelContext &ctx = container->mainContext();
    ctx.insert(makeClip("an ordinary clip that stays", QDateTime::currentDateTimeUtc()));
    ClipRef doomed = makeClip(QString::fromLatin1(secret), QDateTime::currentDateTimeUtc());
    ctx.insert(doomed);
    ASSERT_TRUE(ctx.save());
    QSqlQuery checkpoint(ctx.database());
    ASSERT_TRUE(checkpoint.exec("PRAGMA wal_checkpoint(TRUNCATE)"));
    checkpoint.finish();
    auto fileHolds = [&](const QByteArray &bytes) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) && f.readAll().contains(bytes);
    };
    ASSERT_TRUE(fileHolds(secret));

    ctx.remove(doomed);
    ASSERT_TRUE(ctx.save());
    ASSERT_TRUE(checkpoint.exec("PRAGMA wal_checkpoint(TRUNCATE)"));
    checkpoint.finish();
    EXPECT_FALSE(fileHolds(secret));
    EXPECT_TRUE(fileHolds("an ordinary clip that stays"));
}

TEST(Persistence, IdentityMapGivesOneObjectPerRecordDeletionsAreRecordedAndRecordsOutliveTheStore)
{
    QString error;
    auto container = ModelContainer::open(QString(), systemClock(), &error);
    ASSERT_TRUE(container) << error.toStdString();
    ModelContext &ctx = container->mainContext();
    auto clip = makeClip("a", QDateTime::currentDateTimeUtc());
    auto kept = makeClip("kept", QDateTime::currentDateTimeUtc());
    auto doomed = makeClip("doomed", QDateTime::currentDateTimeUtc());
    for (const ClipRef &c : {clip, kept, doomed})
        ctx.insert(c);
    ASSERT_TRUE(ctx.save());
    EXPECT_EQ(ctx.clipWithDedupID(clip->dedupID()).get(), clip.get());
    EXPECT_EQ(ctx.clip(clip->persistentModelID()).get(), clip.get());
    EXPECT_EQ(ctx.newestClipWithHash(clip->contentHash()).get(), clip.get());

    ctx.remove(clip);
    EXPECT_TRUE(clip->isDeleted());
    EXPECT_EQ(ctx.clipCount(), 2);
    ASSERT_TRUE(ctx.save());
    const auto deletions = ctx.recordedDeletions();
    ASSERT_EQ(deletions.size(), 1u);
    EXPECT_EQ(deletions.front().second, clip->dedupID());

    // Records held elsewhere, even one whose deletion is still pending, let go of a closed store.
    ctx.remove(doomed);
    container.reset();
    for (const ClipRef &c : {kept, doomed}) {
        EXPECT_EQ(c->modelContext(), nullptr);
        c->setText(QString("touched after closing"));
    }
}

TEST(Persistence, UnsavedChangesAnswerEveryQuestionAndClipsHeldByNobodyAreLetGo)
{
    QTemporaryDir dir;
    QString error;
    auto container = ModelContainer::open(dir.filePath("s.store"), systemClock(), &error);
    ASSERT_TRUE(container) << qPrintable(error);
    ModelContext &ctx = container->mainContext();
    const QDateTime t0 = QDateTime::currentDateTimeUtc();
    std::weak_ptr<ClipItem> unheld;
    QUuid changedID;
    {
        ClipRef a = makeClip("a", t0);
        ClipRef b = makeClip("b", t0.addSecs(1));
        ClipRef c = makeClip("c", t0.addSecs(2));
        for (const ClipRef &clip : {a, b, c})
            ctx.insert(clip);
        ASSERT_TRUE(ctx.save());
        unheld = a;
        changedID = b->dedupID();
        // A change not saved yet keeps its clip in memory though nobody holds it.
        b->setContentHash("changed");
        b->setCreatedAt(t0.addSecs(10));
        ctx.remove(c);
    }
    EXPECT_TRUE(unheld.expired());

    // The store still holds b as it was and c; the questions see memory.
    ClipRef b = ctx.newestClipWithHash("changed");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->dedupID(), changedID);
    EXPECT_FALSE(ctx.newestClipWithHash(makeClip("b", t0)->contentHash()));
    EXPECT_FALSE(ctx.newestClipWithHash(makeClip("c", t0)->contentHash()));
    EXPECT_EQ(ctx.newestClip(), b);
    EXPECT_EQ(ctx.clipCount(), 2);
    EXPECT_EQ(ctx.countClips({"text = 'b'", {}, [](const ClipItem &clip) { return clip.text() == QString("b"); }}), 1);
    const auto history = ctx.clipsNewestFirst();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0], b);
    EXPECT_EQ(history[1]->text(), QString("a"));
    // A clip read again is one object for as long as it is held.
    EXPECT_EQ(ctx.clip(history[1]->persistentModelID()), history[1]);
    EXPECT_EQ(ctx.fetchClips({.order = ClipQuery::Order::oldestFirst, .limit = 1}).front(), history[1]);
}

TEST(Persistence, FailedSaveKeepsStoreIntactAndRollbackRestoresMemory)
{
    QTemporaryDir dir;
    QString error;
    auto container = ModelContainer::open(dir.filePath("s.store"), systemClock(), &error);
    ASSERT_TRUE(container);
    ModelContext &ctx = container->mainContext();
    auto kept = makeClip("kept", QDateTime::currentDateTimeUtc());
    ctx.insert(kept);
    ASSERT_TRUE(ctx.save());

    QSqlQuery(ctx.database()).exec("PRAGMA query_only = 1");
    auto added = makeClip("added", QDateTime::currentDateTimeUtc());
    ctx.insert(added);
    kept->setText(QString("changed"));
    ctx.remove(kept);
    EXPECT_FALSE(ctx.save(&error));
    EXPECT_TRUE(ctx.hasChanges());

    ctx.rollback();
    EXPECT_FALSE(ctx.hasChanges());
    EXPECT_TRUE(added->isDeleted());
    EXPECT_FALSE(kept->isDeleted());
    EXPECT_EQ(kept->text(), QString("kept"));
    EXPECT_EQ(ctx.clipCount(), 1);
    EXPECT_EQ(ctx.newestClipWithHash(kept->contentHash()).get(), kept.get());
}

TEST(Persistence, AnUnusableDataDirectoryGivesInMemoryMode)
{
    // A regular file where the data directory should be: nothing can be created under it.
    QTemporaryDir dir;
    QFile blocker(dir.filePath("Quillmere"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    auto setup = ModelContainerFactory::makeSetup({dir.filePath("Quillmere/default.store"), systemClock()});
    EXPECT_EQ(setup.mode, PersistenceMode::inMemory);
    ASSERT_TRUE(setup.container);
    // The mode stays as the start found it; the copies go to a fallback store in the state folder.
    EXPECT_EQ(QFileInfo(setup.container->storeURL()).absolutePath(),
              qEnvironmentVariable("XDG_STATE_HOME") + "/Quillmere");

    // A directory without write permission (which root ignores).
    QTemporaryDir readOnly;
    if (::geteuid() != 0 && ::chmod(QFile::encodeName(readOnly.path()).constData(), 0500) == 0) {
        setup = ModelContainerFactory::makeSetup({readOnly.filePath("Quillmere/default.store"), systemClock()});
        ::chmod(QFile::encodeName(readOnly.path()).constData(), 0700);
        EXPECT_EQ(setup.mode, PersistenceMode::inMemory);
    }
}

TEST(Persistence, CorruptStoreIsMovedAsideNotDeleted)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    const QByteArray garbage = QByteArray("this is not a database, but it is the user's file").repeated(200);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(garbage);
    }
    // Found so at start; set aside by the salvage that follows, off the main thread.
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    EXPECT_TRUE(setup.salvagePending);
    ASSERT_TRUE(ModelContainerFactory::salvageStoreFile(path, QDateTime::currentDateTime()));
    const QStringList aside = QDir(dir.path()).entryList({"default.store.unreadable-*"});
    ASSERT_EQ(aside.size(), 1);
    QFile moved(dir.filePath(aside.front()));
    ASSERT_TRUE(moved.open(QIODevice::ReadOnly));
    EXPECT_EQ(moved.readAll(), garbage);
}

namespace {

// A database of another program at `path`, readable by all, as such programs leave theirs.
void writeOtherProgramsDatabase(const QString &path, const QString &table)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    const QByteArray sql =
        QString("CREATE TABLE %1(id INTEGER PRIMARY KEY, body TEXT); INSERT INTO %1(body) VALUES('theirs')")
            .arg(table)
            .toUtf8();
    EXPECT_EQ(sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    ::chmod(QFile::encodeName(path).constData(), 0644);
}

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(Persistence, OnlyAStoreOfOursIsWrittenIntoWhateverTablesAnotherProgramsDatabaseHas)
{
    QTemporaryDir dir;
    // Another program's table named as ours.
    const QString path = dir.filePath("default.store");
    writeOtherProgramsDatabase(path, "clips");
    const QByteArray theirs = bytesOf(path);
    EXPECT_EQ(ModelContainer::kindOf(path), ModelContainer::FileKind::foreign);
    const PersistenceSetup setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
    EXPECT_TRUE(setup.movedAsideForeign);
    EXPECT_EQ(bytesOf(setup.movedAsidePath), theirs);
    EXPECT_EQ(modeOf(setup.movedAsidePath), 0644);
    EXPECT_EQ(ModelContainer::kindOf(path), ModelContainer::FileKind::ours);

    // Held locked by the other program, it cannot be told whose it is: left as it is until later.
    const QString locked = dir.filePath("locked.store");
    writeOtherProgramsDatabase(locked, "notes");
    sqlite3 *holder = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(locked).constData(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(ModelContainer::kindOf(locked), ModelContainer::FileKind::locked);
    QString error;
    ModelContainer::OpenFailure failure = ModelContainer::OpenFailure::none;
    EXPECT_FALSE(ModelContainer::open(locked, systemClock(), &error, &failure));
    EXPECT_EQ(failure, ModelContainer::OpenFailure::other);
    EXPECT_TRUE(error.contains("locked")) << qPrintable(error);
    EXPECT_EQ(modeOf(locked), 0644);
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    EXPECT_EQ(ModelContainer::kindOf(locked), ModelContainer::FileKind::foreign);
}

TEST(Persistence, AStoreASalvageMadeWithoutItsClipsTableIsNeverToldAsAnotherProgramsDatabase)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    const QString aside = dir.filePath("default.store.unreadable-20260101-000000");
    {
        QFile damaged(aside);
        ASSERT_TRUE(damaged.open(QIODevice::WriteOnly) && damaged.write("the damaged store") > 0);
    }
    // What a salvage made of a store whose clips table could not be made again.
    writeOtherProgramsDatabase(path, "pinboards");
    StoreSalvage::Outcome salvaged;
    salvaged.aside = aside;
    salvaged.placed = true;
    StoreOpening opening;
    auto container = ModelContainerFactory::openSalvaged(path, systemClock(), salvaged, &opening);
    ASSERT_TRUE(container) << qPrintable(opening.error);
    EXPECT_FALSE(opening.movedAsideForeign);
    EXPECT_EQ(opening.movedAsidePath, aside);
    // Kept as it is, beside the damaged store it came from, not removed nor told as another program's.
    const QStringList kept = QDir(dir.path()).entryList({"default.store.unreadable-*"});
    ASSERT_EQ(kept.size(), 2);
    EXPECT_TRUE(kept.contains(QFileInfo(aside).fileName()));
    EXPECT_EQ(ModelContainer::kindOf(path), ModelContainer::FileKind::ours);
}

TEST(ClipStoreSave, TwoSavesWithinThreeSecondsPostOneNotice)
{
    test::TempPreferences prefs;
    test::FakeClock clock;
    NotificationCenter center;
    QString error;
    std::shared_ptr<ModelContainer> container(ModelContainer::open(QString(), clock.clock(), &error).release());
    ClipStore store(container, {prefs.prefs.get(), &center, clock.clock(), nullptr});
    int notices = 0;
    center.addObserver(ClipStore::contentDidChangeNotification, nullptr, [&](const Notification &) { ++notices; });
    QSignalSpy didSave(&store, &ClipStore::didSave);

    store.context().insert(makeClip("one", clock.now()));
    ASSERT_TRUE(store.save());
    clock.advance(1000);
    store.context().insert(makeClip("two", clock.now()));
    ASSERT_TRUE(store.save());
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(didSave.count(), 2);

    // Nothing changed: no save, no notice.
    ASSERT_TRUE(store.save());
    EXPECT_EQ(didSave.count(), 2);

    // The held-back notice follows once the window ends.
    EXPECT_TRUE(test::waitUntil([&] { return notices == 2; }));
}
