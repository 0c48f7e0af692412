#pragma once

#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Panel/SemanticSearch.h"

namespace quillmere {

class HistoryViewModel;

// The history search: the query typed through the key capture, the filters, and the semantic
// layer that adds clips close in meaning once typing pauses. Works on its model's state.
class HistorySearchController {
public:
    explicit HistorySearchController(HistoryViewModel &model);

    void setQuery(const QString &query);
    void appendToQuery(const QString &text);
    void removeLastQueryCharacter();
    void setFilters(const ClipSearchFilters &filters);
    // The header's search button: opens search with an empty query.
    void expandSearch();
    void collapseSearch();
    // The panel went: the engine may let go of what speeds up a search under way.
    void panelDidHide();

    // Observers of the model.
    void refreshSemanticResults();
    void clearSemanticResults();

private:
    void applyScores(const QString &query, const std::vector<qint64> &excluded, const SemanticScorer::Scores &scores);
    void showRelated(std::vector<PersistentIdentifier> ranked);

    HistoryViewModel &m_model;
    SemanticSearch m_semantic;
    bool m_toldNoWordModel = false;
};

} // namespace quillmere
