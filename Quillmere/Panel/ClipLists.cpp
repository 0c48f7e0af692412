#include "Quillmere/Panel/ClipLists.h"

#include <QCollator>
#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace quillmere {

void ClipLists::setSnapshot(HistorySnapshot snapshot, bool dropMatches)
{
    m_keys.fill(snapshot.clips);
    m_pages = std::move(snapshot.pages);
    m_newestCount = snapshot.newestCount;
    if (dropMatches || isComplete()) {
        m_matches.clear();
        m_relatedKeys.clear();
        m_relatedContents.clear();
        forgetRelatedKeys();
    }
    if (!holdsMatches()) {
        m_part.clear();
        m_clips = std::make_shared<const ClipVector>(std::move(snapshot.clips));
    } else {
        m_part = std::move(snapshot.clips);
        merge();
    }
    m_indexValid = false;
}

void ClipLists::holdMatches(ClipVector matches)
{
    if (isComplete())
        return;
    if (!holdsMatches())
        m_part = *m_clips;
    m_matches = std::move(matches);
    merge();
    m_indexValid = false;
}

void ClipLists::holdRelatedKeys(std::vector<RelatedKey> keys)
{
    if (isComplete())
        return;
    m_relatedKeys = std::move(keys);
    forgetRelatedKeys();
}

void ClipLists::forgetRelatedKeys()
{
    // Until the related list is refreshed it names only clips held.
    std::erase_if(m_related, [](int r) { return r < 0; });
}

void ClipLists::holdRelatedContents(ClipVector contents)
{
    if (contents.size() > size_t(relatedContentCapacity))
        contents.resize(size_t(relatedContentCapacity));
    m_relatedContents = std::move(contents);
}

const ClipSnapshot *ClipLists::relatedContent(qint64 row) const
{
    const auto it = std::find_if(m_relatedContents.begin(), m_relatedContents.end(),
                                 [row](const ClipSnapshot &clip) { return clip.id.rowID == row; });
    return it == m_relatedContents.end() ? nullptr : &*it;
}

std::vector<qint64> ClipLists::relatedRowsWithoutContents(int firstPosition, int lastPosition,
                                                          bool evenWithContents) const
{
    std::vector<qint64> rows;
    const int last = std::min(lastPosition, navigableCount() - 1);
    for (int i = std::max(firstPosition, visibleCount()); i <= last; ++i) {
        const int r = m_related[size_t(i - visibleCount())];
        if (r >= 0)
            continue;
        const qint64 row = m_relatedKeys[size_t(-1 - r)].id.rowID;
        if (evenWithContents || !relatedContent(row))
            rows.push_back(row);
    }
    return rows;
}

const ClipSnapshot *ClipLists::clipWithRow(qint64 row) const
{
    const auto &index = rowIndex();
    const auto it = index.find(row);
    return it == index.end() ? nullptr : &(*m_clips)[it->second];
}

namespace {

bool newerThan(const ClipSnapshot &a, const ClipSnapshot &b)
{
    return a.createdAt != b.createdAt ? a.createdAt > b.createdAt : a.id.rowID > b.id.rowID;
}

} // namespace

void ClipLists::merge()
{
    // The part's newest clips, then its others (on Pages, queued) and the matches beyond them by
    // date, each clip once.
    const auto partEnd = m_part.begin() + std::min<qsizetype>(m_newestCount, qsizetype(m_part.size()));
    std::unordered_set<qint64> inPart;
    for (const ClipSnapshot &clip : m_part)
        inPart.insert(clip.id.rowID);
    const ClipVector &older = m_matches;
    auto from = older.cbegin();
    if (partEnd != m_part.begin()) {
        const ClipSnapshot &last = *(partEnd - 1);
        from = std::partition_point(older.cbegin(), older.cend(),
                                    [&](const ClipSnapshot &c) { return !newerThan(last, c); });
    }
    ClipVector rest;
    for (auto it = from; it != older.cend(); ++it) {
        if (it->id.rowID == 0 || !inPart.insert(it->id.rowID).second)
            continue;
        rest.push_back(*it);
        // A Page gone since the search keeps its row id in the store only.
        if (rest.back().pageID && !findPage(*rest.back().pageID))
            rest.back().pageID.reset();
    }
    ClipVector whole;
    whole.reserve(m_part.size() + rest.size());
    whole.insert(whole.end(), m_part.begin(), partEnd);
    std::merge(partEnd, m_part.end(), std::make_move_iterator(rest.begin()), std::make_move_iterator(rest.end()),
               std::back_inserter(whole), newerThan);
    m_clips = std::make_shared<const ClipVector>(std::move(whole));
}

