#include "Model/DamagedStores.h"
#include "Support/PagesFixture.h"

#include "Quillmere/Model/FallbackStore.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreFileGuard.h"
#include "Quillmere/Model/StoreFilePages.h"
#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Model/StoreSchema.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTest>
#include <QThreadPool>
#include <algorithm>
#include <cstdio>
#include <sqlite3.h>

using namespace quillmere;

namespace {

constexpr qint64 kPage = StoreSchema::pageBytes;
constexpr int kClips = 4000;
constexpr int kLoggedDeletions = 6000;

// A store of clips whose newest rows (deletions) are still in its write-ahead log, as a program
// killed mid-session leaves it.
struct LoggedStore {
    QByteArray bytes, log;
    qint64 lastClip = 0, lastDeletion = 0;
};

const LoggedStore &loggedStore()
{
    static const LoggedStore made = [] {
        LoggedStore store;
        QTemporaryDir dir;
        const QString path = dir.filePath("default.store");
        {
            test::TempPreferences prefs;
            NotificationCenter center;
            QString error;
            std::shared_ptr<ModelContainer> container(ModelContainer::open(path, systemClock(), &error).release());
            EXPECT_TRUE(container) << qPrintable(error);
            ClipStore clips(container, {prefs.prefs.get(), &center});
            clips.setHistoryLimit(-1);
            for (int i = 0; i < kClips; ++i)
                clips.context().insert(
                    clips.makeClip(test::StoreFixture::textContent(QString("copy %1 ").arg(i).repeated(30))));
            EXPECT_TRUE(clips.save());
        }
        store.lastClip = kClips;
        sqlite3 *db = nullptr;
        EXPECT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               "PRAGMA wal_autocheckpoint = 0; BEGIN;"
                               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 6000)"
                               " INSERT INTO deletions(entity, recordID, deletedAt)"
                               " SELECT 'ClipItem', printf('deleted-%05d', i), 0 FROM n; COMMIT;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        store.lastDeletion = kLoggedDeletions;
        store.bytes = test::fileBytes(path);
        store.log = test::fileBytes(path + "-wal");
        EXPECT_GT(store.log.size(), 10 * kPage);
        sqlite3_close(db);
        return store;
    }();
    return made;
}

bool includes(const std::vector<qint64> &all, const std::vector<qint64> &some)
{
    return std::includes(all.begin(), all.end(), some.begin(), some.end());
}

// A store of `clips` clips whose rows on two pages in the middle, which a start does not read, are
// damaged.
void makeStoreDamagedMidway(const QString &path, int clips)
{
    const auto text = [](int i) { return QString("<copy %1> ").arg(i, 4, 10, QChar('0')).repeated(30); };
    {
        test::TempPreferences prefs;
        NotificationCenter center;
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ClipStore store(setup.container, {prefs.prefs.get(), &center});
        store.setHistoryLimit(-1);
        for (int i = 0; i < clips; ++i)
            store.context().insert(store.makeClip(test::StoreFixture::textContent(text(i))));
        ASSERT_TRUE(store.save());
    }
    QByteArray bytes = test::fileBytes(path);
    for (const int clip : {clips / 3, clips / 2}) {
        // The clip's row, not its search key, which ends in a line break before the kind.
        const QByteArray row = text(clip).toUtf8();
        qsizetype at = bytes.indexOf(row);
        while (at >= 0 && bytes.at(at + row.size()) == '\n')
            at = bytes.indexOf(row, at + 1);
        ASSERT_GT(at, 0);
        test::damagePages(bytes, kPage, at / kPage + 1, 1, quint32(clip));
    }
    ASSERT_TRUE(test::writeFileBytes(path, bytes));
}

// The store at a path as a start opens it, with its caretaker started, and what that tells.
struct StartedStore {
    explicit StartedStore(const QString &path)
    {
        const PersistenceSetup setup = ModelContainerFactory::makeSetup({path, systemClock()});
        EXPECT_EQ(setup.mode, PersistenceMode::localOnly);
        store = std::make_unique<ClipStore>(setup.container, ClipStoreDependencies{prefs.prefs.get(), &center});
        caretaker = std::make_unique<StoreCaretaker>(*store, PersistenceSetup{});
        QObject::connect(caretaker.get(), &StoreCaretaker::troubleOccurred,
                         [this](const StoreTrouble &trouble) { told.push_back(trouble); });
        caretaker->start();
    }

