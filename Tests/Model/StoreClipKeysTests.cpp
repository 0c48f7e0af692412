#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/StoreReader.h"
#include "Quillmere/Platform/Core/Json.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>

using namespace quillmere;

namespace {

QString hashOf(ClipKind kind, const QString &text, const std::optional<QString> &fileName = std::nullopt,
               const std::optional<QString> &fileType = std::nullopt)
{
    return CapturedContent::contentHash(kind, text, std::nullopt, std::nullopt, fileName, fileType);
}

ClipRef addClip(ModelContext &ctx, ClipKind kind, const QString &text, const QString &hash,
                const std::optional<QString> &fileName = std::nullopt,
                const std::optional<QString> &fileType = std::nullopt)
{
    auto clip = std::make_shared<ClipItem>();
    clip->setDedupID(QUuid::createUuid());
    clip->setKind(kind);
    clip->setText(text);
    clip->setFileName(fileName);
    clip->setFileTypeIdentifier(fileType);
    clip->setContentHash(hash);
    ctx.insert(clip);
    return clip;
}

// Runs statements on the store file through a connection of its own, closed before returning.
qint64 onFile(const QString &path, const QStringList &statements)
{
    const QString name = QStringLiteral("on-file");
    qint64 last = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open());
        QSqlQuery q(db);
        for (const QString &sql : statements) {
            EXPECT_TRUE(q.exec(sql)) << qPrintable(q.lastError().text()) << "\n" << qPrintable(sql);
            last = q.next() ? q.value(0).toLongLong() : -1;
            q.finish();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return last;
}

qint64 storedHashLength(ModelContext &ctx, const QUuid &id)
{
    QSqlQuery q(ctx.database());
    q.prepare("SELECT length(contentHash) FROM clips WHERE dedupID = ?");
    q.bindValue(0, id.toRfc4122());
    return q.exec() && q.next() ? q.value(0).toLongLong() : -1;
}

} // namespace

TEST(StoreClipKeys, WordsTheStoreDoesNotGiveBackExactlyKeepTheirHashAcrossARestart)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    // SQLite reads U+FFFE and U+FFFF back as U+FFFD; the other non-characters are kept out too.
    const char32_t nonCharacters[] = {0xfffe, 0xffff, 0xfdd0, 0xfdef, 0x1fffe, 0x1ffff, 0x10fffe, 0x10ffff};
    struct Case {
        ClipKind kind;
        QString text;
        std::optional<QString> fileName, fileType;
    };
    std::vector<Case> cases;
    for (char32_t c : nonCharacters) {
        const QString odd = QStringLiteral("a") + QString::fromUcs4(&c, 1) + QStringLiteral("b");
        cases.push_back({ClipKind::text, odd, {}, {}});
        cases.push_back({ClipKind::file, QStringLiteral("/tmp/x"), odd, {}});
        cases.push_back({ClipKind::file, QStringLiteral("/tmp/x"), QStringLiteral("x"), odd});
    }
    cases.push_back({ClipKind::text, QString::fromUtf8("plain words \xF0\x9F\x98\x80"), {}, {}});
    std::map<QUuid, QString> hashes;
    QUuid plain;
    {
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ModelContext &ctx = setup.container->mainContext();
        for (const Case &c : cases) {
            const QString hash = hashOf(c.kind, c.text, c.fileName, c.fileType);
            plain = addClip(ctx, c.kind, c.text, hash, c.fileName, c.fileType)->dedupID();
            hashes[plain] = hash;
        }
        ASSERT_TRUE(ctx.save());
        // The last, plain one still keeps no hash of its own.
        EXPECT_EQ(storedHashLength(ctx, plain), 0);
    }
    std::map<QString, QString> read;
    StoreReader reader(path);
    ASSERT_TRUE(reader.clipsChangedSince(0, [&](const storerow::Clip &c) { read[c.dedupID] = c.contentHash; }));
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ModelContext &ctx = setup.container->mainContext();
    for (const auto &[id, hash] : hashes) {
        ClipRef clip = ctx.clipWithDedupID(id);
        ASSERT_TRUE(clip);
        EXPECT_EQ(clip->contentHash(), hash) << qPrintable(clip->text().value_or(QString()));
        EXPECT_EQ(ctx.newestClipWithHash(hash), clip);
        EXPECT_EQ(read[uuidText(id)], hash);
    }
}

