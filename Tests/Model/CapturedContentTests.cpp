#include "Quillmere/Model/CapturedContent.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(ContentHash, IsStableLowerHexAndIgnoresSourceAndRecognisedText)
{
    CapturedContent a{.kind = ClipKind::text, .text = QString("hello")};
    CapturedContent b = a;
    b.sourceAppName = "Editor";
    b.sourceAppBundleID = "org.example.Editor";
    b.recognizedText = "hello";

    const QString hash = a.contentHash();
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(hash).hasMatch()) << hash.toStdString();
    EXPECT_EQ(hash, a.contentHash());
    EXPECT_EQ(hash, b.contentHash());
}

TEST(ContentHash, SeparatesKindsAndNeighbouringFields)
{
    const CapturedContent text{.kind = ClipKind::text, .text = QString("https://example.org")};
    CapturedContent url = text;
    url.kind = ClipKind::url;
    EXPECT_NE(text.contentHash(), url.contentHash());

    // "ab" + "c" must not collide with "a" + "bc".
    const CapturedContent x{.kind = ClipKind::file, .text = QString("ab"), .fileName = QString("c")};
    const CapturedContent y{.kind = ClipKind::file, .text = QString("a"), .fileName = QString("bc")};
    EXPECT_NE(x.contentHash(), y.contentHash());

    // No text and empty text are different content.
    const CapturedContent none{.kind = ClipKind::image, .imageData = QByteArray("png")};
    CapturedContent empty = none;
    empty.text = QString();
    EXPECT_NE(none.contentHash(), empty.contentHash());

    // Zero image bytes count as no image.
    CapturedContent noImage{.kind = ClipKind::text, .text = QString("t")};
    CapturedContent zeroImage = noImage;
    zeroImage.imageData = QByteArray();
    EXPECT_EQ(noImage.contentHash(), zeroImage.contentHash());
}

TEST(CapText, CutsEmojiAtACharacterBoundaryWithinTheLimit)
{
    // A family emoji is one character made of several code points joined by ZWJ (25 bytes).
    const QString family = QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6");
    ASSERT_EQ(family.toUtf8().size(), 25);
    const QString text = family.repeated(600000 / 25);
    const QString cut = *CapturedContent::capText(text);
    const qsizetype bytes = cut.toUtf8().size();
    EXPECT_LE(bytes, CapturedContent::maxTextBytes);
    EXPECT_GT(bytes, CapturedContent::maxTextBytes - 25);
    EXPECT_EQ(bytes % 25, 0) << "a character was split";
    EXPECT_TRUE(text.startsWith(cut));
}

TEST(CapText, KeepsTextWithinTheLimitAndCutsMixedWidthsAtACodePoint)
{
    EXPECT_FALSE(CapturedContent::capText(std::nullopt).has_value());
    const QString exact = QString(CapturedContent::maxTextBytes, QChar('y'));
    EXPECT_EQ(CapturedContent::capText(exact), exact);

    QString text;
    for (int i = 0; i < 200000; ++i)
        text += (i % 3 == 0) ? QString::fromUtf8("é") : (i % 3 == 1 ? QString("a") : QString::fromUtf8("\xF0\x9F\x98\x80"));
    const QString cut = CapturedContent::capText(text, 1001);
    EXPECT_LE(cut.toUtf8().size(), 1001);
    EXPECT_GE(cut.toUtf8().size(), 1001 - 4);
    EXPECT_FALSE(cut.back().isHighSurrogate());
}
