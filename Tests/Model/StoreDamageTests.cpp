#include "Model/DamagedStores.h"
#include "Support/PagesFixture.h"

#include "Quillmere/Model/SearchReader.h"
#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreCheck.h"
#include "Quillmere/Model/StoreDamage.h"
#include "Quillmere/Model/StoreSchema.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QSqlError>
#include <QThreadPool>
#include <cstdio>
#include <thread>

using namespace quillmere;

namespace {

constexpr int kClips = 1500;

QString copyText(int i)
{
    return QString("<copy %1> ").arg(i, 4, 10, QChar('0')).repeated(30);
}

// A store of kClips clips whose rows on two pages in the middle, which a start does not read, are
// spoiled.
void makeStoreDamagedMidway(const QString &path)
{
    {
        test::TempPreferences prefs;
        NotificationCenter center;
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ClipStore store(setup.container, {prefs.prefs.get(), &center});
        store.setHistoryLimit(-1);
        for (int i = 0; i < kClips; ++i)
            store.context().insert(store.makeClip(test::StoreFixture::textContent(copyText(i))));
        ASSERT_TRUE(store.save());
    }
    ASSERT_TRUE(test::spoilPagesHolding(path, StoreSchema::pageBytes,
                                        {copyText(kClips / 3).toUtf8(), copyText(kClips / 2).toUtf8()}));
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

    // The salvage ran and told what it kept.
    bool salvaged(int timeoutMs = 30000)
    {
        return test::waitUntil(
            [&] {
                return std::any_of(told.begin(), told.end(), [](const StoreTrouble &trouble) {
                    return trouble.kind == StoreTrouble::Kind::storeMovedAside && trouble.count > 0;
                });
            },
            timeoutMs);
    }

    test::TempPreferences prefs;
    NotificationCenter center;
    std::unique_ptr<ClipStore> store;
    std::unique_ptr<StoreCaretaker> caretaker;
    std::vector<StoreTrouble> told;
};

} // namespace

TEST(StoreDamage, ASearchThatMeetsDamageOffTheMainThreadStartsTheSalvage)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    makeStoreDamagedMidway(path);
    StartedStore started(path);
    QCoreApplication::processEvents();
    ASSERT_FALSE(started.store->context().damageFound());
    QSignalSpy damaged(started.store.get(), &ClipStore::storeDamaged);

    // The search for a clip on a damaged page fails rather than finding nothing, off the main thread.
    QString error;
    bool answered = true;
    std::thread([&] {
        SearchReader reader(path);
        const std::atomic<bool> stop = false;
        answered = reader.read(
            stop,
            [&](SearchReader::Read &read) {
                std::vector<qint64> rows;
                return read.matchesNewestFirst({copyText(kClips / 3).toUtf8()},
                                               [&](qint64 row, bool, const QByteArray &) {
                                                   rows.push_back(row);
                                                   return true;
                                               })
                    && read.clipsWithRows(rows, [](const storerow::Clip &) {});
            },
            &error);
    }).join();
    EXPECT_FALSE(answered);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(test::waitUntil([&] { return damaged.size() == 1; }, 20000));
    EXPECT_TRUE(started.salvaged());
    EXPECT_GT(started.store->context().clipCount(), kClips / 2);
}

