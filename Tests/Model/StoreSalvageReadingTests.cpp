#include "Model/DamagedStores.h"
#include "Support/PagesFixture.h"

#include "Quillmere/Model/StoreCaretaker.h"
#include "Quillmere/Model/StoreSalvage.h"
#include "Quillmere/Model/StoreSchema.h"

#include <QFile>
#include <QSet>
#include <sqlite3.h>

using namespace quillmere;

// The salvage keeps every row SQLite reads of a damaged store, the way SQLite reads it; the
// yardstick is what SQLite itself reads of the damaged file, never the salvage's own count.

namespace {

constexpr qint64 kPage = StoreSchema::pageBytes;
constexpr int kTexts = 2990;
// Then pictures and files, whose bytes alone give their hashes.
constexpr int kClips = kTexts + 10;
// Every this many clips one is long enough to spill over pages of its own.
constexpr int kLongEvery = 100;

QString clipText(int i)
{
    const QString head = QString("<copy %1> ").arg(i, 4, 10, QChar('0'));
    return i % kLongEvery == 0 ? head.repeated(700) + QString("<end %1>").arg(i) : head.repeated(25);
}

// A store of kClips clips, its log folded into the file.
const QByteArray &storeBytes()
{
    static const QByteArray made = [] {
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
            for (int i = 1; i <= kTexts; ++i)
                clips.context().insert(clips.makeClip(test::StoreFixture::textContent(clipText(i))));
            for (int i = kTexts + 1; i <= kClips; ++i) {
                const QByteArray bytes = QByteArray::number(i).repeated(3000);
                clips.context().insert(clips.makeClip(
                    i % 2 ? CapturedContent{.kind = ClipKind::image, .imageData = bytes}
                          : CapturedContent{
                              .kind = ClipKind::file, .fileData = bytes, .fileName = QString("%1.txt").arg(i)}));
            }
            EXPECT_TRUE(clips.save());
        }
        sqlite3 *db = nullptr;
        EXPECT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        return test::fileBytes(path);
    }();
    return made;
}

struct Salvaged {
    std::vector<qint64> readable, kept;
    StoreSalvage::Outcome outcome;
    QString message;
};

// Salvages the store `bytes` at a path of its own, after `damage` changed the file there; `inspect`
// is given the path of the store read back.
Salvaged salvage(const QByteArray &bytes, const std::function<void(const QString &)> &damage = {},
                 const std::function<void(const QString &)> &inspect = {})
{
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    EXPECT_TRUE(test::writeFileBytes(path, bytes));
    if (damage)
        damage(path);
    Salvaged out;
    out.readable = test::rowsReadableByID(path, "clips", kClips);
    out.outcome = StoreSalvage::salvage(path, QDateTime::currentDateTime());
    EXPECT_FALSE(out.outcome.unfinished) << qPrintable(out.outcome.error);
    EXPECT_TRUE(out.outcome.placed) << qPrintable(out.outcome.error);
    out.kept = test::rowIDsIn(path, "clips");
    if (inspect)
        inspect(path);
    StoreTrouble told{StoreTrouble::Kind::storeMovedAside, out.outcome.aside, false, int(out.kept.size())};
    told.loss = out.outcome.loss;
    out.message = told.message();
    return out;
}

// The texts of `ids` in the store at `path`, in row id order.
QStringList textsOf(const QString &path, const std::vector<qint64> &ids)
{
    QStringList texts;
    sqlite3 *db = nullptr;
    sqlite3_stmt *read = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK
        && sqlite3_prepare_v2(db, "SELECT text FROM clips WHERE id = ?", -1, &read, nullptr) == SQLITE_OK)
        for (const qint64 id : ids) {
            sqlite3_bind_int64(read, 1, id);
            texts << (sqlite3_step(read) == SQLITE_ROW
                          ? QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(read, 0)))
                          : QString());
            sqlite3_reset(read);
        }
    sqlite3_finalize(read);
    sqlite3_close(db);
    return texts;
}

// The values of `column` of the clips `ids` in the store at `path`, typed: "blob:00FF".
QStringList valuesOf(const QString &path, const QString &column, const std::vector<qint64> &ids)
{
    QStringList values;
    sqlite3 *db = nullptr;
    sqlite3_stmt *read = nullptr;
    const QByteArray sql = QString("SELECT typeof(%1) || ':' || hex(%1) FROM clips WHERE id = ?").arg(column).toUtf8();
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK
        && sqlite3_prepare_v2(db, sql.constData(), -1, &read, nullptr) == SQLITE_OK)
        for (const qint64 id : ids) {
            sqlite3_bind_int64(read, 1, id);
            values << (sqlite3_step(read) == SQLITE_ROW
                           ? QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(read, 0)))
                           : QString());
            sqlite3_reset(read);
        }
    sqlite3_finalize(read);
    sqlite3_close(db);
    return values;
}

