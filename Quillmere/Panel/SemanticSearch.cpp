#include "Quillmere/Panel/SemanticSearch.h"

#include "Quillmere/Panel/SnapshotSearch.h"

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
        if (!m_engine) {
            replyFor(generation, request, answer)({});
            return;
        }
        m_readStop = std::make_shared<std::atomic<bool>>(false);
        m_engine->scoresOf(
            request.query,
            [job = request.documents, stop = m_readStop](const SemanticScorer::DocumentBatch &batch) {
                return job(*stop, batch);
            },
            threshold, replyFor(generation, request, answer));
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
    SemanticScorer::Reply reply = replyFor(generation, request, answer);
    if (!m_engine || documents.empty()) {
        reply({});
        return;
    }
    m_engine->scores(request.query, std::move(documents), threshold, std::move(reply));
}

SemanticScorer::Reply SemanticSearch::replyFor(quint64 generation, const Request &request, const Answer &answer) const
{
    std::weak_ptr<quint64> alive = m_generation;
    return [alive, generation, query = request.query, excluded = request.excludedRows,
            answer](SemanticScorer::Scores scores) {
        const auto current = alive.lock();
        if (!current || *current != generation)
            return; // cancelled, replaced or gone while scoring
        answer(query, excluded, scores);
    };
}

} // namespace quillmere