TEST(StoreClipKeys, AHashTheStoreDoesNotKeepIsAlwaysTheSameForTheSameWords)
{
    // Rows whose words give their hash back keep none: were the recipe of the hash to change, every
    // such stored clip would silently get another hash, and no longer match its repeats or the
    // sync folder's records. A change of recipe needs a schema step that stores the old hashes.
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    const QString words = QStringLiteral("Pinned words, 2026");
    QUuid id;
    {
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ModelContext &ctx = setup.container->mainContext();
        id = addClip(ctx, ClipKind::text, words, hashOf(ClipKind::text, words))->dedupID();
        ASSERT_TRUE(ctx.save());
        ASSERT_EQ(storedHashLength(ctx, id), 0);
    }
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ClipRef clip = setup.container->mainContext().clipWithDedupID(id);
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->contentHash(), QStringLiteral("d2f729751ed3339b6212cad192b9db54d9e1ccf32204c714be5f51653d2de494"));
}

TEST(StoreClipKeys, AStartWritesOnlyTheRowsThatLackTheirKeys)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    {
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ModelContext &ctx = setup.container->mainContext();
        addClip(ctx, ClipKind::text, "kept as text", hashOf(ClipKind::text, "kept as text"));
        addClip(ctx, ClipKind::text, "binary", hashOf(ClipKind::text, "binary"));
        ASSERT_TRUE(ctx.save());
    }
    // An identity not in the form this program writes stays text, and is found at every start.
    onFile(path,
           {"UPDATE clips SET dedupID = 'an-id-of-another-tool' WHERE text = 'kept as text'",
            "CREATE TABLE updates(clip INTEGER)",
            "CREATE TRIGGER counted AFTER UPDATE ON clips BEGIN INSERT INTO updates VALUES(new.id); END"});
    for (int start = 0; start < 2; ++start) {
        onFile(path, {"DELETE FROM updates"});
        ModelContainerFactory::makeSetup({path, systemClock()});
        EXPECT_EQ(onFile(path, {"SELECT COUNT(*) FROM updates"}), 0) << "start " << start;
    }
    // A row that lost its key (an older tool wrote it) is still given one.
    onFile(path, {"UPDATE clips SET hashKey = NULL WHERE text = 'binary'", "DELETE FROM updates"});
    ModelContainerFactory::makeSetup({path, systemClock()});
    EXPECT_EQ(onFile(path, {"SELECT COUNT(*) FROM updates"}), 1);
    EXPECT_EQ(onFile(path, {"SELECT COUNT(*) FROM clips WHERE hashKey IS NULL"}), 0);
    EXPECT_EQ(onFile(path, {"SELECT COUNT(*) FROM clips WHERE dedupID = 'an-id-of-another-tool'"}), 1);
}

TEST(StoreClipKeys, OnlyHashesStoredTwiceAreShared)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    // Two hashes on one key, and a third that is stored twice.
    const QString near1 = "abcdef" + QString(57, '0') + "1", near2 = "abcdef" + QString(57, '0') + "2";
    const QString twice = "abcdee" + QString(58, '0');
    {
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ModelContext &ctx = setup.container->mainContext();
        addClip(ctx, ClipKind::text, "one", near1);
        addClip(ctx, ClipKind::text, "two", near2);
        addClip(ctx, ClipKind::text, "three", twice);
        addClip(ctx, ClipKind::text, "three again", twice);
        ASSERT_TRUE(ctx.save());
    }
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    ModelContext &ctx = setup.container->mainContext();
    EXPECT_EQ(ctx.sharedContentHashes(), QStringList{twice});
    // A clip changed since, now with a hash of a stored one, shares it too.
    ctx.clipsWithHash(twice).front()->setContentHash(near1);
    EXPECT_EQ(ctx.sharedContentHashes(), QStringList{near1});
}

TEST(StoreClipKeys, AStoreMostlyOfFreePagesIsRewrittenAtOpenAndOneWithAFewIsNot)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    {
        auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
        ModelContext &ctx = setup.container->mainContext();
        for (int i = 0; i < 400; ++i) {
            const QString text = QStringLiteral("clip %1 ").arg(i) + QString(2000, QChar(u'a' + i % 26));
            addClip(ctx, ClipKind::text, text, hashOf(ClipKind::text, text));
        }
        ASSERT_TRUE(ctx.save());
    }
    const QString freePages = QStringLiteral("PRAGMA freelist_count");
    // A few gone: not worth holding up a start.
    onFile(path, {"DELETE FROM clips WHERE id % 10 = 0"});
    const qint64 few = onFile(path, {freePages});
    ASSERT_GT(few, 0);
    ModelContainerFactory::makeSetup({path, systemClock()});
    EXPECT_EQ(onFile(path, {freePages}), few);
    // Most gone, as after a rewrite that was stopped: the next start does it.
    onFile(path, {"DELETE FROM clips WHERE id > 40"});
    ASSERT_GT(onFile(path, {freePages}) * 4, onFile(path, {"PRAGMA page_count"}));
    auto setup = ModelContainerFactory::makeSetup({path, systemClock()});
    EXPECT_EQ(setup.container->mainContext().clipCount(), 36);
    EXPECT_EQ(onFile(path, {freePages}), 0);
}
