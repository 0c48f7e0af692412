#pragma once

#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QStringList>
#include <initializer_list>
#include <optional>
#include <vector>

namespace quillmere {

enum class ClipDateFilter { any, today, last7Days, last30Days };

QString title(ClipDateFilter filter);
// Whether a clip made at `createdAt` falls within the filter's period as of `now`.
bool passesDateFilter(const QDateTime &createdAt, ClipDateFilter filter, const QDateTime &now);

// What the filters read of a clip, taken from a stored record or from a snapshot of one.
struct ClipFilterFacts {
    ClipKind kind = ClipKind::text;
    const std::optional<QString> *sourceAppName = nullptr;
    const std::optional<QString> *recognizedText = nullptr;
    QDateTime createdAt;
    bool isSaved = false; // pinned, on a Page or saved to one
    bool isPinned = false;
    bool hasImageData = false;
};

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

    static bool matches(const ClipFilterFacts &clip, const ClipSearchFilters &filters, const QDateTime &now);
    // The non-empty, whitespace-separated words, in order.
    static QStringList queryTerms(const QString &query);
};

// The one search rule of the history. Typed words and clip text are compared in one form:
// canonical decomposition, accents (non-spacing marks) dropped, case folded, no locale, so "cafe"
// finds "Café".
QString foldForSearch(const QString &text);

// The folded fields and the kind's label, one per line, in UTF-8, so that a word (which never
// holds a line break) matches inside one field. A whole-character UTF-8 needle can only match
// a valid UTF-8 text at character boundaries, which lets the C library's substring search do it.
QByteArray searchKeyOf(std::initializer_list<const std::optional<QString> *> fields, ClipKind kind);
// Whether `key` holds `word` as bytes: what a search tests for each word of each key, so a
// search of a long history spends much of its time here.
bool holdsBytes(const char *key, size_t keySize, const char *word, size_t wordSize);

// The typed words, folded; a clip matches when its search key holds every one of them.
class SearchQuery {
public:
    explicit SearchQuery(const QString &query);
    bool isEmpty() const { return m_words.empty(); }
    bool matches(const QByteArray &searchKey) const;
    // Each folded word in UTF-8, as matches() looks for it.
    const std::vector<QByteArray> &words() const { return m_words; }

private:
    std::vector<QByteArray> m_words;
};

// Two or more words, or one word of at least 8 characters, after trimming.
bool isSubstantialText(const QString &text);

} // namespace quillmere