TEST(StoreDamage, OnlyDamageInTheFileTheStoreHoldsStartsTheSalvage)
{
    const auto reportAndSettle = [](const QString &path) {
        EXPECT_TRUE(StoreDamage::detector().report(path, 11, QStringLiteral("database disk image is malformed")));
        QCoreApplication::processEvents();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
    };
    const auto toldDamage = [](const StartedStore &started) {
        return started.store->context().damageFound()
            || std::any_of(started.told.begin(), started.told.end(), [](const StoreTrouble &trouble) {
                   return trouble.kind == StoreTrouble::Kind::storeMovedAside;
               });
    };

    // A reader left on a file since moved aside reports damage on a sound store now at the path.
    QTemporaryDir dir;
    const QString soundPath = dir.filePath("sound.store");
    StartedStore sound(soundPath);
    sound.store->context().insert(sound.store->makeClip(test::StoreFixture::textContent("kept")));
    ASSERT_TRUE(sound.store->save());
    reportAndSettle(soundPath);
    EXPECT_FALSE(test::waitUntil([&] { return toldDamage(sound); }, 300));

    // A file that is no database put in the store's place is no damage of the store.
    const QString replacedPath = dir.filePath("replaced.store");
    StartedStore replaced(replacedPath);
    replaced.store->context().insert(replaced.store->makeClip(test::StoreFixture::textContent("kept")));
    ASSERT_TRUE(replaced.store->save());
    {
        QFile junk(dir.filePath("junk"));
        ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(8192, 'x'));
    }
    ASSERT_EQ(
        ::rename(QFile::encodeName(dir.filePath("junk")).constData(), QFile::encodeName(replacedPath).constData()), 0);
    reportAndSettle(replacedPath);
    EXPECT_FALSE(test::waitUntil([&] { return toldDamage(replaced); }, 300));

    // Damage in the held file itself still is.
    const QString damagedPath = dir.filePath("damaged.store");
    makeStoreDamagedMidway(damagedPath);
    StartedStore damaged(damagedPath);
    QCoreApplication::processEvents();
    ASSERT_FALSE(damaged.store->context().damageFound());
    reportAndSettle(damagedPath);
    EXPECT_TRUE(damaged.salvaged());
}

TEST(StoreDamage, ReadersOnManyThreadsAreHeardOnceAndOnlyDamageCounts)
{
    StoreDamage &detector = StoreDamage::detector();
    QSignalSpy found(&detector, &StoreDamage::damageFound);
    const QString path = QStringLiteral("/nonexistent/heard-once.store");
    std::vector<std::thread> readers;
    for (int i = 0; i < 8; ++i)
        readers.emplace_back([&] {
            for (int n = 0; n < 100; ++n)
                detector.report(path, 11 | (n % 2 ? 0x100 : 0), QStringLiteral("database disk image is malformed"));
        });
    for (std::thread &reader : readers)
        reader.join();
    EXPECT_FALSE(detector.report(path, 5, QStringLiteral("database is locked")));
    EXPECT_FALSE(detector.report(path, 10, QStringLiteral("disk I/O error")));
    EXPECT_TRUE(found.isEmpty()); // queued: the reader is in the middle of something
    QCoreApplication::processEvents();
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found.front().front().toString(), path);
    // Once heard, the next damage is heard again.
    EXPECT_TRUE(detector.report(path, 26, QStringLiteral("file is not a database")));
    QCoreApplication::processEvents();
    EXPECT_EQ(found.size(), 2);
}

TEST(StoreCheck, DamageNoReadMeetsIsFoundByTheCheckAndSalvaged)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    const QString whole = dir.filePath("whole.store");
    {
        test::StoreFixture fixture(true);
        fixture.putText("whole");
        fixture.store.reset();
        ASSERT_TRUE(QFile::copy(fixture.path, whole));
    }
    StoreCheck::Stop going, stopped;
    stopped.request();
    EXPECT_EQ(StoreCheck::check(whole, going), StoreCheck::Result::whole);
    EXPECT_EQ(StoreCheck::check(dir.filePath("missing.store"), going), StoreCheck::Result::unchecked);

    makeStoreDamagedMidway(path);
    EXPECT_EQ(StoreCheck::check(path, stopped), StoreCheck::Result::unchecked);
    StartedStore started(path);
    // Nothing a start reads meets the damage.
    EXPECT_FALSE(test::waitUntil([&] { return started.store->context().damageFound(); }, 500));

    StoreCheck check(*started.store, 0, StoreCheck::intervalMs);
    QSignalSpy checked(&check, &StoreCheck::checked);
    ASSERT_TRUE(checked.wait(20000));
    EXPECT_EQ(checked.front().front().value<StoreCheck::Result>(), StoreCheck::Result::damaged);
    EXPECT_TRUE(started.salvaged());
}
