#include "Quillmere/Model/ClipSearch.h"

#include <QRegularExpression>

namespace quillmere {

QString title(ClipDateFilter filter)
{
    switch (filter) {
    case ClipDateFilter::any: return QStringLiteral("Any Time");
    case ClipDateFilter::today: return QStringLiteral("Today");
    case ClipDateFilter::last7Days: return QStringLiteral("Last 7 Days");
    case ClipDateFilter::last30Days: return QStringLiteral("Last 30 Days");
    }
    return {};
}

namespace {

bool isSaved(const ClipItem &clip)
{
    return clip.isPinned() || clip.pinboard() != nullptr || clip.isSavedToPage();
}

bool passesDate(const QDateTime &createdAt, ClipDateFilter filter, const QDateTime &now)
{
    switch (filter) {
    case ClipDateFilter::any:
        return true;
    case ClipDateFilter::today:
        return createdAt.toLocalTime().date() == now.toLocalTime().date();
    case ClipDateFilter::last7Days:
        return createdAt >= now.addSecs(-7 * 86400);
    case ClipDateFilter::last30Days:
        return createdAt >= now.addSecs(-30 * 86400);
    }
    return true;
}

const QRegularExpression &whitespace()
{
    static const QRegularExpression re(QStringLiteral("\\s+"));
    return re;
}

} // namespace

bool ClipSearchFilters::matches(const ClipItem &clip, const ClipSearchFilters &filters, const QDateTime &now)
{
    const ClipKind kind = clip.kind();
    if (filters.kind && kind != *filters.kind)
        return false;
    if (filters.sourceAppName
        && clip.sourceAppName().value_or(QString()).trimmed() != filters.sourceAppName->trimmed())
        return false;
    if (filters.savedOnly && !isSaved(clip))
        return false;
    if (filters.pinnedOnly && !clip.isPinned())
        return false;
    if (filters.imageInboxOnly
        && !(kind == ClipKind::image || (kind == ClipKind::file && clip.hasImageData())))
        return false;
    if (filters.withRecognizedTextOnly && clip.recognizedText().value_or(QString()).trimmed().isEmpty())
        return false;
    return passesDate(clip.createdAt(), filters.date, now);
}

QStringList ClipSearchFilters::queryTerms(const QString &query)
{
    return query.split(whitespace(), Qt::SkipEmptyParts);
}

QString searchText(const ClipItem &clip, qsizetype maxLength)
{
    QString out;
    for (const std::optional<QString> *part :
         {&clip.customTitle(), &clip.text(), &clip.linkTitle(), &clip.recognizedText(), &clip.fileName()}) {
        if (!*part)
            continue;
        const QString trimmed = (*part)->trimmed();
        if (trimmed.isEmpty())
            continue;
        if (!out.isEmpty())
            out += QLatin1Char(' ');
        out += trimmed;
        if (out.size() >= maxLength)
            break;
    }
    if (out.size() > maxLength) {
        qsizetype cut = maxLength;
        // Never split a surrogate pair.
        if (cut > 0 && out.at(cut - 1).isHighSurrogate())
            --cut;
        out.truncate(cut);
    }
    return out;
}

bool matchesQueryTerms(const ClipItem &clip, const QStringList &terms)
{
    if (terms.isEmpty())
        return true;
    auto containsAll = [&](const std::optional<QString> &field, std::vector<bool> &found) {
        if (!field)
            return;
        for (qsizetype i = 0; i < terms.size(); ++i)
            if (!found[size_t(i)] && field->contains(terms[i], Qt::CaseInsensitive))
                found[size_t(i)] = true;
    };
    // Words may sit in different fields, but each must be found in one of them.
    std::vector<bool> found(size_t(terms.size()), false);
    for (const std::optional<QString> *part :
         {&clip.customTitle(), &clip.text(), &clip.linkTitle(), &clip.recognizedText(), &clip.fileName()})
        containsAll(*part, found);
    return std::all_of(found.begin(), found.end(), [](bool b) { return b; });
}

bool isSubstantialText(const QString &text)
{
    const QStringList words = text.trimmed().split(whitespace(), Qt::SkipEmptyParts);
    if (words.size() >= 2)
        return true;
    return words.size() == 1 && words.first().size() >= 8;
}

} // namespace quillmere