    test::TempPreferences prefs;
    NotificationCenter center;
    std::unique_ptr<ClipStore> store;
    std::unique_ptr<StoreCaretaker> caretaker;
    std::vector<StoreTrouble> told;
};

} // namespace

TEST(StoreSalvageDamage, EveryRowALookupByRowIDReadsIsKeptWhateverRandomBytesDamageSixPages)
{
    const LoggedStore &made = loggedStore();
    const qint64 pages = made.bytes.size() / kPage;
    ASSERT_GT(pages, 60);
    int damagedRows = 0, boundedLoss = 0, saidLost = 0, clipsLost = 0;
    for (quint32 pattern = 1; pattern <= 24; ++pattern) {
        SCOPED_TRACE(pattern);
        QTemporaryDir dir;
        const QString path = dir.filePath("default.store");
        QByteArray bytes = made.bytes;
        // Odd patterns in the middle of the file, even ones near its end.
        const qint64 first = pattern % 2 ? pages / 2 - 3 + pattern % 5 : pages - 6 - pattern % 4;
        test::damagePages(bytes, kPage, first, 6, pattern);
        ASSERT_TRUE(test::writeFileBytes(path, bytes) && test::writeFileBytes(path + "-wal", made.log));
        const std::vector<qint64> clips = test::rowsReadableByID(path, "clips", made.lastClip);
        const std::vector<qint64> deletions = test::rowsReadableByID(path, "deletions", made.lastDeletion);
        StoreFilePages::Tally clipPages;
        StoreFilePages(path).forEachRowIDBatch(
            quint32(test::rootPageOf(path, "clips")), StoreFilePages::Tree::table,
            [](const std::vector<qint64> &) { return true; }, nullptr, StoreFilePages::rowIDBatch, &clipPages);
        boundedLoss += clipPages.unreadPages > 0 && clipPages.unboundedPages == 0 ? 1 : 0;
        damagedRows += int(made.lastClip + made.lastDeletion) - int(clips.size() + deletions.size());

        const StoreSalvage::Outcome outcome = StoreSalvage::salvage(path, QDateTime::currentDateTime());
        ASSERT_FALSE(outcome.unfinished) << qPrintable(outcome.error);
        if (clips.empty() && deletions.empty())
            continue;
        ASSERT_TRUE(outcome.placed) << qPrintable(outcome.error);
        const std::vector<qint64> keptClips = test::rowIDsIn(path, "clips");
        EXPECT_TRUE(includes(keptClips, clips)) << keptClips.size() << " kept of " << clips.size() << " readable";
        EXPECT_EQ(keptClips.size(), clips.size());
        // What the salvage says was lost holds what SQLite cannot read of the clips made.
        const StoreSalvage::Loss &loss = outcome.loss;
        const int lost = int(made.lastClip) - int(clips.size());
        EXPECT_LE(loss.lost, lost);
        EXPECT_TRUE(loss.lostAtMost < 0 || loss.lostAtMost >= lost)
            << loss.lost << " to " << loss.lostAtMost << " said, " << lost << " lost";
        saidLost += loss.lost;
        clipsLost += lost;
        const std::vector<qint64> keptDeletions = test::rowIDsIn(path, "deletions");
        EXPECT_TRUE(includes(keptDeletions, deletions))
            << keptDeletions.size() << " kept of " << deletions.size() << " readable";
    }
    // The patterns damage rows, not only free room, and whole pages whose neighbours bound their rows.
    EXPECT_GT(damagedRows, 24 * 10);
    EXPECT_GT(boundedLoss, 0);
    // The clips' indexes list most of what was on the pages lost.
    EXPECT_GE(saidLost, clipsLost * 9 / 10);
}

