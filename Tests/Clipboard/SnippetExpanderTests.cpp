#include "Quillmere/Clipboard/SnippetExpander.h"

#include <gtest/gtest.h>

using namespace quillmere;
using SnippetExpander::Token;

namespace {

SnippetContext fixedContext(std::optional<QString> clipboard = std::nullopt, const QString &locale = QStringLiteral("en_US"),
                            const QByteArray &zone = "Europe/Berlin")
{
    // 12:34:56 UTC is 13:34:56 in Berlin, so a formatter that ignores the zone shows.
    return SnippetContext{QDateTime(QDate(2026, 3, 1), QTime(12, 34, 56), Qt::UTC), std::move(clipboard),
                          QLocale(locale), QString(), QTimeZone(zone)};
}

SnippetExpander::Expansion expand(const QString &text, const SnippetContext &context = fixedContext())
{
    return SnippetExpander::expand(text, context);
}

} // namespace

TEST(SnippetExpander, CursorMarkGivesCaretBackFromFirstMarkOnly)
{
    EXPECT_EQ(expand(QStringLiteral("Hi {cursor}there")), (SnippetExpander::Expansion{QStringLiteral("Hi there"), 5}));
    EXPECT_EQ(expand(QStringLiteral("{cursor}")), (SnippetExpander::Expansion{QString(), 0}));
    EXPECT_EQ(expand(QStringLiteral("abc{cursor}")), (SnippetExpander::Expansion{QStringLiteral("abc"), 0}));
    EXPECT_EQ(expand(QStringLiteral("a{cursor}b{cursor}c")), (SnippetExpander::Expansion{QStringLiteral("abc"), 2}));
    EXPECT_EQ(expand(QStringLiteral("no marks")).caretBack, 0);
}

TEST(SnippetExpander, CaretBackCountsCharactersNotCodeUnits)
{
    // Skin-toned thumbs up (4 UTF-16 units), e + combining acute, and a ZWJ family: three characters.
    const QString after = QStringLiteral("\U0001F44D\U0001F3FD") + QStringLiteral("e\u0301") +
                          QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    EXPECT_EQ(expand(QStringLiteral("x{cursor}") + after).caretBack, 3);
    // Placeholders resolved after the mark count with their resolved text.
    EXPECT_EQ(expand(QStringLiteral("{cursor}<{clipboard}>"), fixedContext(QStringLiteral("Ann"))).caretBack, 5);
}

TEST(SnippetExpander, ClipboardPlaceholder)
{
    const auto e = expand(QStringLiteral("Dear {clipboard},{cursor} regards"), fixedContext(QStringLiteral("Ann")));
    EXPECT_EQ(e.text, QStringLiteral("Dear Ann, regards"));
    EXPECT_EQ(e.caretBack, 8);
    EXPECT_EQ(expand(QStringLiteral("[{clipboard}]")).text, QStringLiteral("[]"));
    // The clipboard text is inserted as it is, never expanded again.
    EXPECT_EQ(expand(QStringLiteral("{clipboard}"), fixedContext(QStringLiteral("{cursor}{date}"))).text,
              QStringLiteral("{cursor}{date}"));
}

TEST(SnippetExpander, EscapedBraceIsLiteralAndNotATemplate)
{
    EXPECT_EQ(expand(QStringLiteral("\\{cursor}")).text, QStringLiteral("{cursor}"));
    EXPECT_FALSE(SnippetExpander::containsPlaceholders(QStringLiteral("\\{cursor}")));
    EXPECT_FALSE(SnippetExpander::containsPlaceholders(QStringLiteral("a \\{b}")));
    // A backslash before anything else, or at the end, is an ordinary character.
    EXPECT_EQ(expand(QStringLiteral("a\\b\\")).text, QStringLiteral("a\\b\\"));
    EXPECT_EQ(expand(QStringLiteral("\\\\{cursor}x")), (SnippetExpander::Expansion{QStringLiteral("\\{cursor}x"), 0}));
}

