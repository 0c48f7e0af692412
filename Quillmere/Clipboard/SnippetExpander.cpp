#include "Quillmere/Clipboard/SnippetExpander.h"

#include "Quillmere/Clipboard/IcuText.h"

#include <unicode/datefmt.h>
#include <unicode/smpdtfmt.h>

namespace quillmere {

SnippetContext SnippetContext::current(const QDateTime &now, std::optional<QString> clipboard)
{
    return SnippetContext{now, std::move(clipboard), QLocale(), QString(), QTimeZone::systemTimeZone()};
}

namespace SnippetExpander {
namespace {

struct Split {
    QString name;
    std::optional<QString> argument;
};

Split splitBody(const QString &body)
{
    const qsizetype colon = body.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return {body, std::nullopt};
    return {body.left(colon), body.mid(colon + 1)};
}

enum class DateKind { pattern, mediumDate, shortTime };

QString formatDate(const SnippetContext &context, DateKind kind, const QString &pattern = {})
{
    const icu::Locale locale = icutext::locale(context.locale, context.calendar);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::DateFormat> formatter;
    switch (kind) {
    case DateKind::pattern:
        formatter = std::make_unique<icu::SimpleDateFormat>(icutext::toIcu(pattern), locale, status);
        break;
    case DateKind::mediumDate:
        formatter.reset(icu::DateFormat::createDateInstance(icu::DateFormat::kMedium, locale));
        break;
    case DateKind::shortTime:
        formatter.reset(icu::DateFormat::createTimeInstance(icu::DateFormat::kShort, locale));
        break;
    }
    // A pattern ICU refuses formats to nothing rather than to something made up.
    if (U_FAILURE(status) || !formatter)
        return {};
    const QDateTime now = context.now.isValid() ? context.now : QDateTime::currentDateTimeUtc();
    formatter->adoptTimeZone(icutext::timeZone(context.timeZone, now).release());
    icu::UnicodeString out;
    formatter->format(UDate(now.toMSecsSinceEpoch()), out);
    return icutext::fromIcu(out);
}

bool isCluster(const QString &text, qsizetype start, qsizetype end, char16_t c)
{
    return end - start == 1 && text.at(start).unicode() == c;
}

} // namespace

std::optional<Token> token(const QString &body)
{
    const Split s = splitBody(body);
    if (s.name == QLatin1String("cursor") && !s.argument)
        return Token::cursor();
    if (s.name == QLatin1String("clipboard") && !s.argument)
        return Token::value(body);
    if (s.name == QLatin1String("date") || s.name == QLatin1String("time"))
        return Token::value(body);
    if (s.name == QLatin1String("field") && s.argument && !s.argument->isEmpty())
        return Token::field(*s.argument);
    return std::nullopt;
}

std::vector<Token> tokenize(const QString &text)
{
    // Work on characters, not UTF-16 units: a brace carrying a combining mark is not a brace.
    const std::vector<qsizetype> b = icutext::graphemeBoundaries(text);
    const qsizetype count = qsizetype(b.size()) - 1;
    auto is = [&](qsizetype i, char16_t c) { return isCluster(text, b[i], b[i + 1], c); };

    std::vector<Token> tokens;
    QString buffer;
    auto flush = [&] {
        if (!buffer.isEmpty()) {
            tokens.push_back(Token::literal(buffer));
            buffer.clear();
        }
    };

    qsizetype i = 0;
    while (i < count) {
        if (is(i, u'\\') && i + 1 < count && is(i + 1, u'{')) {
            buffer += QLatin1Char('{');
            i += 2;
            continue;
        }
        if (is(i, u'{')) {
            qsizetype close = -1;
            for (qsizetype j = i + 1; j < count; ++j) {
                if (is(j, u'{'))
                    break;
                if (is(j, u'}')) {
                    close = j;
                    break;
                }
            }
            if (close < 0) {
                buffer += QLatin1Char('{');
                ++i;
                continue;
            }
            const QString body = text.mid(b[i + 1], b[close] - b[i + 1]);
            flush();
            if (auto t = token(body))
                tokens.push_back(*t);
            else
                tokens.push_back(Token::literal(QLatin1Char('{') + body + QLatin1Char('}')));
            i = close + 1;
            continue;
        }
        buffer += text.mid(b[i], b[i + 1] - b[i]);
        ++i;
    }
    flush();
    return tokens;
}

bool containsPlaceholders(const QString &text)
{
    // Cheap exit for the common case of a text without any brace.
    if (!text.contains(QLatin1Char('{')))
        return false;
    for (const Token &t : tokenize(text)) {
        if (t.kind != Token::Kind::literal)
            return true;
    }
    return false;
}

QString resolve(const QString &body, const SnippetContext &context)
{
    const Split s = splitBody(body);
    if (s.name == QLatin1String("clipboard"))
        return context.clipboard.value_or(QString());
    if (s.name == QLatin1String("date"))
        return s.argument ? formatDate(context, DateKind::pattern, *s.argument)
                          : formatDate(context, DateKind::mediumDate);
    if (s.name == QLatin1String("time"))
        return formatDate(context, DateKind::shortTime);
    return QLatin1Char('{') + body + QLatin1Char('}');
}

Expansion expand(const QString &text, const SnippetContext &context)
{
    QString out;
    std::optional<qsizetype> cursorAt;
    for (const Token &t : tokenize(text)) {
        switch (t.kind) {
        case Token::Kind::literal:
            out += t.text;
            break;
        case Token::Kind::value:
            out += resolve(t.text, context);
            break;
        case Token::Kind::field:
            break;
        case Token::Kind::cursor:
            if (!cursorAt)
                cursorAt = out.size();
            break;
        }
    }
    const int caretBack = cursorAt ? int(icutext::graphemeCount(out.mid(*cursorAt))) : 0;
    return {out, caretBack};
}

} // namespace SnippetExpander
} // namespace quillmere
