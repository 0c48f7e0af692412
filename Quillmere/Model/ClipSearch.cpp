#include "Quillmere/Model/ClipSearch.h"

#include "Quillmere/Model/ClipPresentation.h"

#include <QRegularExpression>
#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

const QRegularExpression &whitespace()
{
    static const QRegularExpression re(QStringLiteral("\\s+"));
    return re;
}

} // namespace

bool ClipSearchFilters::matches(const ClipFilterFacts &clip, const ClipSearchFilters &filters, const QDateTime &now)
{
    static const std::optional<QString> none;
    const QString &source = (clip.sourceAppName ? *clip.sourceAppName : none).value_or(QString());
    const std::optional<QString> &recognized = clip.recognizedText ? *clip.recognizedText : none;
    if (filters.kind && clip.kind != *filters.kind)
        return false;
    if (filters.sourceAppName && source.trimmed() != filters.sourceAppName->trimmed())
        return false;
    if (filters.savedOnly && !clip.isSaved)
        return false;
    if (filters.pinnedOnly && !clip.isPinned)
        return false;
    if (filters.imageInboxOnly && !(clip.kind == ClipKind::image || (clip.kind == ClipKind::file && clip.hasImageData)))
        return false;
    if (filters.withRecognizedTextOnly && (!recognized || recognized->trimmed().isEmpty()))
        return false;
    return passesDateFilter(clip.createdAt, filters.date, now);
}

QStringList ClipSearchFilters::queryTerms(const QString &query)
{
    return query.split(whitespace(), Qt::SkipEmptyParts);
}

QString foldForSearch(const QString &text)
{
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; }))
        return text.toLower();
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString kept;
    kept.reserve(decomposed.size());
    const qsizetype n = decomposed.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = decomposed.at(i);
        char32_t code = c.unicode();
        const bool pair = c.isHighSurrogate() && i + 1 < n && decomposed.at(i + 1).isLowSurrogate();
        if (pair)
            code = QChar::surrogateToUcs4(c, decomposed.at(i + 1));
        if (QChar::category(code) != QChar::Mark_NonSpacing) {
            kept.append(c);
            if (pair)
                kept.append(decomposed.at(i + 1));
        }
        if (pair)
            ++i;
    }
    return kept.toCaseFolded();
}

QByteArray searchKeyOf(std::initializer_list<const std::optional<QString> *> fields, ClipKind kind)
{
    QString joined;
    for (const std::optional<QString> *field : fields) {
        if (!*field)
            continue;
        joined += **field;
        joined += QLatin1Char('\n');
    }
    joined += kindName(kind);
    return foldForSearch(joined).toUtf8();
}

SearchQuery::SearchQuery(const QString &query)
{
    for (const QString &word : ClipSearchFilters::queryTerms(query)) {
        const QString folded = foldForSearch(word);
        if (folded.isEmpty())
            continue; // a word of accents alone is in every text
        m_words.push_back(folded.toUtf8());
    }
}

bool holdsBytes(const char *key, size_t keySize, const char *word, size_t wordSize)
{
    if (wordSize == 0)
        return true;
    if (wordSize > keySize)
        return false;
    if (wordSize == 1)
        return std::memchr(key, word[0], keySize) != nullptr;
    size_t at = 0;
#if defined(__SSE2__)
    // Sixteen places at a time whose first and last bytes both fit; only those are compared
    // whole. Folded text repeats few letters, so candidates are rare.
    const __m128i first = _mm_set1_epi8(word[0]), last = _mm_set1_epi8(word[wordSize - 1]);
    for (; at + wordSize - 1 + 16 <= keySize; at += 16) {
        const __m128i starts = _mm_loadu_si128(reinterpret_cast<const __m128i *>(key + at));
        const __m128i ends = _mm_loadu_si128(reinterpret_cast<const __m128i *>(key + at + wordSize - 1));
        unsigned fits =
            unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(starts, first), _mm_cmpeq_epi8(ends, last))));
        while (fits) {
            const size_t place = at + size_t(__builtin_ctz(fits));
            if (std::memcmp(key + place + 1, word + 1, wordSize - 2) == 0)
                return true;
            fits &= fits - 1;
        }
    }
#endif
    // The tail is shorter than a step; memmem's set-up would cost more than the search.
    for (const char *const end = key + keySize - wordSize; key + at <= end; ++at) {
        const char *hit = static_cast<const char *>(std::memchr(key + at, word[0], size_t(end - (key + at)) + 1));
        if (!hit)
            return false;
        at = size_t(hit - key);
        if (std::memcmp(hit + 1, word + 1, wordSize - 1) == 0)
            return true;
    }
    return false;
}

bool SearchQuery::matches(const QByteArray &searchKey) const
{
    for (const QByteArray &word : m_words) {
        if (!holdsBytes(searchKey.constData(), size_t(searchKey.size()), word.constData(), size_t(word.size())))
            return false;
    }
    return true;
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
