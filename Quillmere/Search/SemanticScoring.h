#pragma once

#include "Quillmere/Panel/SemanticSearch.h"
#include "Quillmere/Search/DocumentVectorCache.h"
#include "Quillmere/Search/EmbeddingProvider.h"

#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

// The scoring behind the semantic search engine, on whichever one thread calls it. The provider is
// loaded at the first request; without one every request scores nothing.
class SemanticScoring {
public:
    using Loader = std::function<std::unique_ptr<EmbeddingProvider>()>;
    using Scores = SemanticScorer::Scores;
    static constexpr size_t defaultCacheCapacity = 16384;

    explicit SemanticScoring(Loader loader, size_t cacheCapacity = defaultCacheCapacity);

    // The documents whose cosine similarity to the query is at least `threshold`, in document
    // order. Nothing when `stop` answers true part-way.
    std::optional<Scores> scores(const QString &query, const std::vector<SemanticDocument> &documents, double threshold,
                                 const std::function<bool()> &stop = {});
    bool hasModel();
    const DocumentVectorCache &cache() const { return m_cache; }

private:
    Loader m_loader;
    bool m_loaded = false;
    std::unique_ptr<EmbeddingProvider> m_provider;
    DocumentVectorCache m_cache;
};

} // namespace quillmere
