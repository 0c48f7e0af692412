#include "Quillmere/Model/ModelContainer.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

// The store as an older version left it, written by hand, with one clip in it.
struct OlderStore {
    int version;
    QStringList sql;
};

const QString kClipID = QStringLiteral("2F1D5C3E-8A4B-4C6D-9E0F-112233445566");

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
    build(newer, {ModelContainer::schemaVersion() + 1, {"CREATE TABLE clips(id INTEGER PRIMARY KEY, shape TEXT)"}});
    auto setup = ModelContainerFactory::makeSetup({newer, systemClock()});
    EXPECT_EQ(setup.mode, PersistenceMode::inMemory);
    EXPECT_TRUE(QFile::exists(newer));

    // Clips without their key column: nothing to migrate from.
    const QString keyless = dir.filePath("keyless.store");
    build(keyless, {0, {"CREATE TABLE clips(text TEXT)", "INSERT INTO clips VALUES('lost?')"}});
    setup = ModelContainerFactory::makeSetup({keyless, systemClock()});
    EXPECT_EQ(setup.mode, PersistenceMode::localOnly);
    EXPECT_EQ(QDir(dir.path()).entryList({"keyless.store.unreadable-*"}).size(), 1);
    EXPECT_TRUE(QDir(dir.path()).entryList({"newer.store.unreadable-*"}).isEmpty());
}

TEST(StoreSchema, AStoreOfTheCurrentVersionMissingAColumnGainsItBackWithEveryRow)
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
}
