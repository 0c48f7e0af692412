#include "Quillmere/Panel/HistorySearchController.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Platform/Core/Preferences.h"

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

void HistorySearchController::refreshSemanticResults()
{
    m_semantic.cancel();
    HistoryViewState &state = m_model.m_state;
    const ClipLists &lists = m_model.m_lists;
    const bool wanted = state.isSearchExpanded
        && !m_model.m_deps.preferences->get(PreferenceKeys::semanticSearchDisabled) && isSubstantialText(state.query);
    std::vector<int> candidates;
    if (wanted)
        candidates = lists.semanticCandidateRows(m_model.listQuery());
    if (candidates.empty()) {
        state.relatedItemIDs.clear();
        return;
    }
    SemanticSearch::Request request{state.query, lists.sharedItems(), std::move(candidates), lists.visibleRowIDs()};
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

void HistorySearchController::applyScores(const QString &query, const std::vector<qint64> &excluded,
                                          const SemanticScorer::Scores &scores)
{
    std::vector<PersistentIdentifier> ranked =
        ClipLists::rankedSemanticMatchIDs(excluded, scores, query, true, SemanticSearch::threshold);
    if (query != m_model.m_state.query)
        return; // typed on meanwhile
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
    m_model.m_state.relatedItemIDs.clear();
    m_model.refreshRelatedItems();
}

} // namespace quillmere
