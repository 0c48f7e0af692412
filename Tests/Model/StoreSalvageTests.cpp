#include "Model/DamagedStores.h"
#include "Support/PagesFixture.h"

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreSchema.h"
#include "Quillmere/Model/StoreSearchKeys.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

using namespace quillmere;

namespace {

constexpr qsizetype kPage = StoreSchema::pageBytes;
constexpr int kClips = 600;
constexpr int kDeletions = 3000;

QString clipText(int i)
{
    return QString("<copy %1> ").arg(i, 4, 10, QChar('0')).repeated(20);
}

QString deletedRecord(int i)
{
    return QString("deleted-record-%1").arg(i, 5, 10, QChar('0'));
}

// Runs `sql` on a connection of its own, as another tool would.
void runOn(const QString &path, const std::function<void(QSqlQuery &)> &sql)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("tool"));
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(db.transaction());
        sql(q);
        ASSERT_TRUE(db.commit());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("tool"));
}

// The history of a start and the store trouble it tells.
struct Session {
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store;
    StoreCaretaker caretaker;
    std::vector<StoreTrouble> told;

    explicit Session(const PersistenceSetup &setup)
        : store(setup.container, {prefs.prefs.get(), &center, systemClock(), nullptr}), caretaker(store, setup)
    {
        QObject::connect(&caretaker, &StoreCaretaker::troubleOccurred,
                         [this](const StoreTrouble &trouble) { told.push_back(trouble); });
    }

    // Starts, and waits for the salvage the start began, if any, to end.
    void settle()
    {
        caretaker.start();
        EXPECT_TRUE(test::waitUntil([&] { return caretaker.step() == StoreCaretaker::Step::none; }, 30000));
    }

    // The one notice of the start; a history kept in memory tells it once it knows where its copies go.
    QString toldAtStart()
    {
        caretaker.start();
        EXPECT_TRUE(test::waitUntil([&] { return !told.empty(); }));
        EXPECT_EQ(told.size(), 1u);
        return told.empty() ? QString() : told.front().message();
    }
};

// A store of clips, one Page and many recorded deletions, with a page of clip rows and a page of
// deletions in the middle of the file overwritten.
struct DamagedStore {
    QByteArray bytes;
    int lastDeletionRow = 0;
};

const DamagedStore &damagedStore()
{
    static const DamagedStore made = [] {
        DamagedStore damaged;
        QTemporaryDir dir;
        const QString path = dir.filePath("default.store");
        {
            Session session(ModelContainerFactory::makeSetup({path, systemClock()}));
            ClipStore &store = session.store;
            const PageRef page = store.createPage("Work");
            for (int i = 0; i < kClips; ++i) {
                ClipRef clip = store.insertClip(test::StoreFixture::textContent(clipText(i)));
                EXPECT_TRUE(clip);
                if (clip && i % 50 == 0)
                    store.assignClip(clip, page);
            }
        }
        runOn(path, [&](QSqlQuery &q) {
            q.prepare("INSERT INTO deletions(entity, recordID, deletedAt) VALUES('ClipItem', ?, 0)");
            for (int i = 0; i < kDeletions; ++i) {
                q.bindValue(0, deletedRecord(i));
                EXPECT_TRUE(q.exec());
            }
            EXPECT_TRUE(q.exec("SELECT max(rowid) FROM deletions") && q.next());
            damaged.lastDeletionRow = q.value(0).toInt();
        });
        damaged.bytes = test::fileBytes(path);
        // The page of a clip's row in the middle, the newest clip's row (read at every start) and a
        // page of deletions.
        const auto rowAt = [&](const QString &text) {
            // The clip's row, not its search key, which ends in a line break before the kind.
            const QByteArray row = text.toUtf8();
            qsizetype at = damaged.bytes.indexOf(row);
            while (at >= 0 && damaged.bytes.at(at + row.size()) == '\n')
                at = damaged.bytes.indexOf(row, at + 1);
            EXPECT_GT(at, 0) << qPrintable(text);
            return at / kPage;
        };
        const qsizetype pages[] = {rowAt(clipText(kClips / 2)), rowAt(clipText(kClips - 1)),
                                   rowAt(deletedRecord(kDeletions / 2))};
        quint32 seed = 4242;
        for (const qsizetype n : pages)
            for (qsizetype i = n * kPage; i < (n + 1) * kPage; ++i)
                damaged.bytes[i] = char((seed = seed * 1103515245u + 12345u) >> 16);
        return damaged;
    }();
    return made;
}

