#include "Quillmere/Clipboard/IcuText.h"

#include <QDateTime>
#include <unicode/brkiter.h>
#include <unicode/simpletz.h>

namespace quillmere::icutext {

icu::Locale locale(const QLocale &qtLocale, const QString &calendar)
{
    QString id;
    if (qtLocale.language() == QLocale::C) {
        id = QStringLiteral("en_US_POSIX");
    } else {
        id = QLocale::languageToCode(qtLocale.language());
        if (qtLocale.script() != QLocale::AnyScript)
            id += QLatin1Char('_') + QLocale::scriptToCode(qtLocale.script());
        if (qtLocale.territory() != QLocale::AnyTerritory)
            id += QLatin1Char('_') + QLocale::territoryToCode(qtLocale.territory());
    }
    if (!calendar.isEmpty())
        id += QStringLiteral("@calendar=") + calendar;
    return icu::Locale(id.toLatin1().constData());
}

std::unique_ptr<icu::TimeZone> timeZone(const QTimeZone &zone, const QDateTime &at)
{
    const QTimeZone valid = zone.isValid() ? zone : QTimeZone::systemTimeZone();
    std::unique_ptr<icu::TimeZone> tz(icu::TimeZone::createTimeZone(toIcu(QString::fromLatin1(valid.id()))));
    if (tz && *tz != icu::TimeZone::getUnknown())
        return tz;
    const int offsetMs = valid.isValid() ? valid.offsetFromUtc(at) * 1000 : 0;
    return std::make_unique<icu::SimpleTimeZone>(offsetMs, toIcu(QString::fromLatin1(valid.id())));
}

std::vector<qsizetype> graphemeBoundaries(const QString &text)
{
    std::vector<qsizetype> out;
    if (text.isEmpty()) {
        out.push_back(0);
        return out;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) {
        // No break data: fall back to code points, which is still better than UTF-16 units.
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (!(text.at(i).isLowSurrogate() && i > 0 && text.at(i - 1).isHighSurrogate()))
                out.push_back(i);
        }
        out.push_back(text.size());
        return out;
    }
    const icu::UnicodeString u = toIcu(text);
    it->setText(u);
    for (int32_t pos = it->first(); pos != icu::BreakIterator::DONE; pos = it->next())
        out.push_back(pos);
    return out;
}

qsizetype graphemeCount(const QString &text)
{
    return qsizetype(graphemeBoundaries(text).size()) - 1;
}

} // namespace quillmere::icutext
