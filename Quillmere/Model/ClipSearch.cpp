#include "Quillmere/Model/ClipSearch.h"

#include <QRegularExpression>

namespace quillmere {

QString title(ClipDateFilter filter)
{
    switch (filter) {
    case ClipDateFilter::any:
        return QStringLiteral("Any Time");
    case ClipDateFilter::today:
        return QStringLiteral("Today");
    case ClipDateFilter::last7Days:
        return QStringLiteral("Last 7 Days");
    case ClipDateFilter::last30Days:
        return QStringLiteral("Last 30 Days");
    }
    return {};
}

namespace {

bool isSaved(const ClipItem &clip)
{
    return clip.isPinned() || clip.pinboard() != nullptr || clip.isSavedToPage();
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
    if (filters.sourceAppName && clip.sourceAppName().value_or(QString()).trimmed() != filters.sourceAppName->trimmed())
        return false;
    if (filters.savedOnly && !isSaved(clip))
        return false;
    if (filters.pinnedOnly && !clip.isPinned())
        return false;
    if (filters.imageInboxOnly && !(kind == ClipKind::image || (kind == ClipKind::file && clip.hasImageData())))
        return false;
    if (filters.withRecognizedTextOnly && clip.recognizedText().value_or(QString()).trimmed().isEmpty())
        return false;
    return passesDateFilter(clip.createdAt(), filters.date, now);
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

QueryMatcher::QueryMatcher(const QStringList &terms)
{
    for (const QString &term : terms) {
        if (term.isEmpty())
            continue;
        Term t;
        t.ascii = std::all_of(term.begin(), term.end(), [](QChar c) { return c.unicode() < 0x80; });
        t.folded = term.toLower();
        t.matcher = QStringMatcher(term, Qt::CaseInsensitive);
        m_terms.push_back(std::move(t));
    }
}

bool QueryMatcher::contains(const QString &haystack, const Term &term) const
{
    if (!term.ascii)
        return term.matcher.indexIn(haystack) >= 0;
    // An ASCII word can only match ASCII letters case-insensitively, so a plain scan with an
    // ASCII fold is exact and several times faster than a general case-insensitive search.
    const char16_t *h = reinterpret_cast<const char16_t *>(haystack.constData());
    const char16_t *n = reinterpret_cast<const char16_t *>(term.folded.constData());
    const qsizetype hn = haystack.size(), nn = term.folded.size();
    if (nn > hn)
        return false;
    auto fold = [](char16_t c) -> char16_t { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; };
    const char16_t first = n[0];
    for (qsizetype i = 0; i + nn <= hn; ++i) {
        if (fold(h[i]) != first)
            continue;
        qsizetype k = 1;
        while (k < nn && fold(h[i + k]) == n[k])
            ++k;
        if (k == nn)
            return true;
    }
    return false;
}

bool QueryMatcher::matches(const ClipItem &clip) const
{
    if (m_terms.empty())
        return true;
    // Words may sit in different fields, but each must be found in one of them.
    for (const Term &term : m_terms) {
        bool found = false;
        for (const std::optional<QString> *part :
             {&clip.text(), &clip.customTitle(), &clip.linkTitle(), &clip.recognizedText(), &clip.fileName()}) {
            if (*part && contains(**part, term)) {
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

bool matchesQueryTerms(const ClipItem &clip, const QStringList &terms)
{
    return QueryMatcher(terms).matches(clip);
}

bool isSubstantialText(const QString &text)
{
    const QStringList words = text.trimmed().split(whitespace(), Qt::SkipEmptyParts);
    if (words.size() >= 2)
        return true;
    return words.size() == 1 && words.first().size() >= 8;
}

bool passesDateFilter(const QDateTime &createdAt, ClipDateFilter filter, const QDateTime &now)
{
    switch (filter) {
    case ClipDateFilter::any:
        return true;
    case ClipDateFilter::today:
        // No local day is longer than 25 hours, so far dates need no time-zone conversion.
        if (qAbs(createdAt.msecsTo(now)) >= 26 * 3600 * 1000LL)
            return false;
        return createdAt.toLocalTime().date() == now.toLocalTime().date();
    case ClipDateFilter::last7Days:
        return createdAt >= now.addSecs(-7 * 86400);
    case ClipDateFilter::last30Days:
        return createdAt >= now.addSecs(-30 * 86400);
    }
    return true;
}

} // namespace quillmere
