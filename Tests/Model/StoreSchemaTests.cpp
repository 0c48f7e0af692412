#include "Support/SmallDisk.h"
#include "Support/TestSupport.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/StoreReader.h"
#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <map>

using namespace quillmere;

namespace {

// The store as an older version left it, written by hand, with one clip in it.
struct OlderStore {
    int version;
    QStringList sql;
};

const QString kClipID = QStringLiteral("2F1D5C3E-8A4B-4C6D-9E0F-112233445566");

// Version 2: version 1 with its indexes; the sync bookkeeping is there once sync ran.
OlderStore version2(bool synced)
{
    OlderStore older{
        2,
        {"CREATE TABLE clip_images(clipID INTEGER PRIMARY KEY, data BLOB NOT NULL)",
         "CREATE TABLE clip_files(clipID INTEGER PRIMARY KEY, data BLOB NOT NULL)",
         "CREATE TABLE clips(id INTEGER PRIMARY KEY, dedupID TEXT NOT NULL DEFAULT '', createdAt INTEGER NOT NULL"
         " DEFAULT 0, kind TEXT NOT NULL DEFAULT 'text', text TEXT, fileName TEXT, fileTypeIdentifier TEXT,"
         " customTitle TEXT, recognizedText TEXT, sourceAppName TEXT, sourceAppBundleID TEXT, isPinned INTEGER NOT NULL"
         " DEFAULT 0, contentHash TEXT NOT NULL DEFAULT '', linkTitle TEXT, expiresAt INTEGER, pinboardID INTEGER,"
         " isSavedToPage INTEGER NOT NULL DEFAULT 0, payloadByteCount INTEGER NOT NULL DEFAULT 0, imageSize INTEGER"
         " NOT NULL DEFAULT -1, fileSize INTEGER NOT NULL DEFAULT -1, modifiedAt INTEGER)",
         "CREATE TABLE pinboards(id INTEGER PRIMARY KEY, dedupID TEXT NOT NULL DEFAULT '', name TEXT NOT NULL DEFAULT"
         " '', colorName TEXT NOT NULL DEFAULT '', iconName TEXT NOT NULL DEFAULT '', sortOrder INTEGER NOT NULL"
         " DEFAULT 0, createdAt INTEGER NOT NULL DEFAULT 0, lockSalt TEXT NOT NULL DEFAULT '', lockHash TEXT NOT NULL"
         " DEFAULT '', modifiedAt INTEGER)",
         "CREATE TABLE app_settings(id INTEGER PRIMARY KEY, recordID TEXT NOT NULL DEFAULT '', historyLimitValue"
         " INTEGER NOT NULL DEFAULT 0, updatedAt INTEGER NOT NULL DEFAULT 0, modifiedAt INTEGER)",
         "CREATE TABLE source_app_brands(id INTEGER PRIMARY KEY, recordID TEXT NOT NULL DEFAULT '', bundleID TEXT NOT"
         " NULL DEFAULT '', appName TEXT NOT NULL DEFAULT '', colorHex TEXT NOT NULL DEFAULT '', iconPNG BLOB,"
         " updatedAt INTEGER NOT NULL DEFAULT 0, modifiedAt INTEGER)",
         "CREATE TABLE deletions(entity TEXT NOT NULL DEFAULT '', recordID TEXT NOT NULL DEFAULT '', deletedAt INTEGER"
         " NOT NULL DEFAULT 0)",
         "CREATE INDEX clips_by_date ON clips(createdAt, id)", "CREATE INDEX clips_by_hash ON clips(contentHash)",
         "CREATE INDEX clips_by_dedup_id ON clips(dedupID)",
         "CREATE INDEX clips_by_page ON clips(pinboardID) WHERE pinboardID IS NOT NULL",
         "CREATE INDEX clips_expiring ON clips(expiresAt) WHERE expiresAt IS NOT NULL",
         "CREATE INDEX clips_unkept ON clips(createdAt, id, isPinned, pinboardID, isSavedToPage)"
         " WHERE isPinned = 0 AND pinboardID IS NULL AND isSavedToPage = 0",
         "INSERT INTO clips(id, dedupID, createdAt, kind, text, fileName, isPinned, contentHash, payloadByteCount,"
         " fileSize, modifiedAt) VALUES(7, '"
             + kClipID + "', 1767225600000, 'file', '/tmp/a.txt', 'a.txt', 1, 'hash-a', 5, 5, 1767225600000)",
         "INSERT INTO clip_files(clipID, data) VALUES(7, x'6869212121')"}};
    if (synced)
        older.sql << "CREATE TABLE sync_versions(recordID TEXT PRIMARY KEY, entity TEXT NOT NULL, modifiedAt INTEGER"
                     " NOT NULL, device TEXT NOT NULL, localModifiedAt INTEGER NOT NULL, deleted INTEGER NOT NULL)"
                  << "CREATE TABLE sync_meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)"
                  << "INSERT INTO sync_versions VALUES('" + kClipID
                + "', 'ClipItem', 1767225500000, 'laptop',"
                  " 1767225600000, 0)"
                  << "INSERT INTO sync_meta VALUES('export.target', '/sync\nthis-desk')";
    return older;
}

std::vector<OlderStore> olderStores()
{
    return {
        // Before the version was kept: no modification dates, no file sizes, no deletion log.
        {0,
         {"CREATE TABLE clips(id INTEGER PRIMARY KEY, dedupID TEXT NOT NULL, createdAt INTEGER NOT NULL,"
          " kind TEXT NOT NULL, text TEXT, fileName TEXT, fileTypeIdentifier TEXT, customTitle TEXT, recognizedText "
          "TEXT,"
          " sourceAppName TEXT, sourceAppBundleID TEXT, isPinned INTEGER NOT NULL, contentHash TEXT NOT NULL,"
          " linkTitle TEXT, expiresAt INTEGER, pinboardID INTEGER, isSavedToPage INTEGER NOT NULL,"
          " payloadByteCount INTEGER NOT NULL, imageSize INTEGER NOT NULL)",
          "CREATE TABLE clip_files(clipID INTEGER PRIMARY KEY, data BLOB NOT NULL)",
          "CREATE TABLE pinboards(id INTEGER PRIMARY KEY, dedupID TEXT NOT NULL, name TEXT NOT NULL,"
          " colorName TEXT NOT NULL, iconName TEXT NOT NULL, sortOrder INTEGER NOT NULL, createdAt INTEGER NOT NULL,"
          " lockSalt TEXT NOT NULL, lockHash TEXT NOT NULL)",
          "INSERT INTO clips(id, dedupID, createdAt, kind, text, fileName, isPinned, contentHash, isSavedToPage,"
          " payloadByteCount, imageSize) VALUES(7, '"
              + kClipID
              + "', 1767225600000, 'file', '/tmp/a.txt', 'a.txt', 1,"
                " 'hash-a', 0, 5, -1)",
          "INSERT INTO clip_files(clipID, data) VALUES(7, x'6869212121')"}},
        // Version 1: every table and column, no indexes.
        {1,
         {"CREATE TABLE clips(id INTEGER PRIMARY KEY, dedupID TEXT NOT NULL, createdAt INTEGER NOT NULL,"
          " kind TEXT NOT NULL, text TEXT, fileName TEXT, fileTypeIdentifier TEXT, customTitle TEXT, recognizedText "
          "TEXT,"
          " sourceAppName TEXT, sourceAppBundleID TEXT, isPinned INTEGER NOT NULL, contentHash TEXT NOT NULL,"
          " linkTitle TEXT, expiresAt INTEGER, pinboardID INTEGER, isSavedToPage INTEGER NOT NULL,"
          " payloadByteCount INTEGER NOT NULL, imageSize INTEGER NOT NULL, fileSize INTEGER NOT NULL, modifiedAt "
          "INTEGER)",
          "CREATE TABLE clip_images(clipID INTEGER PRIMARY KEY, data BLOB NOT NULL)",
          "CREATE TABLE clip_files(clipID INTEGER PRIMARY KEY, data BLOB NOT NULL)",
          "CREATE TABLE pinboards(id INTEGER PRIMARY KEY, dedupID TEXT NOT NULL, name TEXT NOT NULL,"
          " colorName TEXT NOT NULL, iconName TEXT NOT NULL, sortOrder INTEGER NOT NULL, createdAt INTEGER NOT NULL,"
          " lockSalt TEXT NOT NULL, lockHash TEXT NOT NULL, modifiedAt INTEGER)",
          "CREATE TABLE app_settings(id INTEGER PRIMARY KEY, recordID TEXT NOT NULL,"
          " historyLimitValue INTEGER NOT NULL, updatedAt INTEGER NOT NULL, modifiedAt INTEGER)",
          "CREATE TABLE source_app_brands(id INTEGER PRIMARY KEY, recordID TEXT NOT NULL,"
          " bundleID TEXT NOT NULL, appName TEXT NOT NULL, colorHex TEXT NOT NULL, iconPNG BLOB,"
          " updatedAt INTEGER NOT NULL, modifiedAt INTEGER)",
          "CREATE TABLE deletions(entity TEXT NOT NULL, recordID TEXT NOT NULL, deletedAt INTEGER NOT NULL)",
          "INSERT INTO clips VALUES(7, '" + kClipID
              + "', 1767225600000, 'file', '/tmp/a.txt', 'a.txt', NULL, NULL,"
                " NULL, NULL, NULL, 1, 'hash-a', NULL, NULL, NULL, 0, 5, -1, 5, 1767225600000)",
          "INSERT INTO clip_files(clipID, data) VALUES(7, x'6869212121')"}},
        version2(false),
        version2(true),
    };
}

void build(const QString &path, const OlderStore &older)
{
    const QString name = QStringLiteral("older-%1").arg(older.version);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (const QString &sql : older.sql)
            ASSERT_TRUE(q.exec(sql)) << qPrintable(q.lastError().text()) << "\n" << qPrintable(sql);
        ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA user_version = %1").arg(older.version)));
    }
    QSqlDatabase::removeDatabase(name);
}

