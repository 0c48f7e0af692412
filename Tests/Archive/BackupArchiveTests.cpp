#include "Quillmere/Archive/ArchiveImport.h"
#include "Support/GoldenFiles.h"
#include "Support/PagesFixture.h"

#include "Quillmere/Archive/BackupArchive.h"
#include "Quillmere/Archive/BackupJsonReader.h"
#include "Quillmere/Archive/JsonText.h"

#include <QJsonDocument>

#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <sys/stat.h>

using namespace quillmere;
using quillmere::test::golden;
using quillmere::test::StoreFixture;
using quillmere::test::withField;

namespace {

// The document the golden files describe.
ClipArchiveDocument goldenDocument()
{
    ClipArchiveDocument doc;
    doc.manifest = {1, test::utc(2026, 3, 1, 12, 0, 0, 250), "0.1.0", 2, 1};
    doc.pinboards = {{"Work/Home", "blue", "folder", 0}};
    doc.clips = {{.dedupID = "6F9619FF-8B86-D011-B42D-00C04FC964FF",
                  .createdAt = test::utc(2026, 2, 28, 9, 15, 30, 125),
                  .text = QString::fromUtf8("Line one\n\"quoted\" \xC3\xA9/\xC3\xBC\x01"),
                  .customTitle = QString(""),
                  .sourceAppName = QString("Editor"),
                  .sourceAppBundleID = QString("org.example.Editor"),
                  .isPinned = true,
                  .contentHash = "abc",
                  .isSavedToPage = true,
                  .pageName = QString("Work/Home")},
                 {.dedupID = "0B1F2E3D-4C5B-6A79-8897-A6B5C4D3E2F1",
                  .createdAt = test::utc(2026, 2, 27, 8, 0, 0),
                  .kind = "image",
                  .fileName = QString("shot.png"),
                  .fileTypeIdentifier = QString("public.png"),
                  .recognizedText = QString("OCR"),
                  .linkTitle = QString("Link"),
                  .imageDataBase64 = QString("+/+/"),
                  .fileDataBase64 = QString("AAE=")}};
    return doc;
}

ClipArchiveError errorOf(const QByteArray &bytes, qint64 maxJson = backup::maxJsonBytes)
{
    const ClipArchiveReadResult result = backup::decode(bytes, maxJson);
    EXPECT_FALSE(result.ok());
    return result.ok() ? ClipArchiveError() : result.error();
}

QByteArray compressed(const QByteArray &json)
{
    return *backup::deflateRaw(json);
}

const QString kCorruptText = QStringLiteral("This file isn't a valid Brindlewax backup, or it's damaged.");

QByteArray withClipField(const QString &key, const QJsonValue &value)
{
    return test::withField(goldenDocument().toJson(), key, value, true);
}

} // namespace

TEST(BackupFormat, GoldenFilesMatchTheWrittenFormExactly)
{
    const ClipArchiveDocument doc = goldenDocument();
    const auto bytes = backup::encoded(doc);
    ASSERT_TRUE(bytes);
    // The compressed form is a bare DEFLATE stream of exactly the canonical text.
    EXPECT_EQ(backup::inflateRaw(*bytes, 1 << 20), golden("backup-canonical.json"));
    EXPECT_FALSE(bytes->startsWith("{"));

    // Files compressed by another DEFLATE implementation, written by hand, or plain JSON all read.
    for (const char *name : {"backup-canonical.quillmerebackup", "backup-canonical.json", "backup-handwritten.json"}) {
        const ClipArchiveReadResult read = backup::decode(golden(name));
        ASSERT_TRUE(read.ok()) << name << ": " << qPrintable(read.error().errorDescription());
        EXPECT_EQ(read.value(), doc) << name;
    }
    EXPECT_EQ(backup::decode(*bytes).value(), doc);
}

