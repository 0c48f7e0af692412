#pragma once

#include "Quillmere/Panel/SemanticSearch.h"
#include "Quillmere/Search/DocumentVectorCache.h"
#include "Quillmere/Search/EmbeddingProvider.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

// The scoring behind the semantic search engine, on whichever one thread calls it. The provider is
// loaded at the first request; without one every request scores nothing.
class SemanticScoring {
public:
    using Loader = std::function<std::unique_ptr<EmbeddingProvider>()>;
    using Scores = SemanticScorer::Scores;
    // The screen keeps every text of a long history; in full, only those a search came near are kept.
    static constexpr size_t defaultCacheCapacity = 2048;
    static constexpr size_t screenCapacity = 262144;

    // The screen's pages are backed by files in `scratch` when it gives them (see ScratchFolder).
    explicit SemanticScoring(Loader loader, size_t cacheCapacity = defaultCacheCapacity, ScratchFolder scratch = {});

    // The documents whose cosine similarity to the query is at least `threshold`, in document
    // order. Nothing when `stop` answers true part-way.
    std::optional<Scores> scores(const QString &query, const std::vector<SemanticDocument> &documents, double threshold,
                                 const std::function<bool()> &stop = {});
    // The same over the documents `stream` hands over, a batch at a time, so that no more than a
    // batch of texts is held; nothing scored when the stream's read failed.
    std::optional<Scores> scores(const QString &query, const SemanticScorer::DocumentStream &stream, double threshold,
                                 const std::function<bool()> &stop = {});
    // The most documents one request held at once, for callers that keep memory bounded.
    size_t largestBatch() const { return m_largestBatch; }
    bool hasModel();
    // What the last request touched and nothing keeps goes back to the system; the screen's pages
    // leave the process when a file backs them.
    void releaseMemory();
    // The fully weighed texts go too, for a while without searches: only the next keys of a search
    // gain from them, and the screen still knows every text.
    void releaseWeighed();
    const DocumentVectorCache &cache() const { return m_cache; }
    const VectorScreen &screen() const { return m_screen; }
    // How many documents the last request worked out, or took from the cache, in full.
    size_t weighedInFull() const { return m_weighedInFull; }

    // A text longer than one passage is also scored by its best passage, so that a long note that
    // mixes topics meets a query on one of them without the others drowning it.
    static constexpr int passageWords = 40;
    static constexpr int minimumPassageWords = 20;
    // The passages of `text`: runs of whole sentences of at least minimumPassageWords words, a
    // sentence longer than passageWords cut into half-overlapping windows of that many. Nothing
    // for a text of passageWords words or fewer.
    static std::vector<QStringView> passages(QStringView text);
    // A long text's mean leans ever more along the provider's common direction, which makes it look
    // like every query. Against a long text (whole or passage) only the rest of the two vectors is
    // compared, and that cosine c is reported as (c + k^2) / (1 + k^2): what two unit vectors
    // that each have k of the common direction added would give. k is the share the word-model
    // build gives back to each word.
    static constexpr double longTextCommonShare = 0.35;
    // Two short texts whose only shared word of substance carries them to the threshold may use it
    // in two senses, as "river bank" and "bank transfer" do. When the rest of the two texts agree
    // less than restAgreement, the pair is scored by that rest, plus sharedWordShare of what the
    // shared word added.
    static constexpr double restAgreement = 0.5;
    static constexpr double sharedWordShare = 0.3;
    // A long text (whole or passage) that holds no word within closeWord (cosine) of a word of
    // substance of the query only leans its way, as "see you next week" leans toward a note of
    // meetings: it loses farShare of the shortfall.
    static constexpr double closeWord = 0.8;
    static constexpr double farShare = 0.5;

private:
    struct Query;
    std::optional<Query> prepared(const QString &query);
    // Appends the scores of `documents` to `out`; false when `stop` answered true.
    bool scoreInto(Query &query, const std::vector<SemanticDocument> &documents, double threshold,
                   const std::function<bool()> &stop, Scores &out);
    const DocumentVectorCache::Entry &entryFor(const QString &text, const DocumentVectorCache::Key &key);
    // Whether the packed vectors show that the document cannot reach `threshold` against `query`.
    bool ruledOut(const Query &query, const VectorScreen::Packed &packed, double threshold) const;
    // `score` of a short pair, lowered when it rests on a single word the two texts share while
    // the rest of them disagree.
    static double sensesChecked(const EmbeddingProvider::TextWords &query, const DocumentVectorCache::Entry &document,
                                double score);
    // The best of a long text's candidates (its whole, then its passages) scored `raw`, each
    // lowered when none of its words comes close to one of the query's.
    double bestOfLongText(const EmbeddingProvider::TextWords &query, const DocumentVectorCache::Entry &entry,
                          const QString &text, const std::vector<double> &raw, double threshold) const;

    Loader m_loader;
    bool m_loaded = false;
    std::unique_ptr<EmbeddingProvider> m_provider;
    std::vector<float> m_common;
    DocumentVectorCache m_cache;
    VectorScreen m_screen;
    size_t m_largestBatch = 0;
    size_t m_weighedInFull = 0;
};

} // namespace quillmere
