#pragma once

#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QStringList>
#include <optional>

namespace quillmere {

enum class ClipDateFilter { any, today, last7Days, last30Days };

QString title(ClipDateFilter filter);

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

// Whether every query word occurs in the clip's search text, ignoring case.
bool matchesQueryTerms(const ClipItem &clip, const QStringList &terms);

// Two or more words, or one word of at least 8 characters, after trimming.
bool isSubstantialText(const QString &text);

} // namespace quillmere
