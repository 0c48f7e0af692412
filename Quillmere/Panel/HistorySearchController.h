#pragma once

#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Panel/SemanticSearch.h"

namespace quillmere {

class HistoryViewModel;

// The history search: the query typed through the key capture, the filters, and the semantic
// layer that adds clips close in meaning once typing pauses. Works on its model's state.
class HistorySearchController {
public:
    // Answers with more scores than this are ranked on a worker, so no answer holds the keys.
    static constexpr size_t rankedInPlace = 2048;

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
    // Shows the ranked clips with the keys read of those beyond what is held, unless a newer
    // answer or query came meanwhile.
    void placeRanked(const QString &query, quint64 answer, std::vector<PersistentIdentifier> ranked,
                     std::optional<std::vector<RelatedKey>> keys);
    void showRelated(std::vector<PersistentIdentifier> ranked);
    // Drops the answer under way: its ranking or its keys' read.
    void dropAnswer();

    HistoryViewModel &m_model;
    SemanticSearch m_semantic;
    quint64 m_answer = 0;
    std::shared_ptr<std::atomic<bool>> m_keysStop = std::make_shared<std::atomic<bool>>(false);
    bool m_toldNoWordModel = false;
};

} // namespace quillmere