// Spoils the leaf page of a table that holds the start of `bytes`, which its overflow pages (and
// pages freed since) may hold as well: a page SQLite cannot read.
bool spoilLeafHolding(const QString &path, const QByteArray &bytes)
{
    QByteArray file = test::fileBytes(path);
    for (qsizetype at = file.indexOf(bytes); at >= 0; at = file.indexOf(bytes, at + 1)) {
        const qsizetype page = at / kPage * kPage;
        // 13: a leaf of a table's tree. No page type has every bit set.
        if (page > 0 && file.at(page) == 13) {
            file.replace(page, kPage, QByteArray(kPage, char(0xff)));
            return test::writeFileBytes(path, file);
        }
    }
    return false;
}

bool execOn(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    const bool done = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK
        && sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return done;
}

} // namespace

TEST(StoreSalvageReading, AStoreThatLostItsLastPagesKeepsWhatSQLiteReadsOfItAndSaysSomeWereLost)
{
    QByteArray bytes = storeBytes();
    const qint64 pages = bytes.size() / kPage;
    bytes.truncate((pages - pages / 10) * kPage);
    const Salvaged salvaged = salvage(bytes);
    // The header counts the pages cut off: only a writable schema reads the file at all.
    ASSERT_GT(salvaged.readable.size(), size_t(kClips / 2));
    ASSERT_LT(salvaged.readable.size(), size_t(kClips));
    EXPECT_EQ(salvaged.kept, salvaged.readable);
    // What went with the pages cut off is counted from the clips' indexes, whose pages were not all
    // cut off, and no more than SQLite cannot read.
    const int lost = kClips - int(salvaged.readable.size());
    EXPECT_NE(salvaged.outcome.loss.lostAtMost, salvaged.outcome.loss.lost);
    EXPECT_LE(salvaged.outcome.loss.lost, lost);
    EXPECT_GE(salvaged.outcome.loss.lost, lost * 9 / 10);
    EXPECT_TRUE(salvaged.message.contains(
        QString("The %1 copies that could still be read were kept").arg(salvaged.readable.size())))
        << qPrintable(salvaged.message);
    // The newest rows were on the pages cut off, which no key bounds.
    EXPECT_TRUE(salvaged.message.contains(
        QString("At least %1 copies could not be read and were lost.").arg(salvaged.outcome.loss.lost)))
        << qPrintable(salvaged.message);
}

TEST(StoreSalvageReading, ACellPointerOfAnInteriorPageWithABitFlippedAboveThePageSizeLosesNothing)
{
    // The lowest bit above the page size, and the highest.
    for (const quint16 bit : {quint16(kPage), quint16(0x8000)}) {
        SCOPED_TRACE(bit);
        const Salvaged salvaged = salvage(storeBytes(), [bit](const QString &path) {
            QByteArray bytes = test::fileBytes(path);
            ASSERT_TRUE(test::flipInteriorCellPointer(bytes, kPage, test::rootPageOf(path, "clips"), bit))
                << "the clips' tree has no interior page";
            ASSERT_TRUE(test::writeFileBytes(path, bytes));
        });
        // SQLite drops the bit and reads every clip.
        ASSERT_EQ(salvaged.readable.size(), size_t(kClips));
        EXPECT_EQ(salvaged.kept, salvaged.readable);
        EXPECT_EQ(salvaged.outcome.loss.lost, 0);
        EXPECT_EQ(salvaged.outcome.loss.lostAtMost, 0);
        EXPECT_EQ(salvaged.outcome.loss.damaged, 0);
        EXPECT_TRUE(salvaged.message.contains("No copy was lost.")) << qPrintable(salvaged.message);
    }
}

TEST(StoreSalvageReading, ARowWithNullWhereItsColumnTakesNoneIsKeptWholeWithTheColumnsDefaultAndCountedDamaged)
{
    std::vector<qint64> nulled;
    for (qint64 id = 7; id <= kClips; id += 97)
        nulled.push_back(id);
    QStringList before, after;
    const Salvaged salvaged = salvage(
        storeBytes(),
        [&](const QString &path) {
            before = textsOf(path, nulled);
            ASSERT_TRUE(test::setNullWhereNotAllowed(path, "clips", "isPinned", "id % 97 = 7"));
            ASSERT_TRUE(test::setNullWhereNotAllowed(path, "clips", "kind", "id % 97 = 7"));
        },
        [&](const QString &path) { after = textsOf(path, nulled); });
    // Text and all.
    EXPECT_TRUE(after == before);
    EXPECT_FALSE(before.contains(QString()));
    ASSERT_EQ(salvaged.readable.size(), size_t(kClips));
    EXPECT_EQ(salvaged.kept, salvaged.readable);
    EXPECT_EQ(salvaged.outcome.loss.damaged, int(nulled.size()));
    EXPECT_EQ(salvaged.outcome.loss.lost, 0);
    EXPECT_TRUE(salvaged.message.contains(QString("%1 of them came back with damaged content").arg(nulled.size())))
        << qPrintable(salvaged.message);
}