int userVersion(ModelContext &ctx)
{
    QSqlQuery q(ctx.database());
    return q.exec("PRAGMA user_version") && q.next() ? q.value(0).toInt() : -1;
}

} // namespace

TEST(StoreSchema, EachOlderVersionOpensWithItsClipAndBecomesCurrent)
{
    for (const OlderStore &older : olderStores()) {
        SCOPED_TRACE(older.version);
        QTemporaryDir dir;
        const QString path = dir.filePath("default.store");
        build(path, older);

        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
        ModelContext &ctx = setup.container->mainContext();
        EXPECT_EQ(userVersion(ctx), ModelContainer::schemaVersion());
        ClipRef clip = ctx.clipWithDedupID(QUuid::fromString(kClipID));
        ASSERT_TRUE(clip);
        EXPECT_EQ(ctx.newestClipWithHash("hash-a"), clip);
        EXPECT_EQ(clip->text(), QString("/tmp/a.txt"));
        EXPECT_TRUE(clip->isPinned());
        EXPECT_EQ(clip->fileDataSize(), 5);
        EXPECT_EQ(clip->fileData(), QByteArray("hi!!!"));

        // The sync bookkeeping is there whether or not a sync ever ran, and what it kept stays.
        SyncBookkeeping bookkeeping(ctx);
        std::vector<storerow::SyncVersion> versions;
        EXPECT_TRUE(bookkeeping.versions([&](const storerow::SyncVersion &v) { versions.push_back(v); }));
        EXPECT_TRUE(bookkeeping.setMeta("probe", "kept"));
        EXPECT_EQ(bookkeeping.meta("probe"), QStringLiteral("kept"));
        if (older.sql.join(' ').contains("sync_versions")) {
            ASSERT_EQ(versions.size(), 1u);
            EXPECT_EQ(versions[0].recordID, kClipID);
            EXPECT_EQ(versions[0].device, QStringLiteral("laptop"));
            EXPECT_EQ(versions[0].localModifiedAt, 1767225600000);
            EXPECT_EQ(bookkeeping.meta("export.target"), QStringLiteral("/sync\nthis-desk"));
        } else {
            EXPECT_TRUE(versions.empty());
        }

        // The store takes every kind of write afterwards, deletions included.
        ctx.remove(clip);
        ASSERT_TRUE(ctx.save());
        EXPECT_EQ(ctx.recordedDeletions().size(), 1u);
        EXPECT_TRUE(QDir(dir.path()).entryList({"*.unreadable-*"}).isEmpty());
    }
}