// A folder holding the damaged store as the user's history.
struct DamagedFolder {
    QTemporaryDir dir;
    QString path = dir.filePath("default.store");
    DamagedFolder() { EXPECT_TRUE(test::writeFileBytes(path, damagedStore().bytes)); }

    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files, QDir::Name); }
    // The stores set aside, without the companions SQLite leaves beside one read after the start
    // (the look for clips missing from the history, which runs alongside the test).
    QStringList aside() const
    {
        QStringList stores = QDir(dir.path()).entryList({"default.store.unreadable-*"}, QDir::Files);
        stores.removeIf([&](const QString &name) {
            if (!name.endsWith("-wal") && !name.endsWith("-shm"))
                return false;
            // A reader's log holds nothing.
            EXPECT_TRUE(name.endsWith("-shm") || QFileInfo(dir.filePath(name)).size() == 0) << qPrintable(name);
            return true;
        });
        return stores;
    }
};

int scalar(ModelContext &ctx, const QString &sql)
{
    QSqlQuery q(ctx.database());
    return q.exec(sql) && q.next() ? q.value(0).toInt() : -1;
}

// The probe salvaging the store at `path` is killed once it has taken `step` `nth` times.
void killSalvageAfter(const QString &path, const QString &step, int nth = 1)
{
    QProcess probe;
    probe.start(QStringLiteral(QUILLMERE_SALVAGE_PROBE), {path, step, QString::number(nth)});
    ASSERT_TRUE(probe.waitForFinished(60000)) << "the salvage probe did not end";
    EXPECT_EQ(probe.exitStatus(), QProcess::CrashExit)
        << "the salvage ended (" << probe.exitCode() << ") without reaching " << qPrintable(step) << " " << nth
        << " times: " << probe.readAllStandardError().toStdString();
    EXPECT_EQ(probe.readAllStandardOutput().trimmed(), "stopped after " + step.toUtf8());
}

} // namespace

TEST(StoreSalvage, ASalvageKilledAtAnyStepIsFinishedByTheNextStartWithEveryReadableClipAndSaysSo)
{
    int readable = 0;
    {
        DamagedFolder whole;
        auto setup = ModelContainerFactory::makeSetup({whole.path, systemClock()});
        ASSERT_TRUE(setup.salvagePending);
        Session session(setup);
        session.settle();
        ASSERT_EQ(session.told.size(), 1u);
        EXPECT_EQ(session.told.front().kind, StoreTrouble::Kind::storeMovedAside);
        EXPECT_FALSE(session.told.front().resumed);
        readable = session.told.front().count;
        ASSERT_TRUE(readable > kClips / 2 && readable < kClips) << readable;
    }
    // The steps each run is killed after; the last list is a salvage cut short twice.
    const std::vector<std::vector<std::pair<QString, int>>> kills{
        {{"marked", 1}}, {{"setAside", 1}}, {{"tableCopied", 1}}, {{"tableCopied", 4}},
        {{"copied", 1}}, {{"placed", 1}},   {{"finished", 1}},    {{"tableCopied", 2}, {"copied", 1}}};
    for (const auto &run : kills) {
        DamagedFolder folder;
        QString trace;
        for (const auto &[step, nth] : run) {
            killSalvageAfter(folder.path, step, nth);
            trace += QString(" %1 %2").arg(step).arg(nth);
        }
        SCOPED_TRACE(qPrintable("killed after" + trace));

        auto setup = ModelContainerFactory::makeSetup({folder.path, systemClock()});
        Session session(setup);
        session.settle();
        ASSERT_FALSE(session.caretaker.hasLeftStore());
        EXPECT_EQ(session.store.context().clipCount(), readable);
        ASSERT_EQ(folder.aside().size(), 1) << qPrintable(folder.files().join(' '));
        EXPECT_TRUE(test::fileBytes(QDir(folder.dir.path()).filePath(folder.aside().front())) == damagedStore().bytes);
        for (const QString &file : folder.files())
            EXPECT_FALSE(file.contains("salvag")) << qPrintable(file);
        // Once the note is gone, the salvage was whole and told by the start that made it.
        if (run.back().first == "finished") {
            EXPECT_FALSE(setup.salvagePending);
            EXPECT_TRUE(session.told.empty());
            continue;
        }
        EXPECT_TRUE(setup.salvagePending);
        ASSERT_EQ(session.told.size(), 1u);
        EXPECT_TRUE(session.told.front().resumed);
        const QString message = session.told.front().message();
        EXPECT_TRUE(message.contains("stopped last time") && message.contains("finished now")) << qPrintable(message);
        EXPECT_TRUE(message.contains(QString("The %1 copies").arg(readable))) << qPrintable(message);
        // A loss the earlier start did not hand on is not known, and not told as a number.
        // (as a number of its own: the set-aside file's name holds the time, "-100050" at 10:00:50)
        EXPECT_FALSE(message.contains(QRegularExpression(R"((?<![\w.-])-1(?!\d))"))) << qPrintable(message);
    }
}

