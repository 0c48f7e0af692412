#include "Quillmere/Archive/ArchiveImport.h"
#include "Support/GoldenFiles.h"
#include "Support/PagesFixture.h"

#include "Quillmere/Archive/PageFile.h"

#include <QTemporaryDir>
#include <QTest>

using namespace quillmere;
using quillmere::test::golden;
using quillmere::test::StoreFixture;

namespace {

PageArchive goldenArchive()
{
    PageArchive archive{.name = "Shared",
                        .colorName = "teal",
                        .iconName = "star",
                        .exportedAt = QDateTime(QDate(2026, 3, 1), QTime(12, 0, 1), Qt::UTC)};
    archive.clips = {{.text = QString("Hello/world"), .customTitle = QString("Greeting")},
                     {.kind = "file",
                      .text = QString("/Users/x/a.pdf"),
                      .fileName = QString("a.pdf"),
                      .fileTypeIdentifier = QString("com.adobe.pdf"),
                      .fileData = QByteArray("%PDF-")},
                     {.kind = "weird"}};
    return archive;
}

PageArchiveError errorOf(const QByteArray &bytes, qint64 cap = pagefile::maxBytes)
{
    const auto result = pagefile::decode(bytes, cap);
    EXPECT_FALSE(result.ok());
    return result.ok() ? PageArchiveError() : result.error();
}

QByteArray withField(const char *key, const QJsonValue &value, bool inFirstClip = false)
{
    return test::withField(goldenArchive().toJson(), key, value, inFirstClip);
}

QByteArray withClipField(const char *key, const QJsonValue &value)
{
    return withField(key, value, true);
}

} // namespace

TEST(PageFile, GoldenFilesRoundTrip)
{
    const PageArchive archive = goldenArchive();
    const auto bytes = pagefile::encoded(archive);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(bytes.value(), golden("page-canonical.quillmerepage"));
    for (const char *name : {"page-canonical.quillmerepage", "page-handwritten.quillmerepage"}) {
        const auto read = pagefile::decode(golden(name));
        ASSERT_TRUE(read.ok()) << name << ": " << qPrintable(read.error().userMessage());
        EXPECT_EQ(read.value(), archive) << name;
    }
    EXPECT_EQ(pagefile::decode(bytes.value()).value(), archive);
}

TEST(PageFile, SizeIsCheckedFirstThenStructureThenVersion)
{
    // Exactly the cap is parsed; one byte more is refused with both sizes.
    QByteArray atCap = golden("page-canonical.quillmerepage");
    const qint64 cap = atCap.size() + 100;
    atCap.append(QByteArray(cap - atCap.size(), ' '));
    EXPECT_TRUE(pagefile::decode(atCap, cap).ok());
    EXPECT_EQ(errorOf(atCap + ' ', cap), PageArchiveError::tooLarge(cap + 1, cap));

    EXPECT_EQ(errorOf(withField("version", 2)), PageArchiveError::unsupportedVersion(2));
    EXPECT_EQ(errorOf(withField("version", 0)), PageArchiveError::unsupportedVersion(0));
    EXPECT_EQ(errorOf(withField("version", QJsonValue::Undefined)), PageArchiveError::corruptData());
    // A newer format that is too big is "too large"; one that does not decode is "damaged".
    EXPECT_EQ(errorOf(withField("version", 2), 10).code, PageArchiveError::Code::tooLarge);
    EXPECT_EQ(errorOf(withField("version", 2).replace("\"clips\"", "\"items\"")), PageArchiveError::corruptData());
    EXPECT_EQ(errorOf({}), PageArchiveError::corruptData());
    EXPECT_EQ(errorOf("[]"), PageArchiveError::corruptData());

    // Texts name the sizes, the version and the reason.
    EXPECT_EQ(PageArchiveError::tooLarge(50 * 1024 * 1024, pagefile::maxBytes).userMessage(),
              "This Page is too large (50.0 MiB). Page files can be at most 40.0 MiB.");
    EXPECT_TRUE(PageArchiveError::unsupportedVersion(3).userMessage().contains("format 3"));
    EXPECT_TRUE(PageArchiveError::unreadable("denied").userMessage().contains("denied"));
    EXPECT_TRUE(PageArchiveError::unwritable("disk full").userMessage().contains("disk full"));
}

TEST(PageFile, DatesAndPayloadsAreReadStrictly)
{
    EXPECT_EQ(errorOf(withField("exportedAt", "2026-03-01T12:00:01.000Z")), PageArchiveError::corruptData());
    EXPECT_EQ(errorOf(withField("exportedAt", "2026-03-01 12:00:01")), PageArchiveError::corruptData());
    EXPECT_EQ(errorOf(withField("exportedAt", 1772366401)), PageArchiveError::corruptData());
    EXPECT_EQ(pagefile::decode(withField("exportedAt", "2026-03-01T13:00:01+01:00")).value().exportedAt,
              goldenArchive().exportedAt);
    for (const char *bad : {"JVBE\nRi0=", "JVBERi0", "JVB ERi0=", "JVBERi0=="})
        EXPECT_EQ(errorOf(withClipField("imageData", bad)), PageArchiveError::corruptData()) << bad;
    EXPECT_EQ(errorOf(withClipField("text", 5)), PageArchiveError::corruptData());
    EXPECT_EQ(pagefile::decode(withClipField("imageData", "")).value().clips[0].imageData, QByteArray());
}