TEST(StoreSalvageReading, ClipsWhoseLastOverflowPageWasZeroedAreKeptAndCountedAsDamagedContent)
{
    int zeroed = 0;
    const Salvaged salvaged = salvage(storeBytes(), [&](const QString &path) {
        QByteArray bytes = test::fileBytes(path);
        for (int i = kLongEvery; i <= kClips; i += 3 * kLongEvery) {
            // The page that ends the clip's text, the last of its chain; its search key's too.
            ASSERT_GT(test::zeroOverflowEnding(bytes, kPage, QString("<end %1>").arg(i).toUtf8()), 0) << i;
            ++zeroed;
        }
        ASSERT_TRUE(test::writeFileBytes(path, bytes));
    });
    ASSERT_GT(zeroed, 5);
    // SQLite reads them, zeroes and all.
    ASSERT_EQ(salvaged.readable.size(), size_t(kClips));
    EXPECT_EQ(salvaged.kept, salvaged.readable);
    EXPECT_EQ(salvaged.outcome.loss.damaged, zeroed);
    EXPECT_TRUE(salvaged.message.contains(QString("%1 of them came back with damaged content").arg(zeroed)))
        << qPrintable(salvaged.message);
}

TEST(StoreSalvageReading, ARowWithNullForItsIdentityOrHashGetsANewIdentityAndTheHashItsContentGives)
{
    std::vector<qint64> nulled;
    for (qint64 id = 7; id <= kClips; id += 97)
        nulled.push_back(id);
    // Pictures and files too, whose bytes give their hashes.
    for (qint64 id = kTexts + 1; id <= kClips; ++id)
        nulled.push_back(id);
    QStringList hashes, identities;
    const Salvaged salvaged = salvage(
        storeBytes(),
        [&](const QString &path) {
            hashes = valuesOf(path, "contentHash", nulled);
            const QString where = QString("id % 97 = 7 OR id > %1").arg(kTexts);
            ASSERT_TRUE(test::setNullWhereNotAllowed(path, "clips", "dedupID", where));
            ASSERT_TRUE(test::setNullWhereNotAllowed(path, "clips", "contentHash", where));
        },
        [&](const QString &path) {
            EXPECT_TRUE(valuesOf(path, "contentHash", nulled) == hashes);
            identities = valuesOf(path, "dedupID", nulled);
        });
    ASSERT_EQ(salvaged.kept.size(), size_t(kClips));
    EXPECT_EQ(identities.size(), qsizetype(nulled.size()));
    EXPECT_EQ(QSet<QString>(identities.begin(), identities.end()).size(), identities.size());
    for (const QString &id : identities)
        EXPECT_TRUE(id.startsWith("blob:") && id.size() == 5 + 32) << qPrintable(id);
    // Their rows were damaged all the same.
    EXPECT_EQ(salvaged.outcome.loss.damaged, int(nulled.size()));
}

TEST(StoreSalvageReading, PicturesAndFilesAreCountedDamagedOnlyWhenTheirBytesDidNotComeBack)
{
    {
        SCOPED_TRACE("bytes on a page SQLite cannot read");
        std::vector<qint64> images, files;
        const Salvaged salvaged = salvage(storeBytes(), [&](const QString &path) {
            ASSERT_TRUE(spoilLeafHolding(path, QByteArray::number(kTexts + 1).repeated(500)));
            ASSERT_TRUE(spoilLeafHolding(path, QByteArray::number(kTexts + 2).repeated(500)));
            images = test::rowsReadableByID(path, "clip_images", kClips);
            files = test::rowsReadableByID(path, "clip_files", kClips);
        });
        const int imagesLost = (kClips - kTexts) / 2 - int(images.size());
        const int filesLost = (kClips - kTexts) / 2 - int(files.size());
        ASSERT_GT(imagesLost, 0);
        ASSERT_GT(filesLost, 0);
        // A picture without its picture is gone; a file without its bytes is kept, damaged.
        EXPECT_EQ(salvaged.kept.size(), size_t(kClips - imagesLost));
        EXPECT_EQ(salvaged.outcome.loss.lost, imagesLost);
        EXPECT_EQ(salvaged.outcome.loss.damaged, filesLost);
        EXPECT_TRUE(salvaged.message.contains(QString("%1 of them came back with damaged content").arg(filesLost)))
            << qPrintable(salvaged.message);
    }
    {
        SCOPED_TRACE("hashes an import or a peer gave");
        const Salvaged salvaged = salvage(storeBytes(), [](const QString &path) {
            ASSERT_TRUE(
                execOn(path, "UPDATE clips SET contentHash = randomblob(32) WHERE imageSize > 0 OR fileSize > 0"));
        });
        ASSERT_EQ(salvaged.kept.size(), size_t(kClips));
        EXPECT_EQ(salvaged.outcome.loss.damaged, 0);
        EXPECT_TRUE(salvaged.message.contains("No copy was lost.")) << qPrintable(salvaged.message);
        EXPECT_FALSE(salvaged.message.contains("damaged content")) << qPrintable(salvaged.message);
    }
}