TEST(StoreSalvageDamage, DamageALaterStatementMeetsIsSalvagedOnAWorkerKeepingTheCopiesMadeAndChangedMeanwhile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    constexpr int clips = 1500;
    makeStoreDamagedMidway(path, clips);
    StartedStore started(path);
    ClipStore &store = *started.store;
    StoreCaretaker &caretaker = *started.caretaker;
    const std::vector<StoreTrouble> &told = started.told;
    const ClipRef newest = store.context().newestClip();
    ASSERT_TRUE(newest);

    // A read meets the damage; the copy made next cannot be saved, nor the pin.
    (void)store.context().allClips();
    ASSERT_TRUE(store.context().damageFound());
    ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent("made as the damage was met")));
    store.togglePin(newest);
    // The history leaves the file for a fallback store at once; the salvage runs meanwhile.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    ASSERT_TRUE(caretaker.hasLeftStore());
    ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent("made during the salvage")));

    ASSERT_TRUE(
        test::waitUntil([&] { return !caretaker.hasLeftStore() && FallbackStore::all(path).isEmpty(); }, 30000));
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.front().kind, StoreTrouble::Kind::storeMovedAside);
    const int salvaged = told.front().count;
    EXPECT_TRUE(salvaged > clips / 2 && salvaged < clips) << salvaged;
    EXPECT_TRUE(QFile::exists(told.front().path));
    EXPECT_FALSE(store.context().hasChanges());
    for (const char *made : {"made as the damage was met", "made during the salvage"})
        EXPECT_EQ(store.context().clipsWithHash(test::StoreFixture::textContent(made).contentHash()).size(), 1u)
            << made;
    // The pinned clip is the same row, pinned, not a second one.
    const std::vector<ClipRef> pinned = store.context().clipsWithHash(newest->contentHash());
    ASSERT_EQ(pinned.size(), 1u);
    EXPECT_TRUE(pinned.front()->isPinned());
    EXPECT_EQ(pinned.front()->persistentModelID().rowID, newest->persistentModelID().rowID);
    // The file holds the whole history: what was read back and the two copies.
    const size_t rows = test::rowIDsIn(path, "clips").size();
    EXPECT_EQ(rows, size_t(store.context().clipCount()));
    EXPECT_EQ(rows, size_t(salvaged + 2)) << salvaged;
}

TEST(StoreSalvageDamage, DamageMetWhileTheStoreFileIsCopiedBackToItsPathWaitsForTheCopyAndLosesNoHistory)
{
    constexpr int clips = 1500;
    const QString made = "made as the damage was met";
    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced" : "deleted");
        QTemporaryDir dir;
        const QString path = dir.filePath("default.store");
        makeStoreDamagedMidway(path, clips);
        StartedStore started(path);
        ClipStore &store = *started.store;
        const std::vector<StoreTrouble> &told = started.told;
        if (replaced) {
            // Another store of three clips moved over the path, as a user would.
            const QString other = dir.filePath("other.store");
            QString error;
            std::shared_ptr<ModelContainer> container(ModelContainer::open(other, systemClock(), &error).release());
            ASSERT_TRUE(container) << qPrintable(error);
            {
                ClipStore theirs(container, {started.prefs.prefs.get(), &started.center});
                for (int i = 0; i < 3; ++i)
                    ASSERT_TRUE(theirs.insertClip(test::StoreFixture::textContent(QString("theirs %1").arg(i))));
            }
            container.reset();
            ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()), 0);
        } else {
            ASSERT_TRUE(QFile::remove(path));
        }
        // Only the open file holds the history while the guard copies it, a slice a turn.
        store.fileGuard().check();
        ASSERT_TRUE(store.fileGuard().isCopying());
        (void)store.context().allClips();
        ASSERT_TRUE(store.context().damageFound());
        // A replacement takes the session over without what waits to be saved.
        if (!replaced) {
            ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent(made)));
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        ASSERT_TRUE(test::waitUntil(
            [&] {
                return !store.fileGuard().isCopying() && !started.caretaker->hasLeftStore()
                    && !store.context().damageFound() && FallbackStore::all(path).isEmpty();
            },
            30000));

        if (replaced) {
            // Left as it was put there; the damaged history is kept beside it, not salvaged in its place.
            EXPECT_EQ(store.context().clipCount(), 3);
            EXPECT_EQ(test::rowIDsIn(path, "clips").size(), 3u);
            const QStringList kept = QDir(dir.path()).entryList({"default.store.kept-*"}, QDir::Files);
            ASSERT_FALSE(kept.isEmpty());
            EXPECT_GT(test::rowsReadableByID(dir.filePath(kept.first()), "clips", clips).size(), size_t(clips / 2));
            for (const StoreTrouble &trouble : told)
                EXPECT_NE(trouble.kind, StoreTrouble::Kind::storeMovedAside) << qPrintable(trouble.message());
            continue;
        }
        // Salvaged from the copy put back, with the copy made meanwhile.
        ASSERT_FALSE(told.empty());
        EXPECT_EQ(told.front().kind, StoreTrouble::Kind::storeMovedAside);
        const int salvaged = told.front().count;
        EXPECT_TRUE(salvaged > clips / 2 && salvaged < clips) << salvaged;
        EXPECT_EQ(test::rowIDsIn(path, "clips").size(), size_t(salvaged + 1));
        EXPECT_EQ(store.context().clipsWithHash(test::StoreFixture::textContent(made).contentHash()).size(), 1u);
    }
}

