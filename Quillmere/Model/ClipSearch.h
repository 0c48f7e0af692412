#pragma once

#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QStringList>
#include <QStringMatcher>
#include <optional>
#include <vector>

namespace quillmere {

enum class ClipDateFilter { any, today, last7Days, last30Days };

QString title(ClipDateFilter filter);
// Whether a clip made at `createdAt` falls within the filter's period as of `now`.
bool passesDateFilter(const QDateTime &createdAt, ClipDateFilter filter, const QDateTime &now);

// The history view's filter set; the text query is separate.
struct ClipSearchFilters {
    std::optional<ClipKind> kind;
    std::optional<QString> sourceAppName;
    ClipDateFilter date = ClipDateFilter::any;
    bool savedOnly = false;
    bool pinnedOnly = false;
    bool withRecognizedTextOnly = false;
    bool imageInboxOnly = false;

    bool isActive() const { return *this != ClipSearchFilters{}; }
    bool operator==(const ClipSearchFilters &) const = default;

    // Never loads image or file bytes.
    static bool matches(const ClipItem &clip, const ClipSearchFilters &filters, const QDateTime &now);
    // The non-empty, whitespace-separated words, in order.
    static QStringList queryTerms(const QString &query);
};

// Custom title, text, link title, recognised text and file name, trimmed, blanks dropped, joined by
// one space and cut to `maxLength` characters.
QString searchText(const ClipItem &clip, qsizetype maxLength);

// Whether every query word occurs in one of the clip's searchable fields, ignoring case. Build it
// once per query: it prepares each word for fast scanning.
class QueryMatcher {
public:
    explicit QueryMatcher(const QStringList &terms);
    bool matches(const ClipItem &clip) const;
    bool isEmpty() const { return m_terms.empty(); }

private:
    struct Term {
        QString folded; // lower-case, for the ASCII scan
        bool ascii = true;
        QStringMatcher matcher; // everything else
    };
    bool contains(const QString &haystack, const Term &term) const;
    std::vector<Term> m_terms;
};

bool matchesQueryTerms(const ClipItem &clip, const QStringList &terms);

// Two or more words, or one word of at least 8 characters, after trimming.
bool isSubstantialText(const QString &text);

} // namespace quillmere