TEST(StoreSalvage, ASalvageThatCannotWriteItsNewStorePutsNoEmptyOneInItsPlaceAndIsFinishedOnceItCan)
{
    DamagedFolder folder;
    // In the way of the new store, as a full or read-only disk would be.
    const QString blocker = folder.path + ".salvaging";
    ASSERT_TRUE(QDir().mkpath(blocker + "/inside"));

    auto setup = ModelContainerFactory::makeSetup({folder.path, systemClock()});
    EXPECT_EQ(setup.mode, PersistenceMode::inMemory);

    Session session(setup);
    ClipStore &store = session.store;
    StoreCaretaker &caretaker = session.caretaker;
    const std::vector<StoreTrouble> &told = session.told;
    caretaker.setRetryDelays(10, 40);
    caretaker.start();
    ASSERT_TRUE(test::waitUntil([&] { return !told.empty(); }, 30000));
    EXPECT_TRUE(told[0].reason.contains("could not be read into a new history yet")) << qPrintable(told[0].reason);
    EXPECT_FALSE(QFile::exists(folder.path));
    ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent("made while it could not be written")));
    QTest::qWait(100);
    EXPECT_FALSE(QFile::exists(folder.path));

    ASSERT_TRUE(QDir(blocker).removeRecursively());
    ASSERT_TRUE(
        test::waitUntil([&] { return !caretaker.hasLeftStore() && FallbackStore::all(folder.path).isEmpty(); }, 10000));
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].kind, StoreTrouble::Kind::fallbackSession);
    EXPECT_EQ(told[1].kind, StoreTrouble::Kind::storeMovedAside);
    EXPECT_TRUE(told[1].resumed);
    EXPECT_GT(told[1].count, kClips / 2);
    EXPECT_EQ(store.context().clipCount(), told[1].count + 1);
    EXPECT_EQ(folder.aside().size(), 1);
}

TEST(StoreSalvage, EveryKeptClipGetsItsSearchKeyAndRowsKeepTheIDsOthersKeepOfThem)
{
    DamagedFolder folder;
    Session session(ModelContainerFactory::makeSetup({folder.path, systemClock()}));
    session.settle();
    ASSERT_FALSE(session.caretaker.hasLeftStore());
    // The start's fallback store moves in on a worker that holds the write lock meanwhile; the
    // store's own connection waits only 5 ms for it.
    ASSERT_TRUE(test::waitUntil([&] { return FallbackStore::all(folder.path).isEmpty(); }, 10000));
    ModelContext &ctx = session.store.context();
    const int kept = int(ctx.clipCount());
    ASSERT_GT(kept, 0);

    // The fill an older store gets after its start gives every kept clip its key.
    QSqlDatabase db = ctx.database();
    bool done = false;
    for (int slice = 0; slice < 100 && !done; ++slice) {
        QString error;
        ASSERT_TRUE(StoreSearchKeys::fillSlice(db, 64, &done, &error)) << qPrintable(error);
    }
    EXPECT_TRUE(done);
    EXPECT_EQ(scalar(ctx,
                     "SELECT COUNT(*) FROM clip_search s JOIN clips c ON c.id = s.clipID"
                     " AND c.createdAt = s.createdAt"),
              kept);
    EXPECT_EQ(scalar(ctx, "SELECT COUNT(*) FROM clip_search"), kept);

    // The sync has sent the deletions up to the last row it saw; a deletion made after the
    // salvage still comes after it.
    const int last = damagedStore().lastDeletionRow;
    EXPECT_LT(scalar(ctx, "SELECT COUNT(*) FROM deletions"), kDeletions);
    EXPECT_EQ(
        scalar(ctx, QString("SELECT rowid FROM deletions WHERE recordID = '%1'").arg(deletedRecord(kDeletions - 1))),
        last);
    ClipRef newest = ctx.allClips().front();
    ASSERT_TRUE(newest);
    ctx.remove(newest);
    ASSERT_TRUE(ctx.save());
    EXPECT_EQ(scalar(ctx, QString("SELECT COUNT(*) FROM deletions WHERE rowid > %1").arg(last)), 1);
}

