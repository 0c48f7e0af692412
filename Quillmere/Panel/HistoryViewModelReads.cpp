// The history view model: what it reads of the store, and the searches the store answers on a
// worker thread, held beside the newest part of the history.

#include "Quillmere/Panel/HistoryViewModel.h"

#include "Quillmere/Panel/SnapshotSearch.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QElapsedTimer>

#include <algorithm>

namespace quillmere {

HistoryViewModel::SearchOf HistoryViewModel::currentSearch() const
{
    return {m_storeGeneration, m_state.query, m_state.filters, m_pageSize};
}

bool HistoryViewModel::wantsSearch() const
{
    if (!m_shown || m_lists.isComplete())
        return false;
    if (!m_state.filters.isActive() && SearchQuery(m_state.query).isEmpty())
        return false;
    if (!m_heldSearch)
        return true;
    const SearchOf now = currentSearch();
    const SearchOf &held = *m_heldSearch;
    // A held answer with nothing beyond it stays whole however far the list is scrolled.
    return held.generation != now.generation || held.query != now.query || held.filters != now.filters
        || (held.limit < now.limit && m_heldSearchHasMore);
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
        m_heldSearch.reset();
        m_lists.setSnapshot(m_deps.store->snapshot());
        return;
    }
    // The matches held stay until the search is read again, which the new generation asks for.
    m_lists.setSnapshot(readNewestPart(), false);
}

void HistoryViewModel::startSearchRead(HistoryStore::SearchRead read)
{
    stopSearchRead();
    const SearchOf search = currentSearch();
    m_searchRunning = search;
    m_searchStop = std::make_shared<std::atomic<bool>>(false);
    HistorySearch request{search.query, search.filters, m_deps.clock(), search.limit};
    QElapsedTimer timer;
    timer.start();
    inBackground(
        this,
        [read = std::move(read), request = std::move(request), stop = m_searchStop] { return read(request, *stop); },
        [this, search, timer, stop = m_searchStop](std::optional<HistorySearchAnswer> answer) {
            if (*stop)
                return;
            searchReadFinished(search, std::move(answer));
            qCDebug(lcStore, "Search answered in %.3f ms", double(timer.nsecsElapsed()) / 1e6);
        });
}

namespace {

// Whether every clip that holds all of `wider`'s words holds all of `narrower`'s.
bool implies(const SearchQuery &wider, const SearchQuery &narrower)
{
    return std::all_of(narrower.words().begin(), narrower.words().end(), [&](const QByteArray &word) {
        return std::any_of(wider.words().begin(), wider.words().end(),
                           [&](const QByteArray &longer) { return longer.contains(word); });
    });
}

} // namespace

bool HistoryViewModel::narrowHeldSearch()
{
    // Only a whole answer of the same store and filters: a clip stored, edited or removed since
    // starts a new generation, so the store is asked again.
    if (!m_heldSearch || !m_heldSearchWhole)
        return false;
    const SearchOf now = currentSearch();
    if (m_heldSearch->generation != now.generation || m_heldSearch->filters != now.filters)
        return false;
    const SearchQuery words(now.query), held(m_heldSearch->query);
    if (words.isEmpty() || !implies(words, held))
        return false;
    QElapsedTimer timer;
    timer.start();
    const QDateTime at = m_deps.clock();
    ClipLists::ClipVector kept;
    for (const ClipSnapshot &clip : m_lists.matches())
        if (words.matches(clip.searchKey) && (!now.filters.isActive() || matchesFilters(clip, now.filters, at)))
            kept.push_back(clip);
    stopSearchRead();
    m_heldSearch = now;
    m_lists.holdMatches(std::move(kept));
    qCDebug(lcStore, "Search answered in %.3f ms", double(timer.nsecsElapsed()) / 1e6);
    return true;
}

void HistoryViewModel::stopSearchRead()
{
    if (m_searchStop)
        *m_searchStop = true;
    m_searchRunning.reset();
}

void HistoryViewModel::searchReadFinished(const SearchOf &search, std::optional<HistorySearchAnswer> answer)
{
    m_searchRunning.reset();
    if (!m_shown || m_lists.isComplete())
        return;
    Batch batch(*this);
    // A failed read keeps what is held rather than read on and on; the next change asks again.
    m_heldSearch = search;
    m_heldSearchHasMore = answer && answer->more;
    m_heldSearchWhole = answer && !answer->more;
    if (answer)
        m_lists.holdMatches(std::move(answer->clips));
    reconcileVisibleItems(true, false);
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