const PageSnapshot *ClipLists::findPage(const PersistentIdentifier &id) const
{
    auto it = std::find_if(m_pages.begin(), m_pages.end(), [&](const PageSnapshot &p) { return p.id == id; });
    return it == m_pages.end() ? nullptr : &*it;
}

ItemOrderSignal ClipLists::orderSignal() const
{
    ItemOrderSignal signal{int(m_clips->size()), std::nullopt};
    if (!m_clips->empty())
        signal.newestID = m_clips->front().dedupID;
    return signal;
}

std::vector<qint64> ClipLists::hiddenPageRows(const IdentifierSet &unlocked) const
{
    std::vector<qint64> rows;
    for (const PageSnapshot &page : m_pages) {
        if (page.isLocked && !unlocked.contains(page.id))
            rows.push_back(page.id.rowID);
    }
    return rows;
}

namespace {

bool hiddenBy(const ClipSnapshot &clip, const std::vector<qint64> &hiddenRows)
{
    return clip.pageID && std::find(hiddenRows.begin(), hiddenRows.end(), clip.pageID->rowID) != hiddenRows.end();
}

} // namespace

bool ClipLists::isHiddenByLock(const ClipSnapshot &clip, const IdentifierSet &unlocked) const
{
    if (!clip.pageID)
        return false;
    const PageSnapshot *page = findPage(*clip.pageID);
    return page && page->isLocked && !unlocked.contains(page->id);
}

std::vector<int> ClipLists::tabBaseRows(const PanelTab &tab, const IdentifierSet &unlocked, bool searching) const
{
    const ClipVector &clips = *m_clips;
    std::vector<int> rows;
    if (tab.isHistory()) {
        const std::vector<qint64> hidden = hiddenPageRows(unlocked);
        // Of a part, only the newest clips run without a gap; a search of the store fills the gap
        // with what it found.
        const int end = m_newestCount < 0 || searching ? int(clips.size()) : std::min(m_newestCount, int(clips.size()));
        rows.reserve(size_t(end));
        for (int i = 0; i < end; ++i) {
            if (!hiddenBy(clips[i], hidden))
                rows.push_back(i);
        }
        return rows;
    }
    const PersistentIdentifier &board = *tab.board;
    if (const PageSnapshot *page = findPage(board); page && page->isLocked && !unlocked.contains(board))
        return rows;
    for (int i = 0; i < int(clips.size()); ++i) {
        if (clips[i].pageID == board)
            rows.push_back(i);
    }
    return rows;
}

void ClipLists::refreshVisible(const Query &query, bool resetWindow, int selectedIndex)
{
    const SearchQuery words(query.text);
    std::vector<int> base = tabBaseRows(query.tab, query.unlocked, query.filters.isActive() || !words.isEmpty());
    if (query.filters.isActive() || !words.isEmpty()) {
        const ClipVector &clips = *m_clips;
        const bool filtered = query.filters.isActive();
        std::erase_if(base, [&](int row) {
            const ClipSnapshot &clip = clips[row];
            return !words.matches(clip.searchKey) || (filtered && !matchesFilters(clip, query.filters, query.now));
        });
    }
    m_visible = std::move(base);
    m_listClips = m_clips;
    ++m_cardDataRevision;

    const int n = visibleCount();
    if (resetWindow)
        m_rendered = n > fullRenderLimit ? resetRenderCount : n;
    else
        m_rendered = std::min(n, std::max(m_rendered, resetRenderCount));
    ensureSelectionRendered(selectedIndex);
}

void ClipLists::ensureSelectionRendered(int selectedIndex)
{
    const int n = visibleCount();
    if (n == 0) {
        m_rendered = 0;
        return;
    }
    const int target = std::min(selectedIndex, n - 1) + renderLead;
    if (m_rendered >= target)
        return;
    m_rendered = std::min(std::max(target, m_rendered), n);
}

const std::unordered_map<qint64, int> &ClipLists::rowIndex() const
{
    if (!m_indexValid) {
        m_rowIndex.clear();
        m_dedupIndex.clear();
        m_rowIndex.reserve(m_clips->size());
        m_dedupIndex.reserve(qsizetype(m_clips->size()));
        // Backwards, so that of two clips with one dedupID the newer is found.
        for (int i = int(m_clips->size()) - 1; i >= 0; --i) {
            m_rowIndex.emplace((*m_clips)[i].id.rowID, i);
            m_dedupIndex.insert((*m_clips)[i].dedupID, i);
        }
        m_indexValid = true;
    }
    return m_rowIndex;
}

