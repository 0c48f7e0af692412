#include "Quillmere/Model/CapturedContent.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace quillmere;

TEST(ContentHash, IsStableLowerHexAndIgnoresSourceAndRecognisedText)
{
    const CapturedContent a{.kind = ClipKind::text, .text = QString("hello")};
    const CapturedContent b{.kind = ClipKind::text,
                            .text = QString("hello"),
                            .recognizedText = QString("hello"),
                            .sourceAppName = QString("Editor"),
                            .sourceAppBundleID = QString("org.example.Editor")};
    const QString hash = a.contentHash();
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(hash).hasMatch()) << hash.toStdString();
    EXPECT_EQ(hash, a.contentHash());
    EXPECT_EQ(hash, b.contentHash());
}

TEST(ContentHash, SeparatesKindsAndNeighbouringFields)
{
    using C = CapturedContent;
    EXPECT_NE((C{.kind = ClipKind::text, .text = QString("https://example.org")}.contentHash()),
              (C{.kind = ClipKind::url, .text = QString("https://example.org")}.contentHash()));
    // "ab" + "c" must not collide with "a" + "bc".
    EXPECT_NE((C{.kind = ClipKind::file, .text = QString("ab"), .fileName = QString("c")}.contentHash()),
              (C{.kind = ClipKind::file, .text = QString("a"), .fileName = QString("bc")}.contentHash()));
    // No text and empty text are different content.
    EXPECT_NE((C{.kind = ClipKind::image, .imageData = QByteArray("png")}.contentHash()),
              (C{.kind = ClipKind::image, .text = QString(), .imageData = QByteArray("png")}.contentHash()));
    // Zero image bytes count as no image.
    EXPECT_EQ((C{.text = QString("t")}.contentHash()),
              (C{.text = QString("t"), .imageData = QByteArray()}.contentHash()));
}

TEST(CapText, CutsEmojiAtACharacterBoundaryWithinTheLimit)
{
    // A family emoji is one character made of several code points joined by ZWJ (25 bytes).
    const QString family = QString::fromUtf8(
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6");
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
        text +=
            (i % 3 == 0) ? QString::fromUtf8("é") : (i % 3 == 1 ? QString("a") : QString::fromUtf8("\xF0\x9F\x98\x80"));
    const QString cut = CapturedContent::capText(text, 1001);
    EXPECT_LE(cut.toUtf8().size(), 1001);
    EXPECT_GE(cut.toUtf8().size(), 1001 - 4);
    EXPECT_FALSE(cut.back().isHighSurrogate());
}
