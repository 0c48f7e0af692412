#include "Support/GoldenFiles.h"
#include "Support/PagesFixture.h"

#include "Quillmere/Archive/JsonExport.h"

#include <QTemporaryDir>

using namespace quillmere;
using quillmere::test::golden;
using quillmere::test::StoreFixture;
using quillmere::test::utc;

namespace {

QStringList keysOf(const QJsonObject &object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

} // namespace

TEST(JsonExport, MatchesTheHandWrittenFile)
{
    StoreFixture f;
    PageRef unnamed = f.store->createPage(QString());
    ClipRef first = f.putText(QStringLiteral("a/b \"c\"\n"));
    first->setDedupID(QUuid::fromString(QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF")));
    first->setCreatedAt(utc(2026, 2, 28, 9, 15, 30, 125));
    first->setCustomTitle(QStringLiteral(""));
    first->setSourceAppName(QStringLiteral("Quillmere Sync Check"));
    first->setIsPinned(true);
    first->setImageData(QByteArray("not exported"));
    first->setLinkTitle(QStringLiteral("not exported"));
    f.store->assignClip(first, unnamed);
    ClipRef second = f.putText(QString());
    second->setText(std::nullopt);
    second->setKindRawValue(QStringLiteral("snippet"));
    second->setDedupID(QUuid::fromString(QStringLiteral("0B1F2E3D-4C5B-6A79-8897-A6B5C4D3E2F1")));
    second->setCreatedAt(utc(2026, 2, 27, 8, 0, 0));
    ASSERT_TRUE(f.store->save());

    const QuillmereExport doc =
        QuillmereExport::make({first, second}, f.store->pages(), utc(2026, 3, 1, 12, 0, 0, 900));
    EXPECT_EQ(doc.encoded(), golden("export-expected.json"));
    // The record with nothing optional carries exactly the four required keys.
    const QJsonObject bare = QJsonDocument::fromJson(doc.encoded()).object()["clips"].toArray()[1].toObject();
    EXPECT_EQ(keysOf(bare), (QStringList{"createdAt", "id", "isPinned", "kind"}));
}

TEST(JsonExport, OwnNamesPageNamesAndNoTemporaryClips)
{
    EXPECT_EQ(exportedSourceAppName(QStringLiteral("Quillmere")), QString("Brindlewax"));
    EXPECT_EQ(exportedSourceAppName(QStringLiteral("Quillmere Sync Check")), QString("Brindlewax Sync Check"));
    EXPECT_EQ(exportedSourceAppName(QStringLiteral("QuillmereX")), QString("QuillmereX"));
    EXPECT_EQ(exportedSourceAppName(QStringLiteral("My Quillmere")), QString("My Quillmere"));
    EXPECT_EQ(exportedSourceAppName(QStringLiteral("Editor")), QString("Editor"));
    EXPECT_FALSE(exportedSourceAppName(std::nullopt));

    StoreFixture f;
    PageRef one = f.store->createPage("Twins");
    PageRef two = f.store->createPage("Twins");
    PageRef blank = f.store->createPage("  ");
    ClipRef a = f.putText("a");
    ClipRef b = f.putText("b");
    ClipRef c = f.putText("c");
    ClipRef gone = f.putText("d");
    f.store->assignClip(a, one);
    f.store->assignClip(b, two);
    f.store->assignClip(c, blank);
    f.store->assignClip(gone, one);
    ClipRef code = f.putText("482913");
    code->setExpiresAt(f.clock.now().addSecs(300));
    // A Page the caller did not pass gives no name; a temporary clip is not written at all.
    const QuillmereExport doc = QuillmereExport::make({a, code, b, c, gone}, {one, two, blank}, f.clock.now());
    ASSERT_EQ(doc.clips.size(), 4u);
    EXPECT_EQ(doc.clips[0].pageName, QString("Twins"));
    EXPECT_EQ(doc.clips[1].pageName, QString("Twins"));
    EXPECT_EQ(doc.clips[2].pageName, QString("  "));
    EXPECT_EQ(QuillmereExport::make({gone}, {two}, f.clock.now()).clips[0].pageName, std::nullopt);

    const QJsonObject empty = QJsonDocument::fromJson(QuillmereExport::make({}, {}, f.clock.now()).encoded()).object();
    EXPECT_EQ(keysOf(empty), (QStringList{"clips", "exportedAt"}));
    EXPECT_TRUE(empty["clips"].toArray().isEmpty());
}

TEST(JsonExport, CancelWritesNothingAndAnExistingFileIsReplaced)
{
    StoreFixture f;
    ClipRef clip = f.putText("hello");
    QTemporaryDir dir;
    const QString path = dir.filePath(jsonexport::defaultFileName);
    QStringList errors;
    jsonexport::ExportInteraction ui;
    ui.clock = f.clock.clock();
    ui.showError = [&](const QString &message) { errors << message; };

    ui.choosePath = [] { return std::nullopt; };
    EXPECT_FALSE(jsonexport::exportWithSavePanel({clip}, {}, ui));
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_TRUE(errors.isEmpty());

    test::writeBytes(path, QByteArray(10000, 'o'));
    ui.choosePath = [&] { return std::optional<QString>(path); };
    {
        // The user's own document: readable as the umask allows, like any program's.
        test::ScopedUmask mask(022);
        EXPECT_TRUE(jsonexport::exportWithSavePanel({clip}, {}, ui));
    }
    QFile written(path);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QJsonObject root = QJsonDocument::fromJson(written.readAll()).object();
    EXPECT_EQ(root["clips"].toArray()[0].toObject()["text"].toString(), "hello");
    EXPECT_EQ(test::permissionBits(path), 0644u);
    EXPECT_TRUE(errors.isEmpty());

    ui.choosePath = [&] { return std::optional<QString>(dir.filePath("missing/dir/out.json")); };
    EXPECT_FALSE(jsonexport::exportWithSavePanel({clip}, {}, ui));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("The export couldn't be saved"));
}
