#include "Quillmere/Platform/TextRecognizer.h"

#include <QBuffer>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

QImage painted(const QStringList &lines, QImage::Format format = QImage::Format_RGB32, QColor background = Qt::white)
{
    QImage image(700, 90 * int(lines.size()) + 40, format);
    image.fill(background);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(44);
    painter.setFont(font);
    painter.setPen(Qt::black);
    for (int i = 0; i < lines.size(); ++i)
        painter.drawText(QRect(30, 20 + 90 * i, 640, 80), Qt::AlignLeft | Qt::AlignVCenter, lines[i]);
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

} // namespace

TEST(RecognizedLines, BlankLinesGoAndOuterSpaceIsTrimmed)
{
    EXPECT_EQ(assembleRecognizedLines({QStringLiteral("   a"), QString(), QStringLiteral("b\n"), QStringLiteral(" \t "),
                                       QStringLiteral("c d  \n")}),
              QStringLiteral("a\nb\nc d"));
    EXPECT_EQ(assembleRecognizedLines({QStringLiteral("  "), QStringLiteral("\n")}), std::nullopt);
    EXPECT_EQ(assembleRecognizedLines({}), std::nullopt);
}

TEST(RecognizedLines, CutAtTwelveThousandWholeCharacters)
{
    const QString long12001(12001, QLatin1Char('x'));
    EXPECT_EQ(assembleRecognizedLines({long12001})->size(), 12000);

    // A family emoji and an accented letter made of two code points are one character each.
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    const QString text = QString(11998, QLatin1Char('x')) + QStringLiteral("e\u0301") + family + QStringLiteral("yz");
    const auto result = assembleRecognizedLines({text});
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->endsWith(family));
    EXPECT_EQ(*result, text.left(text.size() - 2));
}

TEST(TextRecognition, NothingFromNothing)
{
    EXPECT_FALSE(recognizeText(QByteArray()));
    EXPECT_FALSE(recognizeText(QByteArray("just some text, not an image")));
    QImage blank(400, 200, QImage::Format_RGB32);
    blank.fill(Qt::white);
    EXPECT_FALSE(recognizeText(png(blank)));
}

TEST(TextRecognition, LinesComeBackInOrderOneLineFeedApart)
{
    const auto text = recognizeText(png(painted({QStringLiteral("ALPHA 1"), QStringLiteral("BRAVO 2"), QStringLiteral("CHARLIE 3")})));
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, QStringLiteral("ALPHA 1\nBRAVO 2\nCHARLIE 3"));
}

TEST(TextRecognition, TransparentBackgroundsAreReadAsWhite)
{
    const auto text = recognizeText(png(painted({QStringLiteral("SEE THROUGH")}, QImage::Format_ARGB32, Qt::transparent)));
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, QStringLiteral("SEE THROUGH"));
}
