#include "Quillmere/Sync/RelativeDate.h"

#include <cstdlib>

namespace quillmere {

QString relativeNamedDate(const QDateTime &date, const QDateTime &now)
{
    const qint64 seconds = now.secsTo(date);
    const qint64 span = std::llabs(seconds);
    if (span == 0)
        return QStringLiteral("now");
    struct Unit {
        qint64 seconds;
        const char *name;
        const char *past;   // the named phrase for one unit back, if any
        const char *future; // and ahead
    };
    static constexpr Unit units[] = {
        {365 * 86400, "year", "last year", "next year"},
        {30 * 86400, "month", "last month", "next month"},
        {7 * 86400, "week", "last week", "next week"},
        {86400, "day", "yesterday", "tomorrow"},
        {3600, "hour", nullptr, nullptr},
        {60, "minute", nullptr, nullptr},
        {1, "second", nullptr, nullptr},
    };
    for (const Unit &unit : units) {
        const qint64 count = span / unit.seconds;
        if (count == 0)
            continue;
        if (count == 1 && unit.past)
            return QString::fromLatin1(seconds < 0 ? unit.past : unit.future);
        const QString amount = QStringLiteral("%1 %2%3").arg(count).arg(QLatin1String(unit.name),
                                                                        count == 1 ? QString() : QStringLiteral("s"));
        return seconds < 0 ? amount + QStringLiteral(" ago") : QStringLiteral("in ") + amount;
    }
    return QStringLiteral("now");
}

} // namespace quillmere
