#pragma once

// The scanners behind DetectedEntity::detect. Each walks the text once, left to right, looking
// no more than a bounded distance back or ahead from any position, so the whole scan stays
// linear in the text's length. None of them uses a regular expression.

#include "Quillmere/Pages/DetectedEntity.h"

#include <QStringView>
#include <vector>

namespace quillmere::entityscan {

struct Found {
    DetectedEntity::Kind kind;
    qsizetype start;
    qsizetype end;
    QString value;
    std::optional<ParcelCarrier> carrier;
};

void findLinks(QStringView text, std::vector<Found> &out);
void findEmails(QStringView text, std::vector<Found> &out);
void findParcelNumbers(QStringView text, std::vector<Found> &out);
void findColors(QStringView text, std::vector<Found> &out);
void findPhoneNumbers(QStringView text, std::vector<Found> &out);
void findAddresses(QStringView text, std::vector<Found> &out);

// Helpers the scanners share.
inline bool isAsciiDigit(QChar c)
{
    return c.unicode() >= '0' && c.unicode() <= '9';
}
inline bool isAsciiLetter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}
inline bool isAsciiUpper(QChar c)
{
    return c.unicode() >= 'A' && c.unicode() <= 'Z';
}
inline bool isWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}
inline QChar at(QStringView text, qsizetype i)
{
    return i >= 0 && i < text.size() ? text[i] : QChar();
}
// The letters of the word that ends right before `end`, lower-cased, looking back at most `limit`.
QString wordBefore(QStringView text, qsizetype end, qsizetype limit = 16);
// Whether one of `words` occurs in the `span` characters before `pos` (lower-case ASCII words,
// matched case-insensitively at word starts).
bool keywordBefore(QStringView text, qsizetype pos, qsizetype span, std::initializer_list<const char *> words);

} // namespace quillmere::entityscan