TEST(BackupFormat, DamagedOrForeignFilesAreCorrupt)
{
    EXPECT_EQ(errorOf({}).errorDescription(), kCorruptText);
    QByteArray random(4096, Qt::Uninitialized);
    for (int i = 0; i < random.size(); ++i)
        random[i] = char((i * 7919 + 13) % 251);
    EXPECT_EQ(errorOf(random).code, ClipArchiveError::Code::corrupt);
    EXPECT_EQ(errorOf(R"({"pinboards":[],"clips":[]})").code, ClipArchiveError::Code::corrupt);

    // A compressed file cut short.
    const QByteArray whole = *backup::encoded(goldenDocument());
    EXPECT_EQ(errorOf(whole.left(whole.size() / 2)).code, ClipArchiveError::Code::corrupt);

    // A required key missing; dates in a form other than the internet date-time; payloads that
    // would restore as nothing are refused rather than dropped.
    for (const QByteArray &bad : {withClipField("isPinned", QJsonValue::Undefined), withClipField("createdAt", 1.5e9),
                                  withClipField("createdAt", "2026-02-28"), withClipField("imageDataBase64", "AAE"),
                                  withClipField("imageDataBase64", "AA\nE="), withClipField("imageDataBase64", "A*E="),
                                  withClipField("imageDataBase64", "AA=E")})
        EXPECT_EQ(errorOf(bad).code, ClipArchiveError::Code::corrupt) << bad.constData();
}

TEST(BackupFormat, VersionIsJudgedOnlyAfterTheWholeDocumentReads)
{
    auto withVersion = [](int version) {
        QJsonObject root = goldenDocument().toJson();
        QJsonObject manifest = root["manifest"].toObject();
        manifest["version"] = version;
        return withField(root, "manifest", manifest);
    };
    const ClipArchiveError newer = errorOf(compressed(withVersion(2)));
    EXPECT_EQ(newer, ClipArchiveError::unsupportedVersion(2, 1));
    EXPECT_EQ(newer.errorDescription(),
              "This backup was made by a newer version of Brindlewax (format 2, this app understands up to 1). "
              "Update Brindlewax and try again.");
    EXPECT_TRUE(backup::decode(withVersion(0)).ok());
    EXPECT_TRUE(backup::decode(withVersion(-3)).ok());

    const QJsonObject newerDoc = QJsonDocument::fromJson(withVersion(2)).object();
    EXPECT_EQ(errorOf(withField(newerDoc, "contentHash", QJsonValue::Undefined, true)).code,
              ClipArchiveError::Code::corrupt);
}

TEST(BackupFormat, ReadingIsBoundedBeforeAndWhileInflating)
{
    // A few kilobytes that would inflate to 64 MiB are stopped at the bound.
    const QByteArray bomb = compressed(QByteArray(64 << 20, ' '));
    ASSERT_LT(bomb.size(), 100 * 1024);
    const ClipArchiveError inflated = errorOf(bomb, 1 << 20);
    EXPECT_EQ(inflated.code, ClipArchiveError::Code::tooLarge);
    EXPECT_TRUE(inflated.errorDescription().contains("1.0 MiB")) << qPrintable(inflated.errorDescription());

    // Plain JSON over the bound, and a file over the file cap (refused by its size).
    EXPECT_EQ(errorOf(QByteArray(2000, ' ') + golden("backup-canonical.json"), 1000).code,
              ClipArchiveError::Code::tooLarge);
    QTemporaryDir dir;
    const QString path = dir.filePath("big.quillmerebackup");
    test::writeBytes(path, QByteArray(5000, 'x'));
    const ClipArchiveReadResult big = backup::readFile(path, 4096);
    ASSERT_FALSE(big.ok());
    EXPECT_EQ(big.error(), ClipArchiveError::tooLarge(5000, 4096));
    EXPECT_TRUE(big.error().errorDescription().contains("4.9 KiB"));

    const ClipArchiveReadResult missing = backup::readFile(dir.filePath("none"));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, ClipArchiveError::Code::unreadable);
    EXPECT_FALSE(missing.error().errorDescription().isEmpty());
}

