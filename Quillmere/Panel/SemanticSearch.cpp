#include "Quillmere/Panel/SemanticSearch.h"

#include "Quillmere/Panel/SnapshotSearch.h"
#include "Quillmere/Platform/Core/InBackground.h"

namespace quillmere {

SemanticSearch::SemanticSearch(TaskScheduler &scheduler, SemanticScorer *engine)
    : m_scheduler(scheduler), m_engine(engine)
{
}

SemanticSearch::~SemanticSearch()
{
    cancel();
}

void SemanticSearch::cancel()
{
    ++*m_generation;
    if (m_readStop)
        *m_readStop = true;
    if (m_waiting) {
        m_scheduler.cancel(m_waiting);
        m_waiting = 0;
    }
}

void SemanticSearch::start(Request request, StillAllowed allowed, Answer answer)
{
    cancel();
    const quint64 generation = *m_generation;
    // Documents are built only when the pause ends: most keystrokes never get that far.
    m_waiting = m_scheduler.schedule(
        debounce,
        [this, generation, request = std::move(request), allowed = std::move(allowed), answer = std::move(answer)] {
            m_waiting = 0;
            fire(generation, request, allowed, answer);
        });
}

void SemanticSearch::fire(quint64 generation, const Request &request, const StillAllowed &allowed, const Answer &answer)
{
    if (generation != *m_generation)
        return;
    if (request.documents) {
        m_readStop = std::make_shared<std::atomic<bool>>(false);
        inBackground(
            &m_reads, [job = request.documents, stop = m_readStop] { return job(*stop); },
            [this, generation, request, answer](std::optional<std::vector<SemanticDocument>> documents) {
                if (generation == *m_generation)
                    score(generation, request, documents.value_or(std::vector<SemanticDocument>{}), answer);
            });
        return;
    }
    std::vector<SemanticDocument> documents;
    documents.reserve(request.candidateRows.size());
    for (int row : request.candidateRows) {
        const ClipSnapshot &clip = (*request.clips)[row];
        if (allowed && !allowed(clip))
            continue;
        documents.push_back({clip.id, semanticText(clip, documentLength)});
    }
    score(generation, request, std::move(documents), answer);
}

void SemanticSearch::score(quint64 generation, const Request &request, std::vector<SemanticDocument> documents,
                           const Answer &answer)
{
    std::weak_ptr<quint64> alive = m_generation;
    auto reply = [alive, generation, query = request.query, excluded = request.excludedRows,
                  answer](SemanticScorer::Scores scores) {
        const auto current = alive.lock();
        if (!current || *current != generation)
            return; // cancelled, replaced or gone while scoring
        answer(query, excluded, scores);
    };
    if (!m_engine || documents.empty()) {
        reply({});
        return;
    }
    m_engine->scores(request.query, std::move(documents), threshold, std::move(reply));
}

} // namespace quillmere
