#include "Quillmere/Model/ClipPreview.h"
#include "Quillmere/Model/ImageHelpers.h"
#include "Quillmere/Platform/Core/Json.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

// Noise does not compress, so its PNG is about three bytes a pixel.
QImage noise(int width, int height, quint32 seed = 7)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = 0xff000000u | (random.generate() & 0xffffffu);
    }
    return image;
}

QByteArray png(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QSize decodedSize(const std::optional<QByteArray> &bytes)
{
    return bytes ? QImage::fromData(*bytes).size() : QSize();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

TEST(ImageHelpers, PngDataHalvesAnImageUntilUnderTheCapDownTo64Pixels)
{
    const QImage big = noise(1600, 1000);
    ASSERT_GT(png(big).size(), 1 << 20);
    const auto data = pngData(big, 1 << 20);
    ASSERT_TRUE(data);
    EXPECT_LE(data->size(), 1 << 20);
    // 1600x1000 is about 4.8 MB of noise; a quarter of the area is the first size that fits.
    EXPECT_EQ(decodedSize(*data), QSize(400, 250));
    EXPECT_EQ(decodedSize(pngData(noise(40, 30), 1 << 20)), QSize(40, 30));

    // Thin sides squeeze to one pixel; at 64 px the halving stops, and a cap nothing meets gives none.
    const QImage thin = noise(128, 6);
    EXPECT_EQ(decodedSize(pngData(thin, png(thin).size() - 1)), QSize(64, 1));
    EXPECT_FALSE(pngData(noise(300, 300), 10));
    EXPECT_FALSE(pngData(QImage(), 1 << 20));
}

TEST(ImageHelpers, ThumbnailFitsTheLongerSideStepsDownUntilUnderTheCapAndKeepsTheOrientation)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("big.png");
    ASSERT_TRUE(noise(2400, 1600).save(path, "PNG"));
    EXPECT_EQ(decodedSize(thumbnailPNGData(path, maxClipImageBytes)), QSize(1200, 800));
    // Room for 300x200 of noise (~180 kB) but not 600x400 (~720 kB).
    EXPECT_EQ(decodedSize(thumbnailPNGData(path, 400 * 1024)), QSize(300, 200));
    EXPECT_FALSE(thumbnailPNGData(path, 1000));
    ASSERT_TRUE(writeFile(dir.filePath("notes.txt"), "not an image"));
    EXPECT_FALSE(thumbnailPNGData(dir.filePath("notes.txt"), maxClipImageBytes));
    EXPECT_FALSE(thumbnailPNGData(dir.filePath("missing.png"), maxClipImageBytes));

    QImageWriter writer(dir.filePath("rotated.jpg"), "jpeg");
    ASSERT_TRUE(writer.supportsOption(QImageIOHandler::ImageTransformation));
    writer.setTransformation(QImageIOHandler::TransformationRotate90);
    ASSERT_TRUE(writer.write(noise(400, 200)));
    EXPECT_EQ(decodedSize(thumbnailPNGData(dir.filePath("rotated.jpg"), maxClipImageBytes)), QSize(200, 400));
}

TEST(ImageHelpers, ThumbnailCacheDropsTheLeastRecentlyUsed)
{
    const QImage tile = noise(10, 10); // 400 bytes each
    ClipThumbnailCache cache(1000);
    cache.insert("a", tile);
    cache.insert("b", tile);
    ASSERT_TRUE(cache.image("a")); // a is now the most recent
    cache.insert("c", tile);
    EXPECT_TRUE(cache.contains("a"));
    EXPECT_FALSE(cache.contains("b"));
    EXPECT_TRUE(cache.contains("c"));
    EXPECT_EQ(cache.totalBytes(), 800);
    cache.insert("c", noise(5, 5)); // replacing counts the new size only
    EXPECT_EQ(cache.totalBytes(), 500);

    const QImage made = makeClipThumbnail(png(noise(1000, 500)), "hash", cache);
    EXPECT_EQ(made.size(), QSize(360, 180));
    // The cache holds at least the newest image even above its budget.
    ASSERT_TRUE(cache.image("hash"));
    EXPECT_EQ(cache.image("hash")->size(), QSize(360, 180));
    EXPECT_TRUE(makeClipThumbnail(QByteArray("garbage"), "bad", cache).isNull());
    EXPECT_FALSE(cache.contains("bad"));
}

namespace {

class PreviewTest : public ::testing::Test {
protected:
    // Previews go to a temporary folder of this test's own.
    void SetUp() override { qputenv("TMPDIR", tmp.path().toUtf8()); }
    void TearDown() override { qputenv("TMPDIR", m_oldTmp); }

    static std::shared_ptr<ClipItem> clip(ClipKind kind, std::optional<QString> text = std::nullopt)
    {
        auto c = std::make_shared<ClipItem>();
        c->setKind(kind);
        c->setText(text);
        return c;
    }

    std::optional<QUrl> open(const ClipItem &c)
    {
        std::optional<QUrl> opened;
        openClipPreview(c, [&](const QUrl &url) {
            opened = url;
            return true;
        });
        return opened;
    }

    QTemporaryDir tmp;
    const QByteArray m_oldTmp = qgetenv("TMPDIR");
};

} // namespace

TEST_F(PreviewTest, WhatCanBePreviewed)
{
    EXPECT_TRUE(canPreviewClip(*clip(ClipKind::text, "hello")));
    EXPECT_FALSE(canPreviewClip(*clip(ClipKind::text, " \n ")));
    EXPECT_FALSE(canPreviewClip(*clip(ClipKind::text)));
    EXPECT_TRUE(canPreviewClip(*clip(ClipKind::url, " https://example.org/a ")));
    // Not a web link: shown as the text it is, never handed to some other handler.
    auto script = clip(ClipKind::url, "javascript:alert(1)");
    EXPECT_TRUE(canPreviewClip(*script));
    EXPECT_EQ(open(*script)->scheme(), "file");

    auto image = clip(ClipKind::image);
    EXPECT_FALSE(canPreviewClip(*image));
    image->setImageData(QByteArray());
    EXPECT_FALSE(canPreviewClip(*image));
    image->setImageData(png(noise(4, 4)));
    EXPECT_TRUE(canPreviewClip(*image));

    QTemporaryDir files;
    ASSERT_TRUE(writeFile(files.filePath("real.txt"), {}));
    EXPECT_TRUE(canPreviewClip(*clip(ClipKind::file, files.filePath("real.txt") + "\n/elsewhere/b.txt")));
    EXPECT_FALSE(canPreviewClip(*clip(ClipKind::file, files.filePath("gone.txt"))));
    // A bare name (as imported clips carry) never resolves against the working directory.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(files.path());
    EXPECT_FALSE(canPreviewClip(*clip(ClipKind::file, "real.txt")));
    QDir::setCurrent(previous);
}

TEST_F(PreviewTest, OpensLinksDirectlyAndWritesPrivateCopiesOfContent)
{
    EXPECT_EQ(open(*clip(ClipKind::url, "https://example.org/x")), QUrl("https://example.org/x"));
    EXPECT_FALSE(QDir(clipPreviewFolder()).exists());

    auto text = clip(ClipKind::text, QString::fromUtf8("Grüße\n"));
    const auto url = open(*text);
    ASSERT_TRUE(url);
    const QString path = url->toLocalFile();
    EXPECT_EQ(QFileInfo(path).absolutePath(), QDir(clipPreviewFolder()).absolutePath());
    EXPECT_TRUE(path.endsWith(uuidText(text->dedupID()) + ".txt"));
    QFile written(path);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), QString::fromUtf8("Grüße\n").toUtf8());
    EXPECT_EQ(QFile::permissions(path) & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

    // A file name from the clip cannot lead outside the preview folder.
    auto file = clip(ClipKind::file, "/nowhere/evil.sh");
    file->setFileName("../../evil.sh");
    file->setFileData(QByteArray("echo hi"));
    const auto fileURL = open(*file);
    ASSERT_TRUE(fileURL);
    EXPECT_TRUE(fileURL->toLocalFile().startsWith(QDir(clipPreviewFolder()).absolutePath() + "/"));
    EXPECT_TRUE(fileURL->toLocalFile().endsWith("/evil.sh"));
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("evil.sh")));

    auto image = clip(ClipKind::image);
    image->setImageData(png(noise(8, 8)));
    const auto imageURL = open(*image);
    ASSERT_TRUE(imageURL);
    EXPECT_EQ(QImageReader(imageURL->toLocalFile()).format(), "png");
}

TEST_F(PreviewTest, APreviewFolderThatIsALinkIsNeverWrittenInto)
{
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), clipPreviewFolder()));
    const auto url = open(*clip(ClipKind::text, "secret"));
    ASSERT_TRUE(url) << "the session's runtime folder takes the preview instead";
    EXPECT_TRUE(url->toLocalFile().startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/QuillmerePreviews/"));
    EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
}