void ClipLists::refreshRelated(bool searchExpanded, const std::vector<PersistentIdentifier> &relatedIDs,
                               const IdentifierSet &unlocked)
{
    m_related.clear();
    if (!searchExpanded || relatedIDs.empty() || m_listClips != m_clips)
        return;
    // Flags rather than sets: a long ranking is walked in a few milliseconds. A clip visible or
    // already related, or an identifier ranked twice, is shown once.
    std::vector<char> heldTaken(m_clips->size(), 0);
    for (int row : m_visible)
        heldTaken[size_t(row)] = 1;
    // Most of a long ranking lies beyond the clips held: a filter on the row's low bits answers
    // most of it without a lookup.
    constexpr qint64 filterBits = 1 << 16;
    std::vector<bool> mayBeHeld(filterBits, false);
    for (const ClipSnapshot &clip : *m_clips)
        mayBeHeld[size_t(clip.id.rowID & (filterBits - 1))] = true;
    const auto &index = rowIndex();
    const auto heldRow = [&](const PersistentIdentifier &id) -> std::optional<size_t> {
        if (!mayBeHeld[size_t(id.rowID & (filterBits - 1))])
            return std::nullopt;
        const auto it = index.find(id.rowID);
        if (it == index.end() || !sameIdentifier((*m_clips)[size_t(it->second)].id, id))
            return std::nullopt;
        return size_t(it->second);
    };
    const std::vector<qint64> hidden = hiddenPageRows(unlocked);
    const auto onHiddenPage = [&](const std::optional<qint64> &pageRow) {
        return pageRow && std::find(hidden.begin(), hidden.end(), *pageRow) != hidden.end();
    };
    // The keys are a subsequence of the ranking, so each is found where the walk has got to; an
    // identifier that is not there has no key (held when the keys were read, or gone from the
    // store). No index over the keys: this runs after every save while a long answer shows.
    size_t next = 0;
    for (const PersistentIdentifier &id : relatedIDs) {
        const bool keyed = next < m_relatedKeys.size() && sameIdentifier(m_relatedKeys[next].id, id);
        if (const std::optional<size_t> row = heldRow(id)) {
            next += keyed; // held since its key was read
            if (heldTaken[*row] || hiddenBy((*m_clips)[*row], hidden))
                continue;
            heldTaken[*row] = 1;
            m_related.push_back(int(*row));
        } else if (keyed) {
            if (!onHiddenPage(m_relatedKeys[next].pageRow))
                m_related.push_back(-1 - int(next));
            ++next;
        }
    }
}

ClipLists::Related ClipLists::relatedAt(int i) const
{
    const int r = m_related[size_t(i)];
    if (r >= 0) {
        const ClipSnapshot &clip = (*m_listClips)[size_t(r)];
        return {clip.id, &clip};
    }
    const RelatedKey &key = m_relatedKeys[size_t(-1 - r)];
    return {key.id, relatedContent(key.id.rowID)};
}

const ClipSnapshot *ClipLists::navigableAt(int i) const
{
    if (i < 0 || i >= navigableCount())
        return nullptr;
    return i < visibleCount() ? &visibleAt(i) : relatedAt(i - visibleCount()).clip;
}

std::optional<ClipSnapshot> ClipLists::navigableForPaste(int i) const
{
    if (i < 0 || i >= navigableCount())
        return std::nullopt;
    if (const ClipSnapshot *clip = navigableAt(i))
        return *clip;
    ClipSnapshot named;
    named.id = relatedAt(i - visibleCount()).id;
    return named;
}

std::vector<QUuid> ClipLists::navigableDedupIDs() const
{
    std::vector<QUuid> ids;
    ids.reserve(navigableCount());
    for (int row : m_visible)
        ids.push_back((*m_listClips)[row].dedupID);
    for (int r : m_related)
        ids.push_back(r >= 0 ? (*m_listClips)[size_t(r)].dedupID : m_relatedKeys[size_t(-1 - r)].dedupID);
    return ids;
}

std::optional<QUuid> ClipLists::navigableDedupID(int i) const
{
    if (i < 0 || i >= navigableCount())
        return std::nullopt;
    if (i < visibleCount())
        return visibleAt(i).dedupID;
    const int r = m_related[size_t(i - visibleCount())];
    return r >= 0 ? (*m_listClips)[size_t(r)].dedupID : m_relatedKeys[size_t(-1 - r)].dedupID;
}

int ClipLists::reanchoredSelection(int old, const std::optional<QUuid> &anchor, bool enabled) const
{
    const int n = navigableCount();
    if (!enabled || n == 0)
        return 0;
    // The first position that shows the clip, found without listing every position: a long
    // related list is walked only as far as the clip.
    if (anchor) {
        for (int i = 0; i < n; ++i)
            if (navigableDedupID(i) == anchor)
                return i;
    }
    return std::min(n - 1, std::max(old, 0));
}