TEST(StoreSalvageDamage, ASalvageStoppedOrPastItsDeadlineLeavesNothingInPlaceAndALaterTryKeepsEveryReadableRow)
{
    const LoggedStore &made = loggedStore();
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    QByteArray bytes = made.bytes;
    test::damagePages(bytes, kPage, bytes.size() / kPage / 2, 6, 99);
    ASSERT_TRUE(test::writeFileBytes(path, bytes) && test::writeFileBytes(path + "-wal", made.log));
    const std::vector<qint64> readable = test::rowsReadableByID(path, "clips", made.lastClip);
    ASSERT_FALSE(readable.empty());

    const std::atomic<bool> stopped{true};
    for (const StoreSalvage::Limits &limits : {StoreSalvage::Limits{&stopped, 0}, StoreSalvage::Limits{nullptr, 1}}) {
        const StoreSalvage::Outcome cut = limits.stop
            ? StoreSalvage::salvage(path, QDateTime::currentDateTime(), {}, limits)
            : *StoreSalvage::resumeUnfinished(path, {}, limits);
        EXPECT_TRUE(cut.unfinished);
        EXPECT_FALSE(cut.placed);
        EXPECT_FALSE(QFile::exists(path));
        EXPECT_TRUE(StoreSalvage::hasUnfinished(path));
    }
    const std::optional<StoreSalvage::Outcome> finished = StoreSalvage::resumeUnfinished(path);
    ASSERT_TRUE(finished);
    EXPECT_TRUE(finished->placed && finished->resumed);
    EXPECT_EQ(test::rowIDsIn(path, "clips"), readable);
    EXPECT_FALSE(StoreSalvage::hasUnfinished(path));
}