TEST(BackupFormat, BuiltFromTheStoreWithoutTemporaryClipsAndRestoredIntoAnEmptyStore)
{
    StoreFixture source;
    PageRef unnamed = source.store->createPage(QString(), QString("teal"));
    ASSERT_TRUE(source.store->setPageLock(source.store->createPage("Locked"), "secret"));
    ClipRef odd = source.putText("odd kind");
    odd->setKindRawValue("snippet");
    odd->setCustomTitle(QString("  spaced  "));
    source.store->assignClip(odd, unnamed);
    source.putText("482913")->setExpiresAt(source.clock.now().addSecs(300));
    const QByteArray pdf(100000, 'r');
    ClipRef file = source.put({.kind = ClipKind::file,
                               .text = QString("/home/me/report.pdf"),
                               .imageData = QByteArray("\x89PNG", 4),
                               .fileData = pdf,
                               .fileName = QString("report.pdf")});
    file->setIsPinned(true);
    ASSERT_TRUE(source.store->save());

    const auto doc = ClipArchiveDocument::make(source.store->historyNewestFirst(), source.store->pages(),
                                               test::utc(2026, 3, 1, 0, 0, 0), QString::fromUtf8("\xE2\x80\x94"));
    EXPECT_EQ(doc.manifest.clipCount, 2);
    EXPECT_EQ(doc.manifest.pinboardCount, 2);
    ASSERT_EQ(doc.clips.size(), 2u);
    EXPECT_EQ(doc.clips[0].imageDataBase64, QString("iVBORw=="));
    EXPECT_FALSE(doc.clips[0].pageName);
    EXPECT_EQ(doc.clips[1].kind, "text");
    EXPECT_EQ(doc.clips[1].customTitle, QString("  spaced  "));
    EXPECT_EQ(doc.clips[1].pageName, QString("Untitled"));
    EXPECT_EQ(doc.pinboards[0].name, "Untitled");
    EXPECT_EQ(doc.pinboards[1].name, "Locked");

    QTemporaryDir dir;
    const QString path = dir.filePath(backup::suggestedFileName(QDate(2026, 3, 1)));
    EXPECT_TRUE(path.endsWith("Brindlewax-Backup-2026-03-01.quillmerebackup"));
    ASSERT_TRUE(backup::writeFile(path, doc));
    const ClipArchiveReadResult read = backup::readFile(path);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.value(), doc);
    StoreFixture target(true);
    EXPECT_EQ(archive::importArchive(*target.store, read.value()), (archive::ArchiveImportResult{2, 0}));
    target.open();
    ASSERT_EQ(target.ctx().clipCount(), 2);
    const ClipRef restoredFile = target.ctx().clipWithDedupID(file->dedupID());
    ASSERT_TRUE(restoredFile);
    EXPECT_EQ(restoredFile->fileData(), pdf);
    EXPECT_EQ(restoredFile->text(), QString("report.pdf")); // no path from elsewhere
    EXPECT_TRUE(restoredFile->isPinned());
    const ClipRef restoredOdd = target.ctx().clipWithDedupID(odd->dedupID());
    ASSERT_TRUE(restoredOdd && restoredOdd->pinboard());
    EXPECT_EQ(restoredOdd->pinboard()->colorName(), "teal");
    EXPECT_EQ(restoredOdd->createdAt(), odd->createdAt());
}

TEST(BackupFormat, ASnapshotLeavesStoredPayloadsUnreadAndSkipsClipsDeletedBeforeTheyAreRead)
{
    StoreFixture source(true);
    const QByteArray image(200000, 'i'), pdf(150000, 'f');
    source.putText("plain");
    source.put({.kind = ClipKind::image, .imageData = image});
    source.put({.kind = ClipKind::file, .text = QString("a.pdf"), .fileData = pdf, .fileName = QString("a.pdf")});
    // The newest is deleted once the snapshot is taken; reopened, nothing is in memory.
    source.put({.kind = ClipKind::image, .imageData = QByteArray(100000, 'g')});
    source.open();

    const std::vector<ClipRef> clips = source.ctx().clipsNewestFirst();
    backup::Snapshot snapshot =
        backup::Snapshot::take(clips, {}, test::utc(2026, 3, 1, 0, 0, 0), "1", source.store->container().storeURL());
    for (const ClipRef &clip : clips)
        EXPECT_TRUE(clip->isImageDataLoaded() == !clip->hasImageData()
                    && clip->isFileDataLoaded() == !clip->hasFileData());
    source.ctx().remove(clips[0]);
    ASSERT_TRUE(source.store->save());

    auto doc = std::move(snapshot).document();
    ASSERT_TRUE(doc.ok()) << qPrintable(doc.error());
    EXPECT_EQ(doc.value().manifest.clipCount, 3);
    ASSERT_EQ(doc.value().clips.size(), 3u);
    EXPECT_EQ(doc.value().clips[0].fileDataBase64, archive::encodeBase64(pdf));
    EXPECT_EQ(doc.value().clips[1].imageDataBase64, archive::encodeBase64(image));
    EXPECT_FALSE(doc.value().clips[2].imageDataBase64 || doc.value().clips[2].fileDataBase64);
}

