#include "Quillmere/Search/SemanticScoring.h"

namespace quillmere {

SemanticScoring::SemanticScoring(Loader loader, size_t cacheCapacity)
    : m_loader(std::move(loader)), m_cache(cacheCapacity)
{
}

bool SemanticScoring::hasModel()
{
    if (!m_loaded) {
        m_loaded = true;
        if (m_loader)
            m_provider = m_loader();
    }
    return m_provider != nullptr;
}

std::optional<SemanticScoring::Scores> SemanticScoring::scores(const QString &query,
                                                               const std::vector<SemanticDocument> &documents,
                                                               double threshold, const std::function<bool()> &stop)
{
    Scores result;
    const QString trimmed = query.trimmed();
    if (trimmed.isEmpty() || !hasModel())
        return result;
    const std::vector<float> queryVector = textVector(*m_provider, trimmed);
    if (queryVector.empty())
        return result;
    const double queryLength = vectorLength(queryVector);
    constexpr size_t stopCheckInterval = 64;
    for (size_t i = 0; i < documents.size(); ++i) {
        if (stop && i % stopCheckInterval == 0 && stop())
            return std::nullopt;
        const SemanticDocument &document = documents[i];
        const DocumentVectorCache::Key key = m_cache.keyOf(document.text);
        const DocumentVectorCache::Entry *entry = m_cache.find(key);
        if (!entry) {
            const QString text = document.text.trimmed();
            entry = &m_cache.insert(key, text.isEmpty() ? std::vector<float>{} : textVector(*m_provider, text));
        }
        if (entry->vector.empty())
            continue;
        const double score = cosineSimilarity(queryVector, queryLength, entry->vector, entry->length);
        if (score >= threshold)
            result.emplace_back(document.id, score);
    }
    return result;
}

} // namespace quillmere