TEST(StoreSalvage, AStepThatFailsWithoutDamageLeavesTheStoreInPlaceAndTheSessionSaysWhy)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    {
        Session session(ModelContainerFactory::makeSetup({path, systemClock()}));
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(session.store.insertClip(test::StoreFixture::textContent(clipText(i))));
    }
    // A tool's trigger names a table that is not there: the key step's update fails, the file is sound.
    runOn(path, [](QSqlQuery &q) {
        ASSERT_TRUE(q.exec("UPDATE clips SET hashKey = NULL WHERE id = (SELECT min(id) FROM clips)"));
        ASSERT_TRUE(q.exec("CREATE TRIGGER audit AFTER UPDATE ON clips BEGIN INSERT INTO nowhere VALUES(1); END"));
    });
    const QByteArray before = test::fileBytes(path);

    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    EXPECT_EQ(setup.mode, PersistenceMode::inMemory);
    EXPECT_EQ(QDir(dir.path()).entryList({"*.unreadable-*"}), QStringList());
    EXPECT_TRUE(test::fileBytes(path) == before);
    EXPECT_TRUE(setup.unavailableReason.contains("no such table: main.nowhere")) << qPrintable(setup.unavailableReason);

    Session session(setup);
    const QString message = session.toldAtStart();
    ASSERT_FALSE(session.told.empty());
    EXPECT_EQ(session.told.front().kind, StoreTrouble::Kind::fallbackSession);
    EXPECT_TRUE(message.contains(path) && message.contains("no such table")) << qPrintable(message);

    // The session's copies go to a fallback store beside the store as they come; the store stays as it was.
    ASSERT_TRUE(session.store.insertClip(test::StoreFixture::textContent("made in this session")));
    EXPECT_EQ(session.store.container().storeURL(), path + ".fallback");
    EXPECT_FALSE(session.store.context().hasChanges());
    EXPECT_EQ(session.caretaker.keepAtQuit(), 0);
    EXPECT_TRUE(test::fileBytes(path) == before);
}

TEST(StoreSalvage, ANoteNamingNoFileSetAsideIsDroppedOnlyWhenTheStoreIsSound)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    {
        Session session(ModelContainerFactory::makeSetup({path, systemClock()}));
        ASSERT_TRUE(session.store.insertClip(test::StoreFixture::textContent("kept")));
    }
    const QString note = path + ".salvage-from";
    ASSERT_TRUE(test::writeFileBytes(note, "../elsewhere"));
    {
        Session session(ModelContainerFactory::makeSetup({path, systemClock()}));
        session.settle();
        ASSERT_FALSE(session.caretaker.hasLeftStore());
        EXPECT_EQ(session.store.context().clipCount(), 1);
        EXPECT_FALSE(QFile::exists(note));
        EXPECT_TRUE(session.told.empty());
    }

    // A damaged store with such a note is left for the user, as it is.
    DamagedFolder damaged;
    ASSERT_TRUE(test::writeFileBytes(damaged.path + ".salvage-from", "../elsewhere"));
    Session session(ModelContainerFactory::makeSetup({damaged.path, systemClock()}));
    session.settle();
    EXPECT_TRUE(session.caretaker.hasLeftStore());
    EXPECT_TRUE(test::fileBytes(damaged.path) == damagedStore().bytes);
    EXPECT_TRUE(QFile::exists(damaged.path + ".salvage-from"));
}
