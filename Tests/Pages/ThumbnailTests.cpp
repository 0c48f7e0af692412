#include "Quillmere/Pages/ClipThumbnails.h"

#include "QStringPrinting.h"
#include "Support/DisplayTestSupport.h"
#include "Support/PagesFixture.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

TEST(ClipThumbnailDecoding, FitsIn360PixelsAndRefusesGarbage)
{
    EXPECT_EQ(ClipThumbnails::decode(png(4000, 3000)).size(), QSize(360, 270));
    EXPECT_EQ(ClipThumbnails::decode(encoded(filled(300, 1200), "JPEG")).size(), QSize(90, 360));
    EXPECT_EQ(ClipThumbnails::decode(png(40, 20)).size(), QSize(40, 20));
    EXPECT_TRUE(ClipThumbnails::decode(QByteArray("not an image")).isNull());
    EXPECT_TRUE(ClipThumbnails::decode({}).isNull());
}

TEST(ClipThumbnails, DecodesStoredImagesOnceAndRemembersFailures)
{
    StoreFixture f;
    const ClipRef photo = f.put(CapturedContent{.kind = ClipKind::image, .imageData = png(1200, 800, Qt::red)});
    const ClipRef broken = f.put(CapturedContent{.kind = ClipKind::image, .imageData = QByteArray("garbage")});
    int loads = 0;
    const ClipThumbnails::ImageLoader storeLoader = ClipThumbnails::storeLoader(*f.store);
    ClipThumbnails thumbnails([&](const ThumbnailRequest &r) {
        ++loads;
        return storeLoader(r);
    });
    QSignalSpy ready(&thumbnails, &ClipThumbnails::thumbnailReady);

    const ThumbnailRequest photoRequest{photo->persistentModelID(), photo->contentHash()};
    const ThumbnailRequest brokenRequest{broken->persistentModelID(), broken->contentHash()};
    thumbnails.prewarm({photoRequest, brokenRequest});
    thumbnails.request(photoRequest); // already on its way
    ASSERT_TRUE(waitUntil([&] { return thumbnails.pendingCount() == 0; }));
    ASSERT_EQ(ready.size(), 1);
    EXPECT_EQ(ready[0][0].toString(), photo->contentHash());
    const std::optional<QImage> image = thumbnails.thumbnail(photo->contentHash());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), QSize(360, 240));
    EXPECT_EQ(image->pixelColor(10, 10), QColor(Qt::red));

    // Neither a cached nor a failed one is read again.
    thumbnails.prewarm({photoRequest, brokenRequest});
    EXPECT_EQ(thumbnails.pendingCount(), 0);
    EXPECT_EQ(loads, 2);
    EXPECT_FALSE(thumbnails.thumbnail(broken->contentHash()));
}

TEST(ClipThumbnails, NewestRequestsGoFirstAndTheBudgetHolds)
{
    QStringList loaded;
    const QByteArray bytes = png(720, 720);
    // Each thumbnail is 360 x 360 x 4 bytes; the budget holds two.
    ClipThumbnails thumbnails(
        [&](const ThumbnailRequest &r) {
            loaded << r.contentHash;
            return std::optional(bytes);
        },
        2 * 360 * 360 * 4);
    for (const char *hash : {"a", "b", "c", "d"})
        thumbnails.request({{}, QString::fromLatin1(hash)});
    ASSERT_TRUE(waitUntil([&] { return thumbnails.pendingCount() == 0; }));
    // Two start at once; of those waiting, the latest asked for comes next.
    EXPECT_EQ(loaded, (QStringList{"a", "b", "d", "c"}));
    // Whichever finished last stay.
    EXPECT_EQ(thumbnails.cachedBytes(), 2 * 360 * 360 * 4);
    EXPECT_EQ(std::count_if(loaded.begin(), loaded.end(), [&](const QString &h) { return thumbnails.contains(h); }), 2);
}
