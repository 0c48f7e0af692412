#pragma once

#include <QLocale>
#include <QString>
#include <QTimeZone>
#include <memory>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>
#include <vector>

// Small bridges between Qt text and ICU, for the pieces Qt does not cover: user-written date
// patterns, locale-aware title case and extended grapheme clusters.
namespace quillmere::icutext {

inline icu::UnicodeString toIcu(const QString &text)
{
    return icu::UnicodeString(reinterpret_cast<const char16_t *>(text.utf16()), int32_t(text.size()));
}

inline QString fromIcu(const icu::UnicodeString &text)
{
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
}

// `calendar` is an ICU calendar type ("gregorian", "japanese", ...); empty keeps the locale's own.
icu::Locale locale(const QLocale &locale, const QString &calendar = {});

// Never null: a zone ICU does not know by name becomes a fixed offset valid at `at`.
std::unique_ptr<icu::TimeZone> timeZone(const QTimeZone &zone, const QDateTime &at);

// UTF-16 offsets where characters (extended grapheme clusters) start, plus text.size() at the end.
std::vector<qsizetype> graphemeBoundaries(const QString &text);
qsizetype graphemeCount(const QString &text);

} // namespace quillmere::icutext
