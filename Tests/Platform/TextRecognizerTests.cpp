#include "Quillmere/Platform/TextRecognizer.h"

#include "Support/DisplayTestSupport.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace Qt::StringLiterals;
using test::encoded;
using test::paintedLines;

TEST(RecognizedLines, BlankLinesStayOuterSpaceIsTrimmedAndLongTextCutAtWholeCharacters)
{
    EXPECT_EQ(assembleRecognizedLines({u"   a"_s, QString(), u"b\n"_s, u" \t "_s, u"c d  \n"_s}),
              u"a\n\nb\n \t \nc d"_s);
    EXPECT_EQ(assembleRecognizedLines({u"  "_s, u"\n"_s}), std::nullopt);
    EXPECT_EQ(assembleRecognizedLines({}), std::nullopt);

    EXPECT_EQ(assembleRecognizedLines({QString(12001, QLatin1Char('x'))})->size(), 12000);
    // A family emoji and an accented letter made of two code points are one character each.
    const QString family = u"\U0001F468\u200D\U0001F469\u200D\U0001F467"_s;
    const QString text = QString(11998, QLatin1Char('x')) + u"e\u0301"_s + family + u"yz"_s;
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
    EXPECT_EQ(recognizeText(encoded(paintedLines({u"ALPHA 1"_s, u"BRAVO 2"_s, u"CHARLIE 3"_s}))),
              u"ALPHA 1\nBRAVO 2\nCHARLIE 3"_s);
    EXPECT_EQ(recognizeText(encoded(paintedLines({u"SEE THROUGH"_s}, Qt::transparent))), u"SEE THROUGH"_s);
}
