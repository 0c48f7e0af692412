// What each kind of clip puts on the clipboard, and the guarantees around the own-write notice.

#include "Quillmere/Clipboard/PasteboardAccess.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Pasteboard.h"
#include "Support/MemoryPasteboard.h"

#include "Support/DisplayTestSupport.h"

#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace quillmere;
using namespace Qt::StringLiterals;

namespace {

const QByteArray pngBytes = test::png(8, 6, Qt::red);

mode_t modeOf(const QString &path)
{
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

ClipRef clipOf(ClipKind kind, const std::optional<QString> &text = std::nullopt)
{
    auto clip = std::make_shared<ClipItem>();
    clip->setKind(kind);
    if (text)
        clip->setText(*text);
    return clip;
}

class WriterTest : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    MemoryPasteboard pasteboard;
    NotificationCenter center;
    PasteboardWriter writer{pasteboard, center, tmp.path()};
    std::vector<QVariantMap> notices;
    std::vector<QStringList> typesAtNotice; // what the pasteboard held when each notice arrived

    void SetUp() override
    {
        PasteboardContents earlier;
        earlier.setString(u"someone else's text"_s);
        pasteboard.simulateExternalCopy(earlier);
        center.addObserver(ownPasteboardWriteNotification, nullptr, [this](const Notification &note) {
            notices.push_back(note.userInfo);
            typesAtNotice.push_back(pasteboard.contents().types());
        });
    }
};

} // namespace

TEST_F(WriterTest, NoticeCarriesTheCountOfTheClearBeforeAnythingIsWritten)
{
    ASSERT_TRUE(writer.writeClip(*clipOf(ClipKind::text, u"hello"_s)));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].value(u"changeCount"_s).toLongLong(), pasteboard.changeCount());
    EXPECT_EQ(notices[0].value(u"feedback"_s).toString(), u"standard"_s);
    EXPECT_TRUE(typesAtNotice[0].isEmpty());
    EXPECT_EQ(pasteboard.string(), u"hello"_s);

    // The paste service's form: no feedback key.
    postOwnPasteboardWrite(center, 7, std::nullopt);
    EXPECT_FALSE(notices.back().contains(u"feedback"_s));
    postOwnPasteboardWrite(center, 8, CopyFeedbackKind::uploadComplete);
    EXPECT_EQ(notices.back().value(u"feedback"_s).toString(), u"uploadComplete"_s);
}

TEST_F(WriterTest, TextClipsCarryOnlyRichTextThatMayGoBackAndImagesTiffWhenTheyDecode)
{
    const ClipRef html = clipOf(ClipKind::text, u"Bold"_s);
    html->setFileData(QByteArray("<b>Bold</b>"));
    html->setFileTypeIdentifier(u"public.html"_s);
    ASSERT_TRUE(writer.writeClip(*html));
    EXPECT_EQ(pasteboard.types(), (QStringList{PasteboardType::string, PasteboardType::html, ownerMimeType}));
    EXPECT_EQ(pasteboard.data(PasteboardType::html), QByteArray("<b>Bold</b>"));
    html->setFileTypeIdentifier(u"com.adobe.pdf"_s);
    ASSERT_TRUE(writer.writeClip(*html));
    EXPECT_EQ(pasteboard.types(), (QStringList{PasteboardType::string, ownerMimeType}));

    ASSERT_TRUE(writer.writeClip(ClipItem())); // no text at all still puts an empty string there
    EXPECT_EQ(pasteboard.string(), QString());
    ClipItem odd; // a kind nobody knows is written as text
    odd.setKindRawValue(u"sticker"_s);
    odd.setText(u"as text"_s);
    ASSERT_TRUE(writer.writeClip(odd));
    EXPECT_EQ(pasteboard.string(), u"as text"_s);

    const ClipRef image = clipOf(ClipKind::image);
    image->setImageData(pngBytes);
    ASSERT_TRUE(writer.writeClip(*image));
    EXPECT_EQ(pasteboard.data(PasteboardType::png), pngBytes);
    EXPECT_FALSE(QImage::fromData(pasteboard.data(PasteboardType::tiff).value_or(QByteArray()), "TIFF").isNull());
    image->setImageData(QByteArray("not an image"));
    ASSERT_TRUE(writer.writeClip(*image));
    EXPECT_EQ(pasteboard.data(PasteboardType::png), QByteArray("not an image"));
    EXPECT_FALSE(pasteboard.contents().hasType(PasteboardType::tiff));
}

TEST_F(WriterTest, NothingToWriteLeavesTheClipboardAsItWasAndReportsFailure)
{
    EXPECT_FALSE(writer.writeClip(*clipOf(ClipKind::image)));
    EXPECT_FALSE(writer.writeClip(*clipOf(ClipKind::file))); // no path, no stored copy, no text
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(pasteboard.clearCount(), 0);
    EXPECT_EQ(pasteboard.string(), u"someone else's text"_s);

    const ClipRef noFallback = clipOf(ClipKind::file, u"/nonexistent/a.txt"_s);
    EXPECT_FALSE(writer.fileClipContents(*noFallback, PasteboardWriter::MissingFileFallback::nothing));
    EXPECT_TRUE(writer.writeClip(*noFallback)); // the general writer falls back to the path text
    EXPECT_EQ(pasteboard.string(), u"/nonexistent/a.txt"_s);
}