TEST(BackupFormat, AWrittenBackupFollowsTheUmaskAndOneTooLargeToRestoreIsNotWritten)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("b.quillmerebackup");
    const qint64 size = backup::jsonText(goldenDocument()).size();
    QString error;
    {
        // A file the user names is a document like any other: the user decides who reads it.
        test::ScopedUmask mask(022);
        ASSERT_TRUE(backup::writeFile(path, goldenDocument(), &error, size)) << qPrintable(error);
    }
    EXPECT_EQ(test::permissionBits(path), 0644u);
    {
        test::ScopedUmask mask(077);
        ASSERT_TRUE(backup::writeFile(path, goldenDocument(), &error, size)) << qPrintable(error);
    }
    EXPECT_EQ(test::permissionBits(path), 0600u);

    const QString big = dir.filePath("big.quillmerebackup");
    EXPECT_FALSE(backup::writeFile(big, goldenDocument(), &error, size - 1));
    EXPECT_TRUE(error.contains("more than Brindlewax can restore")) << qPrintable(error);
    EXPECT_FALSE(QFileInfo::exists(big));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1); // no temporary file left behind
}

TEST(BackupFormat, WrittenAndReadOffTheMainThread)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("b.quillmerebackup");
    QObject receiver;
    std::optional<std::optional<QString>> written;
    QThread *deliveredOn = nullptr;
    backup::writeFileInBackground(path, goldenDocument(), &receiver, [&](std::optional<QString> error) {
        written = error;
        deliveredOn = QThread::currentThread();
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return written.has_value(); }));
    EXPECT_FALSE(*written);
    EXPECT_EQ(deliveredOn, QThread::currentThread());

    std::optional<ClipArchiveReadResult> read;
    backup::readFileInBackground(path, &receiver, [&](ClipArchiveReadResult result) { read = std::move(result); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return read.has_value(); }));
    ASSERT_TRUE(read->ok());
    EXPECT_EQ(read->value(), goldenDocument());

    written.reset();
    backup::writeFileInBackground(dir.filePath("missing/folder/b.quillmerebackup"), goldenDocument(), &receiver,
                                  [&](std::optional<QString> error) { written = error; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return written.has_value(); }));
    ASSERT_TRUE(*written);
    EXPECT_FALSE((*written)->isEmpty());

    // A receiver that is gone gets nothing.
    bool delivered = false;
    {
        QObject gone;
        backup::readFileInBackground(path, &gone, [&](ClipArchiveReadResult) { delivered = true; });
    }
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_FALSE(delivered);
}

