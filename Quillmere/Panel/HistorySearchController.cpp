#include "Quillmere/Panel/HistorySearchController.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <unordered_set>

namespace quillmere {

HistorySearchController::HistorySearchController(HistoryViewModel &model)
    : m_model(model), m_semantic(*model.m_deps.scheduler, model.m_deps.semanticEngine)
{
}

void HistorySearchController::setQuery(const QString &query)
{
    HistoryViewModel::Batch batch(m_model);
    m_model.m_state.query = query;
}

void HistorySearchController::appendToQuery(const QString &text)
{
    setQuery(m_model.m_state.query + text);
}

void HistorySearchController::removeLastQueryCharacter()
{
    setQuery(withoutLastCharacter(m_model.m_state.query));
}

void HistorySearchController::setFilters(const ClipSearchFilters &filters)
{
    HistoryViewModel::Batch batch(m_model);
    m_model.m_state.filters = filters;
}

void HistorySearchController::expandSearch()
{
    HistoryViewModel::Batch batch(m_model);
    HistoryViewState &state = m_model.m_state;
    if (state.isSearchExpanded)
        return;
    state.isSearchExpanded = true;
    state.query.clear();
    state.isSearchFocused = false;
}

void HistorySearchController::collapseSearch()
{
    HistoryViewModel::Batch batch(m_model);
    HistoryViewState &state = m_model.m_state;
    state.query.clear();
    state.isSearchExpanded = false;
    state.isSearchFocused = false;
    state.isShowingNoWordModelNote = false;
    m_model.focusLater(m_model.isSelectedPageLocked());
}

void HistorySearchController::panelDidHide()
{
    if (m_model.m_deps.semanticEngine)
        m_model.m_deps.semanticEngine->searchesPaused();
}

void HistorySearchController::refreshSemanticResults()
{
    m_semantic.cancel();
    dropAnswer();
    HistoryViewState &state = m_model.m_state;
    const ClipLists &lists = m_model.m_lists;
    const bool wanted = state.isSearchExpanded
        && !m_model.m_deps.preferences->get(PreferenceKeys::semanticSearchDisabled) && isSubstantialText(state.query);
    std::vector<int> candidates;
    SemanticSearch::DocumentsJob fromStore;
    if (wanted) {
        const ClipLists::Query query = m_model.listQuery();
        // Only part of the history is held: the store gives the rest of the candidates.
        HistoryStore::DocumentsRead read =
            lists.isComplete() || !query.tab.isHistory() ? nullptr : m_model.m_deps.store->semanticDocumentsRead();
        if (read)
            fromStore = [read = std::move(read),
                         candidates = HistoryStore::SemanticCandidates{state.query, state.filters, query.now,
                                                                       lists.hiddenPageRows(state.unlockedBoardIDs),
                                                                       SemanticSearch::documentLength}](
                            const std::atomic<bool> &stop, const SemanticScorer::DocumentBatch &batch) {
                return read(candidates, stop, batch);
            };
        else
            candidates = lists.semanticCandidateRows(query);
    }
    if (candidates.empty() && !fromStore) {
        state.relatedItemIDs.clear();
        return;
    }
    SemanticSearch::Request request{state.query, lists.sharedItems(), std::move(candidates), lists.visibleRowIDs(),
                                    std::move(fromStore)};
    m_semantic.start(
        std::move(request),
        // A Page locked while typing paused keeps its clips away from the engine.
        [this](const ClipSnapshot &clip) {
            return !m_model.m_lists.isHiddenByLock(clip, m_model.m_state.unlockedBoardIDs);
        },
        [this](const QString &query, const std::vector<qint64> &excluded, const SemanticScorer::Scores &scores) {
            applyScores(query, excluded, scores);
        });
}

void HistorySearchController::dropAnswer()
{
    ++m_answer;
    *m_keysStop = true;
    m_keysStop = std::make_shared<std::atomic<bool>>(false);
}

namespace {

// The ranked identifiers of an answer, and the keys of those beyond the clips held.
struct RankedAnswer {
    std::vector<PersistentIdentifier> ranked;
    std::optional<std::vector<RelatedKey>> keys;
};

std::vector<qint64> rowsNotHeld(const std::vector<PersistentIdentifier> &ranked,
                                const std::function<bool(qint64)> &isHeld)
{
    std::vector<qint64> rows;
    for (const PersistentIdentifier &id : ranked)
        if (!isHeld(id.rowID))
            rows.push_back(id.rowID);
    return rows;
}

} // namespace

void HistorySearchController::applyScores(const QString &query, const std::vector<qint64> &excluded,
                                          const SemanticScorer::Scores &scores)
{
    if (query != m_model.m_state.query)
        return; // typed on meanwhile
    const quint64 answer = m_answer;
    // Clips found by meaning beyond what is held are named by keys read from the store; their
    // contents are read only for the cards on screen.
    HistoryStore::RelatedKeysRead read = m_model.m_deps.store->relatedKeysRead();
    if (scores.size() <= rankedInPlace) {
        std::vector<PersistentIdentifier> ranked =
            ClipLists::rankedSemanticMatchIDs(excluded, scores, query, true, SemanticSearch::threshold);
        std::vector<qint64> missing =
            rowsNotHeld(ranked, [this](qint64 row) { return m_model.m_lists.clipWithRow(row) != nullptr; });
        if (!read || missing.empty()) {
            m_model.m_lists.holdRelatedKeys({}); // those of an earlier ranking
            showRelated(std::move(ranked));
            return;
        }
        inBackground(
            &m_model,
            [read = std::move(read), missing = std::move(missing), stop = m_keysStop] { return read(missing, *stop); },
            [this, query, answer, ranked = std::move(ranked)](std::optional<std::vector<RelatedKey>> keys) mutable {
                placeRanked(query, answer, std::move(ranked), std::move(keys));
            });
        return;
    }
    // A long answer is ranked, and its keys read, on a worker, against the clips held as it came.
    inBackground(
        &m_model,
        [excluded, scores, query, held = m_model.m_lists.sharedItems(), read = std::move(read), stop = m_keysStop] {
            RankedAnswer out{
                ClipLists::rankedSemanticMatchIDs(excluded, scores, query, true, SemanticSearch::threshold),
                std::nullopt};
            if (!read)
                return out;
            std::unordered_set<qint64> heldRows;
            for (const ClipSnapshot &clip : *held)
                heldRows.insert(clip.id.rowID);
            const std::vector<qint64> missing =
                rowsNotHeld(out.ranked, [&](qint64 row) { return heldRows.count(row) > 0; });
            if (!missing.empty())
                out.keys = read(missing, *stop);
            return out;
        },
        [this, query, answer](RankedAnswer out) {
            placeRanked(query, answer, std::move(out.ranked), std::move(out.keys));
        });
}

void HistorySearchController::placeRanked(const QString &query, quint64 answer,
                                          std::vector<PersistentIdentifier> ranked,
                                          std::optional<std::vector<RelatedKey>> keys)
{
    if (answer != m_answer || query != m_model.m_state.query || !m_model.m_shown)
        return;
    HistoryViewModel::Batch batch(m_model);
    // Keys of an earlier ranking are let go: the related list finds keys in the ranking's order.
    m_model.m_lists.holdRelatedKeys(keys ? std::move(*keys) : std::vector<RelatedKey>{});
    // A new ranking rebuilds the related list as the batch ends; the same one, here.
    if (ranked == m_model.m_state.relatedItemIDs) {
        m_model.refreshRelatedItems();
        m_model.clampSelection();
    }
    showRelated(std::move(ranked));
}

void HistorySearchController::showRelated(std::vector<PersistentIdentifier> ranked)
{
    HistoryViewModel::Batch batch(m_model);
    m_model.m_state.relatedItemIDs = std::move(ranked);
    if (!m_toldNoWordModel && m_semantic.engineHasNoModel()) {
        m_toldNoWordModel = true;
        m_model.m_state.isShowingNoWordModelNote = true;
    }
}

void HistorySearchController::clearSemanticResults()
{
    m_semantic.cancel();
    dropAnswer();
    m_model.m_state.relatedItemIDs.clear();
    m_model.m_lists.holdRelatedKeys({});
    m_model.m_lists.holdRelatedContents({});
    m_model.refreshRelatedItems();
}

} // namespace quillmere