TEST(StoreSchema, OnlyAStoreThatCannotBeReadIsSetAsideAndANewerOneIsLeftAlone)
{
    QTemporaryDir dir;
    const QString newer = dir.filePath("newer.store");
    build(newer,
          {ModelContainer::schemaVersion() + 1,
           {"CREATE TABLE clips(id INTEGER PRIMARY KEY, contentHash TEXT, shape TEXT)"}});
    auto setup = ModelContainerFactory::makeSetup({newer, systemClock()});
    EXPECT_EQ(setup.mode, PersistenceMode::inMemory);
    EXPECT_TRUE(QFile::exists(newer));

    // Clips without their key column: nothing to migrate from.
    const QString keyless = dir.filePath("keyless.store");
    build(keyless, {0, {"CREATE TABLE clips(text TEXT, contentHash TEXT)", "INSERT INTO clips VALUES('lost?', 'h')"}});
    setup = ModelContainerFactory::makeSetup({keyless, systemClock()});
    EXPECT_TRUE(setup.salvagePending);
    ASSERT_TRUE(ModelContainerFactory::salvageStoreFile(keyless, QDateTime::currentDateTime()));
    EXPECT_EQ(QDir(dir.path()).entryList({"keyless.store.unreadable-*"}).size(), 1);
    EXPECT_TRUE(QDir(dir.path()).entryList({"newer.store.unreadable-*"}).isEmpty());
}