TEST_F(WriterTest, FileClipsUseTheFilesThatStillExist)
{
    const QString present = tmp.filePath(u"Picture.PNG"_s);
    QFile(present).open(QIODevice::WriteOnly);
    const ClipRef clip = clipOf(ClipKind::file, u"/nonexistent/gone.png\n\n"_s + present);
    clip->setFileName(u"Picture.PNG"_s);
    clip->setImageData(pngBytes);
    ASSERT_TRUE(writer.writeClip(*clip));
    EXPECT_EQ(pasteboard.readFileURLs(), QList<QUrl>{QUrl::fromLocalFile(present)});
    EXPECT_EQ(pasteboard.data(PasteboardType::png), pngBytes);
    EXPECT_TRUE(pasteboard.contents().hasType(PasteboardType::tiff));

    // All files gone, but image bytes of an image file: the image alone.
    clip->setText(u"/nonexistent/gone.png"_s);
    ASSERT_TRUE(writer.writeClip(*clip));
    EXPECT_TRUE(pasteboard.readFileURLs().isEmpty());
    EXPECT_EQ(pasteboard.data(PasteboardType::png), pngBytes);
}

TEST_F(WriterTest, MissingFilesAreRecreatedPrivatelyUnderTheirBaseName)
{
    const ClipRef clip = clipOf(ClipKind::file, u"/nonexistent/notes.txt"_s);
    clip->setFileName(u"../../escape/notes.txt"_s);
    clip->setFileData(QByteArray("stored bytes"));
    ASSERT_TRUE(writer.writeClip(*clip));
    const QList<QUrl> urls = pasteboard.readFileURLs();
    ASSERT_EQ(urls.size(), 1);
    const QString path = urls[0].toLocalFile();
    const QString folder = tmp.filePath(u"QuillmereFiles/"_s + clip->dedupID().toString(QUuid::WithoutBraces));
    EXPECT_EQ(path, folder + u"/notes.txt"_s);
    EXPECT_EQ(contentsOf(path), QByteArray("stored bytes"));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(tmp.filePath(u"QuillmereFiles"_s)), 0700u);
    EXPECT_FALSE(QFile::exists(tmp.filePath(u"escape"_s)));

    // Writing again replaces the copy in place.
    clip->setFileData(QByteArray("newer bytes"));
    ASSERT_TRUE(writer.writeClip(*clip));
    EXPECT_EQ(contentsOf(path), QByteArray("newer bytes"));

    for (const QString &bad : {u".."_s, u"."_s, u"dir/"_s, QString()}) {
        clip->setFileName(bad);
        EXPECT_FALSE(writer.temporaryFileURL(*clip)) << bad.toStdString();
    }
}

TEST_F(WriterTest, APlantedFolderIsNotWrittenInto)
{
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), tmp.filePath(u"QuillmereFiles"_s)));
    const ClipRef clip = clipOf(ClipKind::file);
    clip->setFileName(u"a.txt"_s);
    clip->setFileData(QByteArray("x"));
    const auto url = writer.temporaryFileURL(*clip);
    ASSERT_TRUE(url) << "the session's runtime folder takes the copy instead";
    EXPECT_TRUE(url->toLocalFile().startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/QuillmereFiles/"));
    EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
}

TEST(PasteboardAccess, SettingsCandidatesAndOnlyLocalFilesFromADrop)
{
    QList<QUrl> attempts;
    EXPECT_TRUE(openFirstSettingsURL({u"settings:one"_s, u"settings:two"_s, u"settings:three"_s}, [&](const QUrl &url) {
        attempts.append(url);
        return attempts.size() == 2;
    }));
    EXPECT_EQ(attempts.size(), 2);
    EXPECT_FALSE(openFirstSettingsURL({}, [](const QUrl &) { return true; }));

    QMimeData drop;
    drop.setData(u"text/uri-list"_s, "# a comment\r\nfile:///home/u/a%20b.txt\r\nhttps://example.com/\r\n");
    EXPECT_EQ(readFileURLs(drop), QList<QUrl>{QUrl::fromLocalFile(u"/home/u/a b.txt"_s)});
    QMimeData gnome;
    gnome.setData(u"x-special/gnome-copied-files"_s, "copy\nfile:///tmp/x\nfile:///tmp/y");
    EXPECT_EQ(readFileURLs(gnome).size(), 2);
    QMimeData broken; // one entry that is no address spoils the list
    broken.setData(u"text/uri-list"_s, "file:///tmp/x\r\nnot an address\r\n");
    EXPECT_TRUE(readFileURLs(broken).isEmpty());
}
