#include "Quillmere/Platform/TextRecognizer.h"

#include "Support/DisplayTestSupport.h"

#include <gtest/gtest.h>

using namespace quillmere;
using test::encoded;
using test::paintedLines;

TEST(RecognizedLines, BlankLinesGoOuterSpaceIsTrimmedAndLongTextCutAtWholeCharacters)
{
    EXPECT_EQ(assembleRecognizedLines({QStringLiteral("   a"), QString(), QStringLiteral("b\n"), QStringLiteral(" \t "),
                                       QStringLiteral("c d  \n")}),
              QStringLiteral("a\nb\nc d"));
    EXPECT_EQ(assembleRecognizedLines({QStringLiteral("  "), QStringLiteral("\n")}), std::nullopt);
    EXPECT_EQ(assembleRecognizedLines({}), std::nullopt);

    EXPECT_EQ(assembleRecognizedLines({QString(12001, QLatin1Char('x'))})->size(), 12000);
    // A family emoji and an accented letter made of two code points are one character each.
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    const QString text = QString(11998, QLatin1Char('x')) + QStringLiteral("e\u0301") + family + QStringLiteral("yz");
    EXPECT_EQ(assembleRecognizedLines({text}), text.left(text.size() - 2));
}

TEST(TextRecognition, NothingFromNothing)
{
    EXPECT_FALSE(recognizeText(QByteArray()));
    EXPECT_FALSE(recognizeText(QByteArray("just some text, not an image")));
    EXPECT_FALSE(recognizeText(encoded(test::filled(400, 200, Qt::white))));
}

TEST(TextRecognition, LinesInOrderOneLineFeedApartAndTransparencyReadAsWhite)
{
    EXPECT_EQ(recognizeText(encoded(paintedLines({QStringLiteral("ALPHA 1"), QStringLiteral("BRAVO 2"), QStringLiteral("CHARLIE 3")}))),
              QStringLiteral("ALPHA 1\nBRAVO 2\nCHARLIE 3"));
    EXPECT_EQ(recognizeText(encoded(paintedLines({QStringLiteral("SEE THROUGH")}, Qt::transparent))), QStringLiteral("SEE THROUGH"));
}