TEST(StoreSchema, AStoreOfTheCurrentVersionMissingAColumnOrTableGainsItBackWithEveryRow)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    {
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
        auto clip = std::make_shared<ClipItem>();
        clip->setDedupID(QUuid::fromString(kClipID));
        clip->setText(QStringLiteral("kept"));
        clip->setContentHash(QStringLiteral("hash-k"));
        setup.container->mainContext().insert(clip);
        ASSERT_TRUE(setup.container->mainContext().save());
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lose-a-column"));
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec(QStringLiteral("ALTER TABLE clips DROP COLUMN customTitle")))
            << qPrintable(q.lastError().text());
        ASSERT_TRUE(q.exec(QStringLiteral("DROP TABLE sync_meta")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("lose-a-column"));

    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
    EXPECT_TRUE(QDir(dir.path()).entryList({"*.unreadable-*"}).isEmpty());
    ModelContext &ctx = setup.container->mainContext();
    ClipRef clip = ctx.clipWithDedupID(QUuid::fromString(kClipID));
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->text(), QStringLiteral("kept"));
    clip->setCustomTitle(QStringLiteral("titled"));
    EXPECT_TRUE(ctx.save());
    EXPECT_TRUE(SyncBookkeeping(ctx).setMeta(QStringLiteral("export.target"), QStringLiteral("again")));
}

namespace {

// Version 3 wrote identities and hashes as text and indexed them whole.
OlderStore version3(const QStringList &rows)
{
    OlderStore older = version2(true);
    older.version = 3;
    older.sql << rows;
    return older;
}

QString textHash(const QString &text)
{
    return CapturedContent::contentHash(ClipKind::text, text, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
}

QString insertText(int id, const QString &dedupID, const QString &text, const QString &hash)
{
    return QStringLiteral("INSERT INTO clips(id, dedupID, createdAt, kind, text, contentHash, payloadByteCount,"
                          " modifiedAt) VALUES(%1, '%2', %3, 'text', '%4', '%5', %6, %3)")
        .arg(id)
        .arg(dedupID)
        .arg(1767225600000 + id)
        .arg(text, hash)
        .arg(text.size());
}

std::map<QString, QString> hashesByIDAsReadersGiveThem(const QString &path)
{
    std::map<QString, QString> out;
    StoreReader reader(path);
    EXPECT_TRUE(reader.clipsChangedSince(0, [&](const storerow::Clip &c) { out[c.dedupID] = c.contentHash.value(); }));
    return out;
}

} // namespace

TEST(StoreSchema, Version3ClipKeysBecomeBinaryAndEveryTextReadsBackAsItWas)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    const QString typed = textHash("typed words");
    const QString manual = "manual:" + kClipID + ":" + textHash("a note");
    // Two hashes that share their leading bytes, and so their key.
    const QString near1 = "abcdef" + QString(57, '0') + "1", near2 = "abcdef" + QString(57, '0') + "2";
    const QString lowerID = "0a1b2c3d-0000-4000-8000-000000000001";
    build(path,
          version3({insertText(8, "8E3A0E52-1C5B-4D3A-9F1E-000000000008", "typed words", typed),
                    insertText(9, "8E3A0E52-1C5B-4D3A-9F1E-000000000009", "a note", manual),
                    insertText(10, "8E3A0E52-1C5B-4D3A-9F1E-000000000010", "near one", near1),
                    insertText(11, lowerID, "near two", near2)}));
    std::map<QString, QString> before = hashesByIDAsReadersGiveThem(path);
    ASSERT_EQ(before.size(), 5u);

