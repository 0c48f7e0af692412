// What each kind of clip puts on the clipboard, and the guarantees around the own-write notice.

#include "Quillmere/Clipboard/PasteboardAccess.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/NotificationCenter.h"
#include "Quillmere/Platform/Pasteboard.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QMimeData>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace quillmere;

namespace {

QByteArray pngBytes()
{
    QImage image(8, 6, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

mode_t modeOf(const QString &path)
{
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

class WriterTest : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    MemoryPasteboard pasteboard;
    NotificationCenter center;
    PasteboardWriter writer{pasteboard, center, tmp.path()};
    std::vector<QVariantMap> notices;
    // What the pasteboard held when each notice arrived.
    std::vector<QStringList> typesAtNotice;

    void SetUp() override
    {
        PasteboardContents earlier;
        earlier.setString(QStringLiteral("someone else's text"));
        pasteboard.simulateExternalCopy(earlier);
        center.addObserver(ownPasteboardWriteNotification, nullptr, [this](const Notification &note) {
            notices.push_back(note.userInfo);
            typesAtNotice.push_back(pasteboard.contents().types());
        });
    }
    void expectUntouched()
    {
        EXPECT_TRUE(notices.empty());
        EXPECT_EQ(pasteboard.clearCount(), 0);
        EXPECT_EQ(pasteboard.string(), QStringLiteral("someone else's text"));
    }
};

} // namespace

TEST_F(WriterTest, NoticeCarriesTheCountOfTheClearBeforeAnythingIsWritten)
{
    ClipItem clip;
    clip.setText(QStringLiteral("hello"));
    ASSERT_TRUE(writer.writeClip(clip));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].value(QStringLiteral("changeCount")).toLongLong(), pasteboard.changeCount());
    EXPECT_EQ(notices[0].value(QStringLiteral("feedback")).toString(), QStringLiteral("standard"));
    EXPECT_TRUE(typesAtNotice[0].isEmpty());
    EXPECT_EQ(pasteboard.string(), QStringLiteral("hello"));

    // The paste service's form: no feedback key.
    postOwnPasteboardWrite(center, 7, std::nullopt);
    EXPECT_FALSE(notices.back().contains(QStringLiteral("feedback")));
    postOwnPasteboardWrite(center, 8, CopyFeedbackKind::uploadComplete);
    EXPECT_EQ(notices.back().value(QStringLiteral("feedback")).toString(), QStringLiteral("uploadComplete"));
}

TEST_F(WriterTest, TextClipsCarryOnlyTheRichTextTypesThatMayGoBack)
{
    ClipItem html;
    html.setText(QStringLiteral("Bold"));
    html.setFileData(QByteArray("<b>Bold</b>"));
    html.setFileTypeIdentifier(QStringLiteral("public.html"));
    ASSERT_TRUE(writer.writeClip(html));
    EXPECT_EQ(pasteboard.types(), (QStringList{PasteboardType::string, PasteboardType::html, ownerMimeType}));
    EXPECT_EQ(pasteboard.data(PasteboardType::html), QByteArray("<b>Bold</b>"));

    ClipItem pdf;
    pdf.setText(QStringLiteral("Report"));
    pdf.setFileData(QByteArray("%PDF-1.7"));
    pdf.setFileTypeIdentifier(QStringLiteral("com.adobe.pdf"));
    ASSERT_TRUE(writer.writeClip(pdf));
    EXPECT_EQ(pasteboard.types(), (QStringList{PasteboardType::string, ownerMimeType}));

    ClipItem empty; // no text at all still puts an empty string there
    ASSERT_TRUE(writer.writeClip(empty));
    EXPECT_EQ(pasteboard.string(), QString());

    ClipItem odd; // a kind nobody knows is written as text
    odd.setKindRawValue(QStringLiteral("sticker"));
    odd.setText(QStringLiteral("as text"));
    ASSERT_TRUE(writer.writeClip(odd));
    EXPECT_EQ(pasteboard.string(), QStringLiteral("as text"));
}

TEST_F(WriterTest, ImageClipsOfferPngAsItIsAndTiffWhenItDecodes)
{
    ClipItem image;
    image.setKind(ClipKind::image);
    image.setImageData(pngBytes());
    ASSERT_TRUE(writer.writeClip(image));
    EXPECT_EQ(pasteboard.data(PasteboardType::png), pngBytes());
    const auto tiff = pasteboard.data(PasteboardType::tiff);
    ASSERT_TRUE(tiff);
    EXPECT_FALSE(QImage::fromData(*tiff, "TIFF").isNull());

    ClipItem junk;
    junk.setKind(ClipKind::image);
    junk.setImageData(QByteArray("not an image"));
    ASSERT_TRUE(writer.writeClip(junk));
    EXPECT_EQ(pasteboard.data(PasteboardType::png), QByteArray("not an image"));
    EXPECT_FALSE(pasteboard.contents().hasType(PasteboardType::tiff));
}

TEST_F(WriterTest, NothingToWriteLeavesTheClipboardAsItWasAndReportsFailure)
{
    ClipItem image;
    image.setKind(ClipKind::image);
    EXPECT_FALSE(writer.writeClip(image));
    expectUntouched();

    ClipItem file; // no path, no stored copy, no text
    file.setKind(ClipKind::file);
    EXPECT_FALSE(writer.writeClip(file));
    expectUntouched();

    ClipItem noFallback;
    noFallback.setKind(ClipKind::file);
    noFallback.setText(QStringLiteral("/nonexistent/a.txt"));
    EXPECT_FALSE(writer.fileClipContents(noFallback, PasteboardWriter::MissingFileFallback::nothing));
    EXPECT_TRUE(writer.writeClip(noFallback)); // the general writer falls back to the path text
    EXPECT_EQ(pasteboard.string(), QStringLiteral("/nonexistent/a.txt"));
}

