#pragma once

#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Panel/PanelTypes.h"

#include <unordered_map>
#include <vector>

namespace quillmere {

// The form both sides of the history search are compared in: canonical decomposition, accents
// (non-spacing marks) dropped, case folded. No locale takes part.
QString foldForSearch(const QString &text);

// The folded custom title, text, file name, link title, recognised text, source application and
// kind label, one per line, so that a word (which never holds a line break) matches inside one field.
// UTF-8 keeps the scan short and lets the C library's substring search do it; a whole-character
// needle can only match a valid UTF-8 text at character boundaries.
QByteArray searchKeyOf(const ClipSnapshot &clip);

// Folding long texts is the costly part of a search, so keys are kept across snapshots for clips
// whose searchable fields did not change.
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

// The typed words, folded; a clip matches when its search key holds every one of them.
class SnapshotQuery {
public:
    explicit SnapshotQuery(const QString &query);
    bool isEmpty() const { return m_words.empty(); }
    bool matches(const ClipSnapshot &clip) const;

private:
    std::vector<QByteArray> m_words;
};

// The store's filter rules (kind, source, saved, pinned, image inbox, recognised text, date)
// applied to a snapshot.
bool matchesFilters(const ClipSnapshot &clip, const ClipSearchFilters &filters, const QDateTime &now);

// Custom title, text, link title, recognised text and file name, trimmed, blanks dropped, joined
// by one space and cut to `maxLength`: what the semantic engine is given for a clip.
QString semanticText(const ClipSnapshot &clip, qsizetype maxLength);

} // namespace quillmere