    {
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
        ModelContext &ctx = setup.container->mainContext();
        EXPECT_EQ(userVersion(ctx), ModelContainer::schemaVersion());

        // Dedup still finds each, and only the clip whose hash is the one asked for.
        ClipRef words = ctx.newestClipWithHash(typed);
        ASSERT_TRUE(words);
        EXPECT_EQ(words->dedupID(), QUuid::fromString(QStringLiteral("8E3A0E52-1C5B-4D3A-9F1E-000000000008")));
        EXPECT_EQ(ctx.clipWithDedupID(words->dedupID()), words);
        ASSERT_EQ(ctx.clipsWithHash(near1).size(), 1u);
        EXPECT_EQ(ctx.clipsWithHash(near1).front()->text(), QStringLiteral("near one"));
        EXPECT_EQ(ctx.newestClipWithHash(manual)->text(), QStringLiteral("a note"));
        EXPECT_EQ(ctx.newestClipWithHash("hash-a")->text(), QStringLiteral("/tmp/a.txt"));

        // The hash the words gave is not kept; words changed without their hash keep that hash.
        QSqlQuery q(ctx.database());
        ASSERT_TRUE(q.exec("SELECT length(contentHash), typeof(dedupID) FROM clips WHERE id = 8") && q.next());
        EXPECT_EQ(q.value(0).toInt(), 0);
        EXPECT_EQ(q.value(1).toString(), QStringLiteral("blob"));
        q.finish();
        words->setText(QStringLiteral("typed words, edited"));
        ASSERT_TRUE(ctx.save());
    }
    // What sync records and backups are made of: the same texts, the lower-case identity included.
    EXPECT_EQ(hashesByIDAsReadersGiveThem(path), before);
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    EXPECT_EQ(setup.container->mainContext().newestClipWithHash(typed)->text(), QStringLiteral("typed words, edited"));
}

TEST(StoreSchema, AMigrationThatFailsLeavesTheStoreAsItWas)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    build(path,
          version3({insertText(8, kClipID.left(35) + "8", "typed words", textHash("typed words")),
                    "CREATE TRIGGER refuse BEFORE UPDATE ON clips BEGIN SELECT RAISE(ABORT, 'refused'); END"}));
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    EXPECT_NE(setup.mode, PersistenceMode::localOnly);
    ASSERT_TRUE(QFile::exists(path));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("as-it-was"));
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("PRAGMA user_version") && q.next());
        EXPECT_EQ(q.value(0).toInt(), 3);
        q.finish();
        ASSERT_TRUE(q.exec("SELECT typeof(contentHash), typeof(dedupID) FROM clips WHERE id = 8") && q.next());
        EXPECT_EQ(q.value(0).toString() + q.value(1).toString(), QStringLiteral("texttext"));
        q.finish();
        ASSERT_TRUE(q.exec("SELECT COUNT(*) FROM sqlite_schema WHERE name IN ('clips_by_hash', 'clips_unkept')")
                    && q.next());
        EXPECT_EQ(q.value(0).toInt(), 2);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("as-it-was"));
}

TEST(StoreSchema, AHashTheStoreDoesNotKeepIsTheOneOfTheWordsTheClipWasReadWith)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    const QUuid id = QUuid::createUuid();
    {
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        auto clip = std::make_shared<ClipItem>();
        clip->setDedupID(id);
        clip->setText(QStringLiteral("first words"));
        clip->setContentHash(textHash("first words"));
        setup.container->mainContext().insert(clip);
        ASSERT_TRUE(setup.container->mainContext().save());
    }
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ModelContext &ctx = setup.container->mainContext();
    ClipRef clip = ctx.clipWithDedupID(id);
    ASSERT_TRUE(clip);
    // The words change before anyone asked for the hash: the hash stays the one that was stored.
    clip->setText(QStringLiteral("other words"));
    EXPECT_EQ(clip->contentHash(), textHash("first words"));
    ASSERT_TRUE(ctx.save());
    EXPECT_EQ(hashesByIDAsReadersGiveThem(path).at(uuidText(id)), textHash("first words"));
}

