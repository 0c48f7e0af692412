#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTimeZone>
#include <optional>
#include <vector>

namespace quillmere {

// What a template is filled with at the moment of pasting.
struct SnippetContext {
    QDateTime now;                    // one instant for every date and time in one expansion
    std::optional<QString> clipboard; // the clipboard's text before the paste
    QLocale locale;
    QString calendar; // ICU calendar type; empty: the locale's own calendar
    QTimeZone timeZone;

    // The current locale, its calendar and the system time zone.
    static SnippetContext current(const QDateTime &now, std::optional<QString> clipboard);
};

// Text templates with placeholders in braces: {cursor}, {clipboard}, {date}, {date:PATTERN},
// {time}, {field:NAME}. "\{" is a literal brace. Pure functions, callable from any thread.
namespace SnippetExpander {

struct Token {
    enum class Kind { literal, value, field, cursor };
    Kind kind = Kind::literal;
    QString text; // literal text, the whole value body, or the field name; empty for the cursor

    static Token literal(const QString &text) { return {Kind::literal, text}; }
    static Token value(const QString &body) { return {Kind::value, body}; }
    static Token field(const QString &name) { return {Kind::field, name}; }
    static Token cursor() { return {Kind::cursor, {}}; }
    bool operator==(const Token &) const = default;
};

struct Expansion {
    QString text;
    // Characters (grapheme clusters) of `text` after the first cursor mark; 0 without one.
    int caretBack = 0;
    bool operator==(const Expansion &) const = default;
};

std::vector<Token> tokenize(const QString &text);
// The placeholder a brace body stands for, or none when it is plain text.
std::optional<Token> token(const QString &body);
bool containsPlaceholders(const QString &text);
Expansion expand(const QString &text, const SnippetContext &context);
// The text of a value body; a body that is no value comes back with its braces.
QString resolve(const QString &body, const SnippetContext &context);

} // namespace SnippetExpander
} // namespace quillmere
