// The history view model: what it reads of the store on a worker thread, and how a whole history
// read there stays whole across later saves.

#include "Quillmere/Panel/HistoryViewModel.h"

#include "Quillmere/Panel/SnapshotSearch.h"
#include "Quillmere/Platform/Core/InBackground.h"

#include <algorithm>
#include <unordered_set>

namespace quillmere {

namespace {

bool newerThan(const ClipSnapshot &a, const ClipSnapshot &b)
{
    return a.createdAt != b.createdAt ? a.createdAt > b.createdAt : a.id.rowID > b.id.rowID;
}

} // namespace

bool HistoryViewModel::wantsWholeHistory() const
{
    if (!m_shown)
        return false;
    // What is held stays whole, searched or not: its older clips are read again after a save.
    if (m_heldWholeGeneration)
        return *m_heldWholeGeneration != m_storeGeneration;
    return !m_lists.isComplete() && (m_state.filters.isActive() || !SearchQuery(m_state.query).isEmpty());
}

HistorySnapshot HistoryViewModel::readNewestPart() const
{
    // Clips queued to paste stay resolvable however old they are.
    const std::vector<QUuid> queued = m_deps.pasteStack ? m_deps.pasteStack->stack() : std::vector<QUuid>{};
    return m_deps.store->newestSnapshot(m_pageSize, queued);
}

void HistoryViewModel::takeSnapshot()
{
    if (!m_stale)
        return;
    m_stale = false;
    if (m_wantWhole) {
        m_heldWholeGeneration.reset();
        m_lists.setSnapshot(m_deps.store->snapshot());
        return;
    }
    HistorySnapshot newest = readNewestPart();
    if (m_heldWholeGeneration && !newest.isComplete()) {
        if (takeMergedWhole(newest, m_lists.items()))
            return;
        // A clip beyond the newest part went or came: the older ones wait for the next read, which
        // selects the clip selected now again.
        const std::vector<QUuid> ids = m_lists.navigableDedupIDs();
        if (m_state.selectedIndex > 0 && m_state.selectedIndex < int(ids.size()))
            m_selectionToRestore = ids[size_t(m_state.selectedIndex)];
    }
    m_heldWholeGeneration.reset();
    m_lists.setSnapshot(std::move(newest));
}

bool HistoryViewModel::takeMergedWhole(const HistorySnapshot &newest, std::vector<ClipSnapshot> older, bool anyCount)
{
    Q_ASSERT(!newest.isComplete());
    const auto partEnd = newest.clips.begin() + newest.newestCount;
    std::unordered_set<qint64> inNewest;
    for (const ClipSnapshot &clip : newest.clips)
        inNewest.insert(clip.id.rowID);
    // Beyond the newest part: the clips it read (on Pages, queued) as saved now, and the others
    // from `older`.
    auto from = older.begin();
    if (partEnd != newest.clips.begin()) {
        const ClipSnapshot &last = *(partEnd - 1);
        from = std::partition_point(older.begin(), older.end(),
                                    [&](const ClipSnapshot &c) { return !newerThan(last, c); });
    }
    std::vector<ClipSnapshot> rest;
    rest.reserve(size_t(older.end() - from));
    for (auto it = from; it != older.end(); ++it) {
        if (it->id.rowID == 0 || inNewest.count(it->id.rowID))
            continue;
        if (it->pageID && std::none_of(newest.pages.begin(), newest.pages.end(), [&](const PageSnapshot &page) {
                return page.id == *it->pageID;
            }))
            it->pageID.reset();
        rest.push_back(std::move(*it));
    }
    std::vector<ClipSnapshot> whole;
    whole.reserve(newest.clips.size() + rest.size());
    whole.insert(whole.end(), newest.clips.begin(), partEnd);
    std::merge(partEnd, newest.clips.end(), std::make_move_iterator(rest.begin()), std::make_move_iterator(rest.end()),
               std::back_inserter(whole), newerThan);
    // A clip gone from the older part, or one saved there, shows in the count.
    if (!anyCount && qsizetype(whole.size()) != m_deps.store->clipCount())
        return false;
    m_lists.setSnapshot({std::move(whole), newest.pages, -1});
    return true;
}

void HistoryViewModel::startWholeRead(HistoryStore::ClipsRead read)
{
    using Clips = std::optional<std::vector<ClipSnapshot>>;
    m_wholeReadRunning = true;
    m_wholeReadStop = std::make_shared<std::atomic<bool>>(false);
    const quint64 generation = m_storeGeneration;
    inBackground(
        this,
        [read = std::move(read), stop = m_wholeReadStop]() -> Clips {
            Clips clips = read(*stop);
            // Folding the texts is most of a search's first cost; it is done here, not on the main thread.
            if (clips)
                for (ClipSnapshot &clip : *clips) {
                    if (stop->load(std::memory_order_relaxed))
                        return std::nullopt;
                    clip.searchKey = searchKeyOf(clip);
                }
            return clips;
        },
        [this, generation, stop = m_wholeReadStop](Clips clips) {
            if (!*stop)
                wholeReadFinished(generation, std::move(clips));
        });
}

void HistoryViewModel::stopWholeRead()
{
    if (m_wholeReadStop)
        *m_wholeReadStop = true;
    m_wholeReadRunning = false;
}

void HistoryViewModel::wholeReadFinished(quint64 generation, std::optional<std::vector<ClipSnapshot>> clips)
{
    m_wholeReadRunning = false;
    if (!wantsWholeHistory())
        return;
    Batch batch(*this);
    if (!clips) {
        if (m_heldWholeGeneration) {
            m_heldWholeGeneration = m_storeGeneration; // keep what is held rather than read on and on
            return;
        }
        widenSnapshot(true);
        reconcileVisibleItems(true, false);
        return;
    }
    // The newest part as held when nothing was saved meanwhile (it has any clip a failed save kept
    // only in memory), else as read now; the read's older clips follow it. Saved meanwhile, they
    // are shown as they were until the next read, which starts once this one landed.
    HistorySnapshot newest;
    if (generation == m_storeGeneration && !m_lists.isComplete())
        newest = {m_lists.items(), m_lists.pages(), m_lists.newestCount()};
    else
        newest = readNewestPart();
    m_stale = false;
    if (newest.isComplete()) {
        m_heldWholeGeneration.reset();
        m_lists.setSnapshot(std::move(newest));
    } else if (takeMergedWhole(newest, std::move(*clips), generation != m_storeGeneration)) {
        m_heldWholeGeneration = generation;
    } else {
        // Not what the store holds even now: read it all here.
        m_heldWholeGeneration.reset();
        m_lists.setSnapshot(std::move(newest));
        widenSnapshot(true);
    }
    reconcileVisibleItems(true, false);
    if (m_selectionToRestore) {
        const std::vector<QUuid> ids = m_lists.navigableDedupIDs();
        const auto it = std::find(ids.begin(), ids.end(), *m_selectionToRestore);
        if (it != ids.end()) {
            m_state.selectedIndex = int(it - ids.begin());
            m_lists.ensureSelectionRendered(m_state.selectedIndex);
        }
        m_selectionToRestore.reset();
    }
}

void HistoryViewModel::startSourceNamesRead()
{
    if (m_sourceNamesReadRunning || m_sourceNamesGeneration == m_storeGeneration)
        return;
    HistoryStore::NamesRead read = m_deps.store->sourceAppNamesRead();
    if (!read)
        return;
    m_sourceNamesReadRunning = true;
    const quint64 generation = m_storeGeneration;
    inBackground(this, std::move(read), [this, generation](std::optional<QStringList> names) {
        m_sourceNamesReadRunning = false;
        if (!names)
            return;
        Batch batch(*this);
        m_sourceNamesGeneration = generation;
        m_storedSourceNames = std::move(*names);
        refreshSourceAppNames();
        // Saved meanwhile: once more, so a source whose last clip went leaves the menu.
        if (m_shown)
            startSourceNamesRead();
    });
}

} // namespace quillmere