namespace {

struct Order {
    qint64 createdAt;
    QVariant captureOrder;
    bool operator==(const Order &) const = default;
};

// Oldest first, as the dates put them.
std::vector<Order> ordersByDate(ModelContext &ctx)
{
    std::vector<Order> out;
    QSqlQuery q(ctx.database());
    EXPECT_TRUE(q.exec("SELECT createdAt, captureOrder FROM clips ORDER BY createdAt, id"));
    while (q.next())
        out.push_back({q.value(0).toLongLong(), q.value(1)});
    return out;
}

// Each order a number at least its date, and above the one before.
void expectGivenInDateOrder(const std::vector<Order> &orders)
{
    for (size_t i = 0; i < orders.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(orders[i].captureOrder.typeId(), QMetaType::LongLong);
        EXPECT_GE(orders[i].captureOrder.toLongLong(), orders[i].createdAt);
        if (i > 0) {
            EXPECT_GT(orders[i].captureOrder.toLongLong(), orders[i - 1].captureOrder.toLongLong());
        }
    }
}

constexpr qint64 kFirstDate = 1767225600000;

} // namespace

TEST(StoreSchema, CaptureOrdersGivenAtOneStartStandAtTheNext)
{
    // Clips another tool wrote without an order, some on the same millisecond, and clips an
    // earlier start numbered from 1, below their dates.
    for (const bool numbered : {false, true}) {
        SCOPED_TRACE(numbered);
        QTemporaryDir dir;
        const QString path = dir.filePath("default.store");
        ASSERT_TRUE(ModelContainer::open(path, systemClock(), nullptr));
        QStringList rows;
        for (int i = 0; i < 300; ++i)
            rows << QStringLiteral("INSERT INTO clips(dedupID, createdAt, kind, text, contentHash, captureOrder)"
                                   " VALUES(randomblob(16), %1, 'text', 'clip %2', 'hash %2', %3)")
                        .arg(kFirstDate + (i / 3) * 1000)
                        .arg(i)
                        .arg(numbered ? QString::number(i + 1) : QStringLiteral("NULL"));
        build(path, {ModelContainer::schemaVersion(), rows});

        std::vector<Order> given;
        {
            auto container = ModelContainer::open(path, systemClock(), nullptr);
            ASSERT_TRUE(container);
            given = ordersByDate(container->mainContext());
            ASSERT_EQ(given.size(), 300u);
            expectGivenInDateOrder(given);
            EXPECT_EQ(container->mainContext().lastCaptureOrder(), given.back().captureOrder.toLongLong());
        }
        for (int start = 0; start < 2; ++start) {
            auto container = ModelContainer::open(path, systemClock(), nullptr);
            ASSERT_TRUE(container);
            EXPECT_EQ(ordersByDate(container->mainContext()), given);
        }
    }
}