TEST_F(WriterTest, FileClipsUseTheFilesThatStillExist)
{
    const QString present = tmp.filePath(QStringLiteral("Picture.PNG"));
    QFile(present).open(QIODevice::WriteOnly);
    ClipItem clip;
    clip.setKind(ClipKind::file);
    clip.setText(QStringLiteral("/nonexistent/gone.png\n\n") + present);
    clip.setFileName(QStringLiteral("Picture.PNG"));
    clip.setImageData(pngBytes());
    ASSERT_TRUE(writer.writeClip(clip));
    EXPECT_EQ(pasteboard.readFileURLs(), QList<QUrl>{QUrl::fromLocalFile(present)});
    EXPECT_EQ(pasteboard.data(PasteboardType::png), pngBytes());
    EXPECT_TRUE(pasteboard.contents().hasType(PasteboardType::tiff));

    // All files gone, but image bytes of an image file: the image alone.
    clip.setText(QStringLiteral("/nonexistent/gone.png"));
    ASSERT_TRUE(writer.writeClip(clip));
    EXPECT_TRUE(pasteboard.readFileURLs().isEmpty());
    EXPECT_EQ(pasteboard.data(PasteboardType::png), pngBytes());
}

TEST_F(WriterTest, MissingFilesAreRecreatedPrivatelyUnderTheirBaseName)
{
    ClipItem clip;
    clip.setKind(ClipKind::file);
    clip.setText(QStringLiteral("/nonexistent/notes.txt"));
    clip.setFileName(QStringLiteral("../../escape/notes.txt"));
    clip.setFileData(QByteArray("stored bytes"));
    ASSERT_TRUE(writer.writeClip(clip));
    const QList<QUrl> urls = pasteboard.readFileURLs();
    ASSERT_EQ(urls.size(), 1);
    const QString path = urls[0].toLocalFile();
    const QString folder = tmp.filePath(QStringLiteral("QuillmereFiles/") + clip.dedupID().toString(QUuid::WithoutBraces));
    EXPECT_EQ(path, folder + QStringLiteral("/notes.txt"));
    QFile copy(path);
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), QByteArray("stored bytes"));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(tmp.filePath(QStringLiteral("QuillmereFiles"))), 0700u);
    EXPECT_FALSE(QFile::exists(tmp.filePath(QStringLiteral("escape"))));

    // Writing again replaces the copy in place.
    clip.setFileData(QByteArray("newer bytes"));
    ASSERT_TRUE(writer.writeClip(clip));
    QFile again(path);
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), QByteArray("newer bytes"));

    for (const QString &bad : {QStringLiteral(".."), QStringLiteral("."), QStringLiteral("dir/"), QString()}) {
        clip.setFileName(bad);
        EXPECT_FALSE(writer.temporaryFileURL(clip)) << bad.toStdString();
    }
}

TEST_F(WriterTest, APlantedFolderIsNotWrittenInto)
{
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), tmp.filePath(QStringLiteral("QuillmereFiles"))));
    ClipItem clip;
    clip.setKind(ClipKind::file);
    clip.setFileName(QStringLiteral("a.txt"));
    clip.setFileData(QByteArray("x"));
    EXPECT_FALSE(writer.temporaryFileURL(clip));
    EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
}

// ---- Access state and file addresses --------------------------------------------------------

TEST(PasteboardAccess, RawValuesAndSettingsCandidates)
{
    EXPECT_EQ(pasteboardAccessStateFromRaw(3), PasteboardAccessState::denied);
    EXPECT_EQ(pasteboardAccessStateFromRaw(0), PasteboardAccessState::notDetermined);
    EXPECT_FALSE(pasteboardAccessStateFromRaw(4));
    EXPECT_FALSE(pasteboardAccessStateFromRaw(-1));

    QList<QUrl> attempts;
    const bool opened = openFirstSettingsURL({QStringLiteral("settings:one"), QStringLiteral("settings:two"),
                                              QStringLiteral("settings:three")},
                                             [&](const QUrl &url) {
                                                 attempts.append(url);
                                                 return attempts.size() == 2;
                                             });
    EXPECT_TRUE(opened);
    EXPECT_EQ(attempts.size(), 2);
    EXPECT_FALSE(openFirstSettingsURL({}, [](const QUrl &) { return true; }));
}

TEST(PasteboardAccess, OnlyLocalFilesAreReadFromADrop)
{
    QMimeData drop;
    drop.setData(QStringLiteral("text/uri-list"), "# a comment\r\nfile:///home/u/a%20b.txt\r\nhttps://example.com/\r\n");
    EXPECT_EQ(readFileURLs(drop), QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/home/u/a b.txt"))});

    QMimeData gnome;
    gnome.setData(QStringLiteral("x-special/gnome-copied-files"), "copy\nfile:///tmp/x\nfile:///tmp/y");
    EXPECT_EQ(readFileURLs(gnome).size(), 2);

    QMimeData broken; // one entry that is no address spoils the list
    broken.setData(QStringLiteral("text/uri-list"), "file:///tmp/x\r\nnot an address\r\n");
    EXPECT_TRUE(readFileURLs(broken).isEmpty());
}
