#include "Quillmere/Panel/SnapshotSearch.h"

namespace quillmere {

namespace {

bool sameText(const std::optional<QString> &a, const std::optional<QString> &b)
{
    if (a.has_value() != b.has_value())
        return false;
    if (!a)
        return true;
    // Snapshots share the store's strings, so an unchanged field is usually the same buffer.
    return (a->constData() == b->constData() && a->size() == b->size()) || *a == *b;
}

} // namespace

QByteArray searchKeyOf(const ClipSnapshot &clip)
{
    return quillmere::searchKeyOf(
        {&clip.customTitle, &clip.text, &clip.fileName, &clip.linkTitle, &clip.recognizedText, &clip.sourceAppName},
        clip.kind());
}

void SearchKeyCache::fill(std::vector<ClipSnapshot> &clips)
{
    std::unordered_map<qint64, Entry> next;
    next.reserve(clips.size());
    for (ClipSnapshot &clip : clips) {
        // A key folded off the main thread comes with its clip; a whole history read there is
        // read there again, so only the clips of the main thread's reads are kept.
        if (!clip.searchKey.isEmpty() && !m_entries.contains(clip.id.rowID))
            continue;
        const std::optional<QString> *fields[6] = {&clip.customTitle, &clip.text,           &clip.fileName,
                                                   &clip.linkTitle,   &clip.recognizedText, &clip.sourceAppName};
        auto old = m_entries.find(clip.id.rowID);
        bool reusable = old != m_entries.end() && old->second.kindRawValue == clip.kindRawValue;
        for (int f = 0; reusable && f < 6; ++f)
            reusable = sameText(old->second.fields[f], *fields[f]);
        Entry entry;
        if (reusable) {
            entry = std::move(old->second);
        } else {
            entry.kindRawValue = clip.kindRawValue;
            for (int f = 0; f < 6; ++f)
                entry.fields[f] = *fields[f];
            entry.key = searchKeyOf(clip);
        }
        clip.searchKey = entry.key;
        next.emplace(clip.id.rowID, std::move(entry));
    }
    m_entries = std::move(next);
}

bool matchesFilters(const ClipSnapshot &clip, const ClipSearchFilters &filters, const QDateTime &now)
{
    return ClipSearchFilters::matches({.kind = clip.kind(),
                                       .sourceAppName = &clip.sourceAppName,
                                       .recognizedText = &clip.recognizedText,
                                       .createdAt = clip.createdAt,
                                       .isSaved = clip.isPinned || clip.pageID || clip.isSavedToPage,
                                       .isPinned = clip.isPinned,
                                       .hasImageData = clip.hasImageData},
                                      filters, now);
}

SearchCollector::SearchCollector(const HistorySearch &search) : m_search(search), m_words(search.query)
{
}

bool SearchCollector::offer(ClipSnapshot clip)
{
    if (m_answer.more)
        return false;
    if (m_search.filters.isActive() && !matchesFilters(clip, m_search.filters, m_search.now))
        return true;
    // Folded here, off the main thread, for the keystrokes that narrow this search, unless the
    // store kept it.
    if (clip.searchKey.isEmpty())
        clip.searchKey = searchKeyOf(clip);
    if (!m_words.matches(clip.searchKey))
        return true;
    if (int(m_answer.clips.size()) >= m_search.limit) {
        m_answer.more = true;
        return false;
    }
    m_answer.clips.push_back(std::move(clip));
    return true;
}

QString semanticText(const ClipSnapshot &clip, qsizetype maxLength)
{
    QString out;
    for (const std::optional<QString> *part :
         {&clip.customTitle, &clip.text, &clip.linkTitle, &clip.recognizedText, &clip.fileName}) {
        if (out.size() >= maxLength)
            break;
        if (!*part)
            continue;
        const QString trimmed = (*part)->trimmed();
        if (trimmed.isEmpty())
            continue;
        if (!out.isEmpty())
            out += QLatin1Char(' ');
        out += QStringView(trimmed).left(maxLength + 1 - out.size());
    }
    if (out.size() > maxLength) {
        qsizetype cut = maxLength;
        if (cut > 0 && out.at(cut - 1).isHighSurrogate())
            --cut; // never half a character
        out.truncate(cut);
    }
    return out;
}

} // namespace quillmere