TEST(SnippetExpander, UnknownAndMalformedGroupsStayAsWritten)
{
    for (const char *text : {"{foo}", "{Cursor}", "{clipboard:x}", "{cursor:x}", "{field}", "{field:}", "{Date}", "{}",
                             "{unclosed", "}{", "{a {b}}"}) {
        const QString t = QString::fromUtf8(text);
        EXPECT_EQ(expand(t).text, t) << text;
        EXPECT_FALSE(SnippetExpander::containsPlaceholders(t)) << text;
    }
    // The inner group closes first; the outer opening brace is plain text.
    EXPECT_EQ(SnippetExpander::tokenize(QStringLiteral("{a {b}}")),
              (std::vector<Token>{Token::literal(QStringLiteral("{a ")), Token::literal(QStringLiteral("{b}")),
                                  Token::literal(QStringLiteral("}"))}));
    EXPECT_EQ(expand(QStringLiteral("{a {cursor}}")), (SnippetExpander::Expansion{QStringLiteral("{a }"), 1}));
    // A brace carrying a combining mark is a different character and opens no group.
    const QString marked = QStringLiteral("{\u0301cursor}");
    EXPECT_FALSE(SnippetExpander::containsPlaceholders(marked));
    EXPECT_EQ(expand(marked).text, marked);
}

TEST(SnippetExpander, TokenizeClassifiesBodies)
{
    EXPECT_EQ(SnippetExpander::tokenize(QStringLiteral("x{field:Name}{date:yyyy-MM-dd}{time:HH}{clipboard}{cursor}y")),
              (std::vector<Token>{Token::literal(QStringLiteral("x")), Token::field(QStringLiteral("Name")),
                                  Token::value(QStringLiteral("date:yyyy-MM-dd")), Token::value(QStringLiteral("time:HH")),
                                  Token::value(QStringLiteral("clipboard")), Token::cursor(),
                                  Token::literal(QStringLiteral("y"))}));
    // Only the first colon splits: the rest belongs to the pattern.
    EXPECT_EQ(SnippetExpander::token(QStringLiteral("date:HH:mm")), Token::value(QStringLiteral("date:HH:mm")));
    EXPECT_EQ(SnippetExpander::token(QStringLiteral("field:a:b")), Token::field(QStringLiteral("a:b")));
    EXPECT_TRUE(SnippetExpander::containsPlaceholders(QStringLiteral("{field:Name}")));
    EXPECT_EQ(expand(QStringLiteral("Hello {field:Name}!")).text, QStringLiteral("Hello !"));
}

TEST(SnippetExpander, DatesUsePatternLocaleAndTimeZone)
{
    EXPECT_EQ(expand(QStringLiteral("{date:yyyy-MM-dd HH:mm}")).text, QStringLiteral("2026-03-01 13:34"));
    EXPECT_EQ(expand(QStringLiteral("{date:HH:mm}"), fixedContext({}, QStringLiteral("en_US"), "Asia/Tokyo")).text,
              QStringLiteral("21:34"));
    EXPECT_EQ(expand(QStringLiteral("{date:EEEE 'at' H}"), fixedContext({}, QStringLiteral("de_DE"))).text,
              QStringLiteral("Sonntag at 13"));
    EXPECT_EQ(expand(QStringLiteral("[{date:}]")).text, QStringLiteral("[]"));
    EXPECT_EQ(expand(QStringLiteral("{date}")).text, QStringLiteral("Mar 1, 2026"));
    EXPECT_EQ(expand(QStringLiteral("{date}"), fixedContext({}, QStringLiteral("de_DE"))).text, QStringLiteral("01.03.2026"));

    // The calendar is honoured: the Buddhist era is 543 years ahead.
    SnippetContext buddhist = fixedContext();
    buddhist.calendar = QStringLiteral("buddhist");
    EXPECT_EQ(expand(QStringLiteral("{date:y}"), buddhist).text, QStringLiteral("2569"));

    // {time} is always the short style; an argument does not make it a pattern.
    const QString shortTime = expand(QStringLiteral("{time}")).text;
    EXPECT_EQ(expand(QStringLiteral("{time:HH}")).text, shortTime);
    EXPECT_TRUE(shortTime.startsWith(QStringLiteral("1:34"))) << qPrintable(shortTime);
    EXPECT_EQ(expand(QStringLiteral("{time}"), fixedContext({}, QStringLiteral("de_DE"))).text, QStringLiteral("13:34"));
}

TEST(SnippetExpander, OffsetOnlyZoneStillFormats)
{
    const SnippetContext context{QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC), std::nullopt,
                                 QLocale(QStringLiteral("en_US")), QString(), QTimeZone(5 * 3600 + 1800)};
    EXPECT_EQ(expand(QStringLiteral("{date:HH:mm}"), context).text, QStringLiteral("17:30"));
}