TEST(BackupFormat, ALargeBackupIsWrittenInPiecesAndReadBackWhole)
{
    ClipArchiveDocument doc = goldenDocument();
    const QString payload = archive::encodeBase64(QByteArray(300 * 1024, 'x').replace(7, 1, "\xff"));
    for (int i = 0; i < 40; ++i) {
        ClipArchiveClip clip = doc.clips[size_t(i % 2)];
        clip.text = QString("clip %1 / %2").arg(i).arg(QString(i * 10, QChar(0xe9)));
        if (i % 3 == 0)
            clip.imageDataBase64 = payload;
        doc.clips.push_back(clip);
    }
    const QByteArray file = *backup::encoded(doc);
    const QByteArray json = backup::jsonText(doc);
    ASSERT_GT(json.size(), 4 * backup::defaultPieceSize);
    EXPECT_EQ(backup::inflateInPieces(file, 1 << 30), json);
    EXPECT_EQ(backup::inflateSerially(file, 1 << 30), json);
    EXPECT_EQ(backup::decode(file).value(), doc);

    bool exceeded = false;
    EXPECT_FALSE(backup::inflateRaw(file, json.size() - 1, &exceeded));
    EXPECT_TRUE(exceeded);
    // Damage in the middle of a piece: no reader gets the text out of it.
    QByteArray damaged = file;
    damaged[damaged.size() / 2] = char(damaged[damaged.size() / 2] ^ 0x55);
    EXPECT_NE(backup::inflateRaw(damaged, 1 << 30), json);
}

TEST(BackupFormat, TheDirectWriterAndReaderAgreeWithTheJsonDom)
{
    ClipArchiveDocument doc = goldenDocument();
    doc.manifest.clipCount = (qint64(1) << 53) + 1;
    doc.pinboards.push_back({QString::fromUtf8("\xF0\x9F\x98\x80 \t\"\\"), "", "", -7});
    doc.clips[1].text = QString::fromUtf8("\xE2\x82\xAC\x7F\x1F");
    const QByteArray text = backup::jsonText(doc);
    EXPECT_EQ(text, archive::jsonText(doc.toJson(), archive::JsonLayout::compact));

    auto domRead = [](const QByteArray &json) {
        return ClipArchiveDocument::fromJson(QJsonDocument::fromJson(json).object());
    };
    EXPECT_EQ(archive::readBackupJson(text), domRead(text));
    EXPECT_EQ(archive::readBackupJson(golden("backup-handwritten.json")), domRead(golden("backup-handwritten.json")));
    // Escapes, unknown members of any shape, nulls for optional fields and blanks all read alike.
    const QByteArray variant = withClipField("text", QString::fromUtf8("caf\xC3\xA9 \xF0\x9F\x98\x80"))
                                   .replace("\"kind\"", "\"extra\":{\"a\":[1,2e3,null,true]}, \"kind\"")
                                   .replace("\"linkTitle\"", "\"sourceAppName\":null,\"linkTitle\"");
    ASSERT_TRUE(archive::readBackupJson(variant));
    const QByteArray escapedPayload = withClipField("imageDataBase64", "QUJD").replace("QUJD", "\\u0051UJ\\/");
    ASSERT_TRUE(archive::readBackupJson(escapedPayload));
    EXPECT_EQ(archive::readBackupJson(escapedPayload), domRead(escapedPayload));
    EXPECT_FALSE(archive::readBackupJson(withClipField("imageDataBase64", "QUJD").replace("QUJD", "QU\\qD")));
    EXPECT_EQ(archive::readBackupJson(variant), domRead(variant));
    EXPECT_EQ(*archive::readBackupJson(R"({"manifest":{"version":1.0,"exportedAt":"2026-03-01T12:00:00Z",)"
                                       R"("appVersion":"\u00e9\ud83d\ude00","clipCount":0,"pinboardCount":0},)"
                                       R"("pinboards":[],"clips":[]})"),
              *domRead(R"({"manifest":{"version":1.0,"exportedAt":"2026-03-01T12:00:00Z",)"
                       R"("appVersion":"\u00e9\ud83d\ude00","clipCount":0,"pinboardCount":0},)"
                       R"("pinboards":[],"clips":[]})"));
    // What it is unsure of goes to the DOM reader, never through as something else.
    for (const char *unsure : {R"({"manifest":{},"pinboards":[],"clips":[]})", R"({"clips":[],"clips":[]})",
                               R"({"manifest":{"appVersion":"\ud800"},"pinboards":[],"clips":[]} x)",
                               "{\"manifest\":{\"appVersion\":\"\xC3\"}}", R"([1])", "{\"a\":01}"})
        EXPECT_FALSE(archive::readBackupJson(unsure)) << unsure;
}