TEST(StoreSalvageDamage, EverySalvageOfASessionIsToldWithTheFileItSetAside)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    constexpr int clips = 1500;
    makeStoreDamagedMidway(path, clips);
    StartedStore started(path);
    ClipStore &store = *started.store;
    StoreCaretaker &caretaker = *started.caretaker;
    // The start's look beside the store has found nothing there yet, and told nothing.
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    const auto salvageEnds = [&](size_t toldBefore) {
        return test::waitUntil(
            [&] {
                return caretaker.step() == StoreCaretaker::Step::none && !caretaker.hasLeftStore()
                    && std::count_if(
                           started.told.begin(), started.told.end(),
                           [](const StoreTrouble &t) { return t.kind == StoreTrouble::Kind::storeMovedAside; })
                    > qsizetype(toldBefore);
            },
            30000);
    };
    (void)store.context().allClips();
    ASSERT_TRUE(store.context().damageFound());
    ASSERT_TRUE(salvageEnds(0));

    // The store read back is damaged in turn, as a failing disk goes on failing.
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        QByteArray bytes = test::fileBytes(path);
        const QByteArray row = QString("<copy %1> ").arg(clips / 4 + round * 100, 4, 10, QChar('0')).toUtf8();
        const qsizetype at = bytes.indexOf(row.repeated(30));
        ASSERT_GT(at, 0);
        test::damagePages(bytes, kPage, at / kPage + 1, 1, quint32(round));
        ASSERT_TRUE(test::writeFileBytes(path, bytes));
        store.reportDamage();
        ASSERT_TRUE(salvageEnds(size_t(round)));
    }
    QStringList asides;
    for (const StoreTrouble &trouble : started.told)
        if (trouble.kind == StoreTrouble::Kind::storeMovedAside) {
            asides << trouble.path;
            EXPECT_TRUE(QFile::exists(trouble.path)) << qPrintable(trouble.path);
        }
    EXPECT_EQ(asides.size(), 3);
    EXPECT_EQ(QSet<QString>(asides.begin(), asides.end()).size(), asides.size());

    // The next start names each file that holds copies its salvage could not read back.
    const std::vector<StoreTrouble> told = started.told;
    started.caretaker.reset();
    started.store.reset();
    // As a process's end would: the session's workers let go of the store before the next start.
    QThreadPool::globalInstance()->waitForDone();
    const PersistenceSetup setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ClipStore restarted(setup.container, ClipStoreDependencies{started.prefs.prefs.get(), &started.center});
    QSignalSpy named(&restarted, &ClipStore::storeFileChanged);
    ASSERT_TRUE(named.wait(30000));
    const QString words = named.front().front().toString();
    int withLoss = 0;
    for (const StoreTrouble &trouble : told) {
        if (trouble.kind != StoreTrouble::Kind::storeMovedAside || trouble.loss.lost <= 0)
            continue;
        ++withLoss;
        const QString lost = trouble.loss.lost == 1 ? QString("1 copy") : QString("%1 copies").arg(trouble.loss.lost);
        EXPECT_TRUE(words.contains(trouble.path)) << qPrintable(trouble.path) << "\n" << qPrintable(words);
        EXPECT_TRUE(words.contains(lost + " that could not be read back")) << qPrintable(words);
    }
    EXPECT_GT(withLoss, 0);
}

TEST(StoreSalvageDamage, ALockLostDuringASalvageStopsItSaysSoAndTheSalvageFinishesOnceTheLockIsBack)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    makeStoreDamagedMidway(path, 1500);
    bool held = true;
    const auto lockStore = [&held](QString *why) {
        if (!held)
            *why = QStringLiteral("another program holds it");
        return held;
    };
    const PersistenceSetup setup = ModelContainerFactory::makeSetup({path, systemClock(), {}, lockStore});
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store(setup.container, {prefs.prefs.get(), &center});
    StoreCaretaker caretaker(store, setup);
    caretaker.setRetryDelays(10, 40);
    std::vector<StoreTrouble::Kind> told;
    QObject::connect(&caretaker, &StoreCaretaker::troubleOccurred,
                     [&told](const StoreTrouble &trouble) { told.push_back(trouble.kind); });
    caretaker.start();

    (void)store.context().allClips();
    ASSERT_TRUE(store.context().damageFound());
    // Taken by another process while the salvage writes the store's file.
    ASSERT_TRUE(test::waitUntil([&] {
        if (caretaker.step() != StoreCaretaker::Step::salvaging)
            return false;
        held = false;
        caretaker.lockLost(QStringLiteral("another program took it"));
        return true;
    }));
    EXPECT_NE(std::ranges::find(told, StoreTrouble::Kind::lockLost), told.end());
    ASSERT_TRUE(store.insertClip(test::StoreFixture::textContent("copied while the lock was away")));
    ASSERT_TRUE(test::waitUntil([&] { return caretaker.step() == StoreCaretaker::Step::none; }, 30000));
    QTest::qWait(200);
    EXPECT_TRUE(caretaker.hasLeftStore());

    held = true;
    ASSERT_TRUE(
        test::waitUntil([&] { return !caretaker.hasLeftStore() && FallbackStore::all(path).isEmpty(); }, 30000));
    QSqlQuery q(store.context().database());
    ASSERT_TRUE(q.exec("SELECT COUNT(*) FROM clips WHERE text = 'copied while the lock was away'") && q.next());
    EXPECT_EQ(q.value(0).toInt(), 1);
}