TEST(PageFile, SuggestedNames)
{
    auto named = [](const QString &name) {
        PageArchive a;
        a.name = name;
        return pagefile::suggestedFileName(a);
    };
    EXPECT_EQ(named("  Work/Notes: Q?  "), "Work-Notes- Q-.quillmerepage");
    EXPECT_EQ(named(" \n "), "Page.quillmerepage");
    EXPECT_EQ(named("<>"), "--.quillmerepage");
    EXPECT_EQ(named("a\\b|c*d%e\"f"), "a-b-c-d-e-f.quillmerepage");
}

TEST(PageFile, ArchivedClipsBecomeContentWithoutForeignPaths)
{
    const ArchivedClip odd{.kind = "Text", .text = QString(600000, u'x'), .recognizedText = QString("ocr")};
    CapturedContent content = odd.capturedContent();
    EXPECT_EQ(content.kind, ClipKind::text); // an unknown kind (kinds match exactly) is text
    EXPECT_EQ(content.text->size(), 500000);
    EXPECT_EQ(content.recognizedText, QString("ocr"));
    EXPECT_FALSE(content.sourceAppName);

    ArchivedClip file{.kind = "file", .text = QString(600000, u'y'), .fileName = QString("/etc/../..")};
    content = file.capturedContent();
    EXPECT_EQ(content.kind, ClipKind::file);
    EXPECT_EQ(content.text->size(), 600000); // a file clip's text is not cut
    EXPECT_FALSE(content.fileName);          // nothing usable is left of that name

    file.text = QString("C:\\Users\\me\\a.txt\n\n/tmp/../b.txt\n..");
    file.fileName = QString("..\\..\\a.txt");
    content = file.capturedContent();
    EXPECT_EQ(content.text, QString("a.txt\nb.txt"));
    EXPECT_EQ(content.fileName, QString("a.txt"));

    // Whatever the kind, a file name is a name: text clips with rich data carry one too.
    const ArchivedClip rich{.text = QString("see /etc/passwd"), .fileName = QString("../notes/rich.rtf")};
    EXPECT_EQ(rich.capturedContent().fileName, QString("rich.rtf"));
    EXPECT_EQ(rich.capturedContent().text, rich.text);
}

TEST(PageFile, WritingRefusesOversizedPagesAndReadingRefusesOversizedFiles)
{
    PageArchive archive = goldenArchive();
    const qint64 exact = pagefile::encoded(archive).value().size();
    EXPECT_TRUE(pagefile::encoded(archive, exact).ok());
    EXPECT_EQ(pagefile::encoded(archive, exact - 1).error(), PageArchiveError::tooLarge(exact, exact - 1));
    archive.exportedAt = QDateTime();
    EXPECT_EQ(pagefile::encoded(archive).error(), PageArchiveError::corruptData());

    QTemporaryDir dir;
    const QString path = dir.filePath("shared.quillmerepage");
    EXPECT_EQ(pagefile::writeFile(path, goldenArchive(), 10), PageArchiveError::tooLarge(exact, 10));
    EXPECT_FALSE(QFileInfo::exists(path));
    {
        // A shared Page is meant for others: the umask decides who reads it.
        test::ScopedUmask mask(022);
        EXPECT_FALSE(pagefile::writeFile(path, goldenArchive()));
    }
    EXPECT_EQ(test::permissionBits(path), 0644u);
    EXPECT_EQ(pagefile::readFile(path).value(), goldenArchive());
    EXPECT_EQ(pagefile::readFile(path, 50).error(), PageArchiveError::tooLarge(exact, 50));
    EXPECT_EQ(pagefile::readFile(dir.filePath("missing")).error().code, PageArchiveError::Code::unreadable);
    EXPECT_EQ(pagefile::writeFile(dir.filePath("no/such/dir/x.quillmerepage"), goldenArchive()).value().code,
              PageArchiveError::Code::unwritable);
}

TEST(PageFile, RefusedFilesLeaveTheStoreAsItWas)
{
    StoreFixture f;
    f.putText("existing");
    const auto before = f.ctx().clipCount();
    const QByteArray good = golden("page-canonical.quillmerepage");
    for (const QByteArray &bad : {good.left(good.size() - 5), withField("version", 2),
                                  withClipField("fileData", "%%%%"), good + QByteArray(100, ' ')}) {
        const auto read = pagefile::decode(bad, good.size() + 50);
        ASSERT_FALSE(read.ok());
        EXPECT_FALSE(read.error().userMessage().isEmpty());
    }
    EXPECT_EQ(f.ctx().clipCount(), before);
    EXPECT_TRUE(f.store->pages().empty());

    // And a good one imports as a new Page holding its clips.
    const PageRef page = archive::importPage(*f.store, pagefile::decode(good).value());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->items().size(), 3u);
    EXPECT_EQ(archive::makePageArchive(*f.store, page).clips.size(), 3u);
}

TEST(PageFile, WrittenAndReadOffTheMainThread)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("p.quillmerepage");
    QObject receiver;
    std::optional<std::optional<PageArchiveError>> written;
    pagefile::writeFileInBackground(path, goldenArchive(), &receiver,
                                    [&](std::optional<PageArchiveError> error) { written = error; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return written.has_value(); }));
    EXPECT_FALSE(*written);

    std::optional<ArchiveResult<PageArchive, PageArchiveError>> read;
    pagefile::readFileInBackground(path, &receiver, [&](ArchiveResult<PageArchive, PageArchiveError> r) { read = r; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return read.has_value(); }));
    ASSERT_TRUE(read->ok());
    EXPECT_EQ(read->value(), goldenArchive());
}