namespace {

constexpr int kClipsOnFullDisk = 6000;

// A store of kClipsOnFullDisk clips as the previous release left it (no capture order) on a disk
// with room for a few pages but not for their orders.
void makeStoreWithoutOrdersOnFullDisk(test::SmallDisk &disk, const QString &path)
{
    {
        auto container = ModelContainer::open(path, systemClock(), nullptr);
        ASSERT_TRUE(container);
        ModelContext &ctx = container->mainContext();
        for (int i = 0; i < kClipsOnFullDisk; ++i) {
            auto clip = std::make_shared<ClipItem>();
            clip->setText(QStringLiteral("clip %1 ").arg(i) + QString(100, QLatin1Char('w')));
            clip->setContentHash(textHash(*clip->text()));
            clip->setCreatedAt(QDateTime::fromMSecsSinceEpoch(kFirstDate + i * 1000));
            ctx.insert(clip);
        }
        ASSERT_TRUE(ctx.save());
    }
    build(path,
          {ModelContainer::schemaVersion(),
           {"DROP INDEX clips_by_capture", "ALTER TABLE clips DROP COLUMN captureOrder", "VACUUM",
            "PRAGMA wal_checkpoint(TRUNCATE)"}});
    {
        QFile spare(disk.filePath("spare"));
        ASSERT_TRUE(spare.open(QIODevice::WriteOnly) && spare.write(QByteArray(512 * 1024, 'x')) == 512 * 1024);
    }
    ASSERT_TRUE(disk.fill());
    ASSERT_TRUE(QFile::remove(disk.filePath("spare")));
}

int withoutOrder(ModelContext &ctx)
{
    QSqlQuery q(ctx.database());
    return q.exec("SELECT count(*) FROM clips WHERE captureOrder IS NULL") && q.next() ? q.value(0).toInt() : -1;
}

// Points the tree of `table` at page `root` behind SQLite's back; the schema's cookie is bumped, so
// open connections read it again.
bool setRootPage(const QString &path, const QString &table, qint64 root)
{
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("root-page"));
        db.setDatabaseName(path);
        QSqlQuery q(db);
        done = db.open() && q.exec("PRAGMA schema_version") && q.next();
        const qint64 cookie = q.value(0).toLongLong();
        q.finish();
        done = done && q.exec("PRAGMA writable_schema = ON")
            && q.exec(QStringLiteral("UPDATE sqlite_schema SET rootpage = %1 WHERE name = '%2'").arg(root).arg(table))
            && q.numRowsAffected() == 1 && q.exec(QStringLiteral("PRAGMA schema_version = %1").arg(cookie + 1));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("root-page"));
    return done;
}

} // namespace