// Whatever can be counted of what was lost is counted against what SQLite reads; where no count of
// the pages read can see the clips lost, the words say "at least", never "no copy".
TEST(StoreSalvageReading, ALeafNoInteriorCellNamesAnyMoreIsToldAsAtLeastTheClipsTheIndexesStillList)
{
    const Salvaged salvaged = salvage(storeBytes(), [](const QString &path) {
        QByteArray bytes = test::fileBytes(path);
        ASSERT_TRUE(test::nameNeighboursChild(bytes, kPage, test::rootPageOf(path, "clips")))
            << "the clips' tree has no interior page";
        ASSERT_TRUE(test::writeFileBytes(path, bytes));
    });
    const int unreadable = kClips - int(salvaged.readable.size());
    ASSERT_GT(unreadable, 0);
    EXPECT_EQ(salvaged.kept, salvaged.readable);
    EXPECT_EQ(salvaged.outcome.loss.lost, unreadable);
    EXPECT_EQ(salvaged.outcome.loss.lostAtMost, -1);
    EXPECT_FALSE(salvaged.message.contains("No copy was lost")) << qPrintable(salvaged.message);
    EXPECT_TRUE(
        salvaged.message.contains(QString("At least %1 copies could not be read and were lost.").arg(unreadable)))
        << qPrintable(salvaged.message);
}

TEST(StoreSalvageReading, AStoreCutToHalfAPageSaysNothingWasCountedAndNeverThatNoneWasLost)
{
    QByteArray bytes = storeBytes();
    bytes.truncate(kPage / 2);
    QTemporaryDir dir;
    const QString path = dir.filePath("default.store");
    ASSERT_TRUE(test::writeFileBytes(path, bytes));
    const StoreSalvage::Outcome outcome = StoreSalvage::salvage(path, QDateTime::currentDateTime());
    EXPECT_FALSE(outcome.unfinished) << qPrintable(outcome.error);
    StoreTrouble told{StoreTrouble::Kind::storeMovedAside, outcome.aside, false,
                      outcome.placed ? int(test::rowIDsIn(path, "clips").size()) : 0};
    told.loss = outcome.loss;
    const QString message = told.message();
    EXPECT_EQ(outcome.loss.lost, -1);
    EXPECT_FALSE(message.contains("No copy was lost")) << qPrintable(message);
    EXPECT_FALSE(StoreSalvage::describeLoss(outcome.loss).contains("-1"))
        << qPrintable(StoreSalvage::describeLoss(outcome.loss));
}

TEST(StoreSalvageReading, ARowWithNothingOfAClipLeftInItIsCountedDamagedAndNotKept)
{
    constexpr qint64 junk = 12796312;
    std::vector<qint64> readBefore;
    const Salvaged salvaged = salvage(storeBytes(), [&](const QString &path) {
        // What a damaged log frame read as a leaf gives: a key far past the others, no date, no words.
        ASSERT_TRUE(execOn(path,
                           "INSERT INTO clips(id, createdAt, kind, text, contentHash) "
                           "VALUES (12796312, 0, 'text', NULL, '')"));
        readBefore = test::rowIDsIn(path, "clips");
    });
    ASSERT_EQ(readBefore.size(), size_t(kClips + 1));
    ASSERT_EQ(readBefore.back(), junk);
    ASSERT_EQ(salvaged.readable.size(), size_t(kClips));
    EXPECT_EQ(salvaged.kept, salvaged.readable);
    EXPECT_EQ(salvaged.outcome.loss.damaged, 1);
    EXPECT_EQ(salvaged.outcome.loss.leftOut, 1);
    EXPECT_EQ(salvaged.outcome.loss.lost, 0);
    EXPECT_TRUE(salvaged.message.contains("1 copy came back with nothing of it left and was left out."))
        << qPrintable(salvaged.message);
    EXPECT_FALSE(salvaged.message.contains("damaged content")) << qPrintable(salvaged.message);
}
