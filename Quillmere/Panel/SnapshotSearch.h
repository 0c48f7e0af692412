#pragma once

#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Panel/PanelTypes.h"

#include <unordered_map>
#include <vector>

namespace quillmere {

// The clip's search key (the model's rule) over its custom title, text, file name, link title,
// recognised text, source application and kind label.
QByteArray searchKeyOf(const ClipSnapshot &clip);

// Folding long texts is the costly part of a search, so keys are kept across snapshots for clips
// whose searchable fields did not change. A clip that comes with a key keeps it.
class SearchKeyCache {
public:
    void fill(std::vector<ClipSnapshot> &clips);

private:
    struct Entry {
        QString kindRawValue;
        std::optional<QString> fields[6];
        QByteArray key;
    };
    std::unordered_map<qint64, Entry> m_entries;
};

// The model's filter rule (kind, source, saved, pinned, image inbox, recognised text, date)
// applied to a snapshot.
bool matchesFilters(const ClipSnapshot &clip, const ClipSearchFilters &filters, const QDateTime &now);

// A search of the whole history, answered by the store: the newest `limit` clips that hold every
// word of `query` and pass `filters` as of `now`.
struct HistorySearch {
    QString query;
    ClipSearchFilters filters;
    QDateTime now;
    int limit = 0;
};
struct HistorySearchAnswer {
    // Newest first, each with its search key.
    std::vector<ClipSnapshot> clips;
    // Whether more clips pass beyond them.
    bool more = false;
};

// Takes the clips a search walks through, newest first, and keeps those that pass.
class SearchCollector {
public:
    explicit SearchCollector(const HistorySearch &search);
    const SearchQuery &words() const { return m_words; }
    // False once the answer is full: nothing more need be offered. A clip that comes with its key
    // is tested by it.
    bool offer(ClipSnapshot clip);
    HistorySearchAnswer take() { return std::move(m_answer); }

private:
    const HistorySearch &m_search;
    SearchQuery m_words;
    HistorySearchAnswer m_answer;
};

// Custom title, text, link title, recognised text and file name, trimmed, blanks dropped, joined
// by one space and cut to `maxLength`: what the semantic engine is given for a clip.
QString semanticText(const ClipSnapshot &clip, qsizetype maxLength);

} // namespace quillmere
