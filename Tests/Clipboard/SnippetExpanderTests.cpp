#include "Quillmere/Clipboard/SnippetExpander.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace Qt::StringLiterals;
using SnippetExpander::Token;
using Expansion = SnippetExpander::Expansion;

namespace {

SnippetContext fixedContext(std::optional<QString> clipboard = std::nullopt, const QString &locale = u"en_US"_s,
                            const QTimeZone &zone = QTimeZone("Europe/Berlin"))
{
    // 12:34:56 UTC is 13:34:56 in Berlin, so a formatter that ignores the zone shows.
    return SnippetContext{QDateTime(QDate(2026, 3, 1), QTime(12, 34, 56), Qt::UTC), std::move(clipboard),
                          QLocale(locale), QString(), zone};
}

Expansion expand(const QString &text, const SnippetContext &context = fixedContext())
{
    return SnippetExpander::expand(text, context);
}

} // namespace

TEST(SnippetExpander, CursorMarkGivesCaretBackInCharactersFromTheFirstMarkOnly)
{
    EXPECT_EQ(expand(u"Hi {cursor}there"_s), (Expansion{u"Hi there"_s, 5}));
    EXPECT_EQ(expand(u"{cursor}"_s), (Expansion{QString(), 0}));
    EXPECT_EQ(expand(u"abc{cursor}"_s), (Expansion{u"abc"_s, 0}));
    EXPECT_EQ(expand(u"a{cursor}b{cursor}c"_s), (Expansion{u"abc"_s, 2}));
    EXPECT_EQ(expand(u"no marks"_s).caretBack, 0);
    // Skin-toned thumbs up (4 UTF-16 units), e + combining acute, and a ZWJ family: three characters.
    EXPECT_EQ(expand(u"x{cursor}\U0001F44D\U0001F3FDe\u0301\U0001F468\u200D\U0001F469\u200D\U0001F467"_s).caretBack, 3);
    // Placeholders resolved after the mark count with their resolved text.
    EXPECT_EQ(expand(u"{cursor}<{clipboard}>"_s, fixedContext(u"Ann"_s)).caretBack, 5);
}

TEST(SnippetExpander, ClipboardTextIsInsertedAsItIs)
{
    EXPECT_EQ(expand(u"Dear {clipboard},{cursor} regards"_s, fixedContext(u"Ann"_s)),
              (Expansion{u"Dear Ann, regards"_s, 8}));
    EXPECT_EQ(expand(u"[{clipboard}]"_s).text, u"[]"_s);
    EXPECT_EQ(expand(u"{clipboard}"_s, fixedContext(u"{cursor}{date}"_s)).text,
              u"{cursor}{date}"_s); // never expanded again
}

TEST(SnippetExpander, EscapedUnknownAndMalformedGroupsStayAsWritten)
{
    EXPECT_EQ(expand(u"\\{cursor}"_s).text, u"{cursor}"_s);
    EXPECT_FALSE(SnippetExpander::containsPlaceholders(u"\\{cursor}"_s));
    EXPECT_FALSE(SnippetExpander::containsPlaceholders(u"a \\{b}"_s));
    // A backslash before anything else, or at the end, is an ordinary character.
    EXPECT_EQ(expand(u"a\\b\\"_s).text, u"a\\b\\"_s);
    EXPECT_EQ(expand(u"\\\\{cursor}x"_s), (Expansion{u"\\{cursor}x"_s, 0}));

    // The last: a brace carrying a combining mark opens no group.
    for (const QString &t :
         {u"{foo}"_s, u"{Cursor}"_s, u"{clipboard:x}"_s, u"{cursor:x}"_s, u"{field}"_s, u"{field:}"_s, u"{Date}"_s,
          u"{}"_s, u"{unclosed"_s, u"}{"_s, u"{a {b}}"_s, u"{\u0301cursor}"_s}) {
        EXPECT_EQ(expand(t).text, t) << t.toStdString();
        EXPECT_FALSE(SnippetExpander::containsPlaceholders(t)) << t.toStdString();
    }
    // The inner group closes first; the outer opening brace is plain text.
    EXPECT_EQ(SnippetExpander::tokenize(u"{a {b}}"_s),
              (std::vector<Token>{Token::literal(u"{a "_s), Token::literal(u"{b}"_s), Token::literal(u"}"_s)}));
    EXPECT_EQ(expand(u"{a {cursor}}"_s), (Expansion{u"{a }"_s, 1}));
}

TEST(SnippetExpander, TokenizeClassifiesBodies)
{
    EXPECT_EQ(SnippetExpander::tokenize(u"x{field:Name}{date:yyyy-MM-dd}{time:HH}{clipboard}{cursor}y"_s),
              (std::vector<Token>{Token::literal(u"x"_s), Token::field(u"Name"_s), Token::value(u"date:yyyy-MM-dd"_s),
                                  Token::value(u"time:HH"_s), Token::value(u"clipboard"_s), Token::cursor(),
                                  Token::literal(u"y"_s)}));
    // Only the first colon splits: the rest belongs to the pattern.
    EXPECT_EQ(SnippetExpander::token(u"date:HH:mm"_s), Token::value(u"date:HH:mm"_s));
    EXPECT_EQ(SnippetExpander::token(u"field:a:b"_s), Token::field(u"a:b"_s));
    EXPECT_TRUE(SnippetExpander::containsPlaceholders(u"{field:Name}"_s));
    EXPECT_EQ(expand(u"Hello {field:Name}!"_s).text, u"Hello !"_s);
}

TEST(SnippetExpander, DatesUsePatternLocaleCalendarAndTimeZone)
{
    EXPECT_EQ(expand(u"{date:yyyy-MM-dd HH:mm}"_s).text, u"2026-03-01 13:34"_s);
    EXPECT_EQ(expand(u"{date:HH:mm}"_s, fixedContext({}, u"en_US"_s, QTimeZone("Asia/Tokyo"))).text, u"21:34"_s);
    EXPECT_EQ(expand(u"{date:HH:mm}"_s, fixedContext({}, u"en_US"_s, QTimeZone(5 * 3600 + 1800))).text, u"18:04"_s);
    EXPECT_EQ(expand(u"{date:EEEE 'at' H}"_s, fixedContext({}, u"de_DE"_s)).text, u"Sonntag at 13"_s);
    EXPECT_EQ(expand(u"[{date:}]"_s).text, u"[]"_s);
    EXPECT_EQ(expand(u"{date}"_s).text, u"Mar 1, 2026"_s);
    EXPECT_EQ(expand(u"{date}"_s, fixedContext({}, u"de_DE"_s)).text, u"01.03.2026"_s);

    // The calendar is honoured: the Buddhist era is 543 years ahead.
    SnippetContext buddhist = fixedContext();
    buddhist.calendar = u"buddhist"_s;
    EXPECT_EQ(expand(u"{date:y}"_s, buddhist).text, u"2569"_s);

    // {time} is always the short style; an argument does not make it a pattern.
    const QString shortTime = expand(u"{time}"_s).text;
    EXPECT_EQ(expand(u"{time:HH}"_s).text, shortTime);
    EXPECT_TRUE(shortTime.startsWith(u"1:34"_s)) << qPrintable(shortTime);
    EXPECT_EQ(expand(u"{time}"_s, fixedContext({}, u"de_DE"_s)).text, u"13:34"_s);
}