std::vector<qint64> ClipLists::visibleRowIDs() const
{
    std::vector<qint64> ids;
    ids.reserve(m_visible.size());
    for (int row : m_visible)
        ids.push_back((*m_listClips)[row].id.rowID);
    return ids;
}

std::vector<int> ClipLists::semanticCandidateRows(const Query &query) const
{
    std::vector<char> shown(m_clips->size(), 0);
    if (m_listClips == m_clips) {
        for (int row : m_visible)
            shown[row] = 1;
    }
    std::vector<int> rows =
        tabBaseRows(query.tab, query.unlocked, query.filters.isActive() || !SearchQuery(query.text).isEmpty());
    std::erase_if(rows,
                  [&](int row) { return shown[row] || !matchesFilters((*m_clips)[row], query.filters, query.now); });
    return rows;
}

bool ClipLists::isNewestClipFirst(const std::optional<QUuid> &dedupID) const
{
    const std::optional<QUuid> first = m_visible.empty() ? std::nullopt : std::optional(visibleAt(0).dedupID);
    return first == dedupID;
}

std::vector<ThumbnailRequest> ClipLists::thumbnailWindow(int selectedIndex) const
{
    std::vector<ThumbnailRequest> out;
    const int count = navigableCount();
    if (count == 0)
        return out;
    const int last = std::min(selectedIndex + 4, count - 1);
    for (int i = std::max(selectedIndex - 1, 0); i <= last; ++i) {
        const ClipSnapshot *clip = navigableAt(i);
        if (clip && clip->hasImageData)
            out.push_back({clip->id, clip->contentHash});
    }
    return out;
}

QStringList ClipLists::sourceAppNames(const QStringList &also) const
{
    QSet<QString> seen;
    QStringList names;
    auto note = [&](const QString &stored) {
        const QString name = stored.trimmed();
        if (name.isEmpty() || seen.contains(name))
            return;
        seen.insert(name);
        names << name;
    };
    for (const ClipSnapshot &clip : *m_clips) {
        if (clip.sourceAppName)
            note(*clip.sourceAppName);
    }
    for (const QString &name : also)
        note(name);
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(names.begin(), names.end(),
                     [&](const QString &a, const QString &b) { return collator.compare(a, b) < 0; });
    return names;
}

const ClipSnapshot *ClipLists::clipWithDedupID(const QUuid &id) const
{
    rowIndex();
    auto it = m_dedupIndex.constFind(id);
    return it == m_dedupIndex.cend() ? nullptr : &(*m_clips)[it.value()];
}

std::vector<const ClipSnapshot *> ClipLists::pasteStackItems(const std::vector<QUuid> &stack,
                                                             const IdentifierSet &unlocked) const
{
    std::vector<const ClipSnapshot *> out;
    const std::vector<qint64> hidden = hiddenPageRows(unlocked);
    for (const QUuid &id : stack) {
        const ClipSnapshot *clip = clipWithDedupID(id);
        if (clip && !hiddenBy(*clip, hidden))
            out.push_back(clip);
    }
    return out;
}

QSet<QUuid> ClipLists::pasteableDedupIDs(const IdentifierSet &unlocked) const
{
    QSet<QUuid> keep;
    const std::vector<qint64> hidden = hiddenPageRows(unlocked);
    for (const ClipSnapshot &clip : *m_clips) {
        if (clip.primaryText && !hiddenBy(clip, hidden))
            keep.insert(clip.dedupID);
    }
    return keep;
}

std::vector<PersistentIdentifier> ClipLists::rankedSemanticMatchIDs(const std::vector<qint64> &excludedRows,
                                                                    const Scores &scores, const QString &query,
                                                                    bool enabled, double threshold)
{
    std::vector<PersistentIdentifier> out;
    if (!enabled || !isSubstantialText(query))
        return out;
    const std::unordered_set<qint64> excluded(excludedRows.begin(), excludedRows.end());
    struct Ranked {
        double score;
        QString description;
        PersistentIdentifier id;
    };
    std::vector<Ranked> kept;
    for (const auto &[id, score] : scores) {
        if (std::isnan(score) || score < threshold || excluded.count(id.rowID))
            continue;
        kept.push_back({score, id.description(), id});
    }
    std::sort(kept.begin(), kept.end(), [](const Ranked &a, const Ranked &b) {
        return a.score != b.score ? a.score > b.score : a.description < b.description;
    });
    out.reserve(kept.size());
    for (const Ranked &r : kept)
        out.push_back(r.id);
    return out;
}

} // namespace quillmere