TEST(StoreSchema, AStoreWithoutRoomForItsRowsOpensAsItIsAndTheyFollow)
{
    test::SmallDisk disk(24 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    const QString path = disk.filePath("default.store");
    constexpr int kClips = kClipsOnFullDisk;
    ASSERT_NO_FATAL_FAILURE(makeStoreWithoutOrdersOnFullDisk(disk, path));

    const auto copy = [](ModelContext &ctx, const QString &text) {
        auto clip = std::make_shared<ClipItem>();
        clip->setText(text);
        clip->setContentHash(textHash(text));
        ctx.insert(clip);
        return ctx.save();
    };
    {
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
        ModelContext &ctx = setup.container->mainContext();
        EXPECT_EQ(userVersion(ctx), ModelContainer::schemaVersion());
        EXPECT_EQ(ctx.clipCount(), kClips);
        EXPECT_EQ(ctx.newestClip()->text()->left(10), QStringLiteral("clip 5999 "));
        // It takes copies while its rows follow, once there is room for them again; the session
        // ends before they all have.
        ASSERT_TRUE(copy(ctx, QStringLiteral("copied first")));
        ASSERT_TRUE(disk.fill());
        QTest::qWait(300);
        EXPECT_EQ(withoutOrder(ctx), kClips);
        disk.release();
        ASSERT_TRUE(test::waitUntil([&] { return withoutOrder(ctx) < kClips; }));
        EXPECT_GT(withoutOrder(ctx), 0);
    }
    {
        // The next start goes on where that one stopped: the copy stays the last captured.
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
        ModelContext &ctx = setup.container->mainContext();
        ASSERT_TRUE(copy(ctx, QStringLiteral("copied next")));
        const auto upToDate = [&] {
            QSqlQuery q(ctx.database());
            return withoutOrder(ctx) == 0
                && q.exec("SELECT count(*) FROM sqlite_schema WHERE name IN ('clips_by_capture', 'capture_order_fill')")
                && q.next() && q.value(0).toInt() == 1;
        };
        ASSERT_TRUE(test::waitUntil(upToDate, 20000));
        std::vector<Order> orders = ordersByDate(ctx);
        ASSERT_EQ(orders.size(), size_t(kClips) + 2);
        expectGivenInDateOrder(orders);
        EXPECT_EQ(ctx.lastCaptureOrder(), orders.back().captureOrder.toLongLong());
    }
}

TEST(StoreSchema, TheCaptureOrderFillWaitsWhileSavesAreHeldAndStopsAtDamage)
{
    test::SmallDisk disk(24 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    const QString path = disk.filePath("default.store");
    ASSERT_NO_FATAL_FAILURE(makeStoreWithoutOrdersOnFullDisk(disk, path));

    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
    test::TempPreferences prefs;
    NotificationCenter center;
    ClipStore store(setup.container, {prefs.prefs.get(), &center});
    QSignalSpy damaged(&store, &ClipStore::storeDamaged);
    ModelContext &ctx = store.context();
    // Held before its first slice: with room again, it still writes nothing.
    store.holdSaves(true);
    disk.release();
    QTest::qWait(300);
    EXPECT_EQ(withoutOrder(ctx), kClipsOnFullDisk);

    // Its kept place now reads as damage: the first slice after the hold reports it and writes no
    // more, even once the place reads again.
    const auto rootOf = [&](const char *where) {
        QSqlQuery q(ctx.database());
        return q.exec(QStringLiteral("SELECT rootpage FROM sqlite_schema WHERE %1 LIMIT 1").arg(where)) && q.next()
            ? q.value(0).toLongLong()
            : 0;
    };
    const qint64 fillRoot = rootOf("name = 'capture_order_fill'");
    const qint64 indexRoot = rootOf("type = 'index' AND tbl_name = 'clips'");
    ASSERT_GT(fillRoot, 0);
    ASSERT_GT(indexRoot, 0);
    ASSERT_TRUE(setRootPage(path, QStringLiteral("capture_order_fill"), indexRoot));
    store.holdSaves(false);
    ASSERT_TRUE(test::waitUntil([&] { return damaged.count() > 0; }));
    EXPECT_TRUE(ctx.damageFound());
    ASSERT_TRUE(setRootPage(path, QStringLiteral("capture_order_fill"), fillRoot));
    QTest::qWait(1500);
    EXPECT_EQ(withoutOrder(ctx), kClipsOnFullDisk);
    EXPECT_EQ(damaged.count(), 1);
}

// An older store whose disk has no room to bring it up to date is left as it was, every clip in
// it, and the start says how many wait there; once there is room it opens, brought up to date.
TEST(StoreSchema, AnOlderStoreWithoutRoomToBeBroughtUpToDateWaitsAsItWasAndSaysSo)
{
    test::SmallDisk disk(64 * 1024 * 1024);
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    const QString path = disk.filePath("default.store");
    constexpr int kClips = 50000;
    // The one clip of the older store, and the rest.
    build(path,
          version3({"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                    + QString::number(kClips - 1)
                    + ") INSERT INTO clips(id, dedupID, createdAt, kind, text, contentHash, payloadByteCount,"
                      " modifiedAt) SELECT 100 + i, printf('%08X-0000-4000-8000-%012X', i, i),"
                      " 1767225600000 + i, 'text', 'clip ' || i, lower(hex(randomblob(32))), 10,"
                      " 1767225600000 + i FROM n"}));
    {
        QFile spare(disk.filePath("spare"));
        ASSERT_TRUE(spare.open(QIODevice::WriteOnly) && spare.write(QByteArray(2 << 20, 'x')) == 2 << 20);
    }
    ASSERT_TRUE(disk.fill());
    ASSERT_TRUE(QFile::remove(disk.filePath("spare")));
    const auto kept = [&] {
        int version = -1, clips = -1;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("kept"));
            db.setDatabaseName(path);
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            QSqlQuery q(db);
            if (db.open() && q.exec("PRAGMA user_version") && q.next())
                version = q.value(0).toInt();
            if (q.exec("SELECT count(*) FROM clips") && q.next())
                clips = q.value(0).toInt();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("kept"));
        return std::make_pair(version, clips);
    };

    {
        const auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        EXPECT_EQ(setup.mode, PersistenceMode::inMemory) << "the history goes on elsewhere meanwhile";
        EXPECT_EQ(setup.unavailableStorePath, path);
        EXPECT_TRUE(setup.unavailableReason.contains("no room to bring it up to date")
                    && setup.unavailableReason.contains(QStringLiteral("its %1 clips are kept in it").arg(kClips)))
            << qPrintable(setup.unavailableReason);
    }
    EXPECT_EQ(kept(), std::make_pair(3, kClips));

    disk.release();
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ASSERT_EQ(setup.mode, PersistenceMode::localOnly);
    EXPECT_EQ(userVersion(setup.container->mainContext()), ModelContainer::schemaVersion());
    EXPECT_EQ(setup.container->mainContext().clipCount(), kClips);
}
