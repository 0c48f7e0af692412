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

// Custom title, text, link title, recognised text and file name, trimmed, blanks dropped, joined
// by one space and cut to `maxLength`: what the semantic engine is given for a clip.
QString semanticText(const ClipSnapshot &clip, qsizetype maxLength);

} // namespace quillmere
