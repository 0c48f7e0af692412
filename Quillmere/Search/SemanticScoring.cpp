#include "Quillmere/Search/SemanticScoring.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <malloc.h>

namespace quillmere {

namespace {

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber();
}

bool endsSentence(QStringView text, qsizetype i)
{
    const QChar c = text[i];
    if (c == u'\n')
        return true;
    if (c != u'.' && c != u'!' && c != u'?' && c != u';')
        return false;
    return i + 1 == text.size() || text[i + 1].isSpace();
}

// `v` without its part along the unit vector `common`, scaled to unit length; empty when nothing is
// left.
std::vector<float> topical(std::vector<float> v, const std::vector<float> &common)
{
    if (v.size() != common.size())
        return {};
    double along = 0;
    for (size_t d = 0; d < v.size(); ++d)
        along += double(v[d]) * common[d];
    for (size_t d = 0; d < v.size(); ++d)
        v[d] -= float(along * common[d]);
    const double length = vectorLength(v);
    if (length == 0)
        return {};
    for (float &x : v)
        x = float(x / length);
    return v;
}

struct Word {
    qsizetype begin;
    qsizetype end;
};

// The highest cosine between a word of `a` and a word of `b` (vectors as TextWords holds them).
double closestWords(const EmbeddingProvider::TextWords &a, const EmbeddingProvider::TextWords &b, size_t dimension)
{
    const size_t na = a.vectors.size() / dimension, nb = b.vectors.size() / dimension;
    std::vector<double> lengths(nb);
    for (size_t j = 0; j < nb; ++j) {
        double squares = 0;
        for (size_t d = 0; d < dimension; ++d)
            squares += double(b.vectors[j * dimension + d]) * b.vectors[j * dimension + d];
        lengths[j] = std::sqrt(squares);
    }
    double best = -1;
    for (size_t i = 0; i < na; ++i) {
        const float *u = a.vectors.data() + i * dimension;
        double squares = 0;
        for (size_t d = 0; d < dimension; ++d)
            squares += double(u[d]) * u[d];
        const double length = std::sqrt(squares);
        for (size_t j = 0; j < nb; ++j) {
            if (length == 0 || lengths[j] == 0)
                continue;
            const float *v = b.vectors.data() + j * dimension;
            double dot = 0;
            for (size_t d = 0; d < dimension; ++d)
                dot += double(u[d]) * v[d];
            best = std::max(best, dot / (length * lengths[j]));
        }
    }
    return best;
}

} // namespace

std::vector<QStringView> SemanticScoring::passages(QStringView text)
{
    // Each word, and the sentence it belongs to.
    std::vector<Word> words;
    std::vector<int> sentenceOf;
    int sentence = 0;
    bool sentenceHasWords = false;
    for (qsizetype i = 0; i < text.size();) {
        if (isWordChar(text[i])) {
            const qsizetype begin = i;
            while (i < text.size() && isWordChar(text[i]))
                ++i;
            words.push_back({begin, i});
            sentenceOf.push_back(sentence);
            sentenceHasWords = true;
            continue;
        }
        if (endsSentence(text, i) && sentenceHasWords) {
            ++sentence;
            sentenceHasWords = false;
        }
        ++i;
    }
    std::vector<QStringView> out;
    const int count = int(words.size());
    if (count <= passageWords)
        return out;
    auto add = [&](int first, int last) { // words [first, last)
        out.push_back(text.mid(words[first].begin, words[last - 1].end - words[first].begin));
    };
    int first = 0;
    while (first < count) {
        // Whole sentences up to the minimum length.
        int last = first;
        while (last < count && (last - first < minimumPassageWords || sentenceOf[last] == sentenceOf[last - 1]))
            ++last;
        if (last - first <= passageWords) {
            // A short tail joins the passage before it rather than standing alone.
            if (count - last < minimumPassageWords && !out.empty() && last < count)
                last = count;
            if (last - first <= passageWords) {
                add(first, last);
                first = last;
                continue;
            }
        }
        // One long sentence (or a long tail): windows that overlap by half.
        int end = first;
        for (int start = first; start < last; start += passageWords / 2) {
            end = std::min(start + passageWords, last);
            add(start, end);
            if (end == last)
                break;
        }
        first = last;
    }
    return out;
}

SemanticScoring::SemanticScoring(Loader loader, size_t cacheCapacity, ScratchFolder scratch)
    : m_loader(std::move(loader)), m_cache(cacheCapacity), m_screen(screenCapacity, std::move(scratch))
{
}

bool SemanticScoring::hasModel()
{
    if (!m_loaded) {
        m_loaded = true;
        if (m_loader)
            m_provider = m_loader();
        if (m_provider) {
            m_common = m_provider->commonDirection();
            if (std::abs(vectorLength(m_common) - 1) > 1e-3)
                m_common.clear();
        }
    }
    return m_provider != nullptr;
}

const DocumentVectorCache::Entry &SemanticScoring::entryFor(const QString &documentText,
                                                            const DocumentVectorCache::Key &key)
{
    if (const DocumentVectorCache::Entry *entry = m_cache.find(key))
        return *entry;
    const QString text = documentText.trimmed();
    if (text.isEmpty()) {
        const DocumentVectorCache::Entry &entry = m_cache.insert(key, {});
        m_screen.insert(key, entry);
        return entry;
    }
    DocumentVectorCache::Entry entry;
    const std::vector<QStringView> parts = passages(text);
    std::vector<float> whole = m_provider->sentenceVector(text);
    if (parts.empty() && whole.empty()) {
        // A short text: its words too, for sensesChecked().
        EmbeddingProvider::TextWords words = m_provider->textWords(text, false);
        whole = std::move(words.mean);
        entry.words = std::move(words.words);
        entry.sum = std::move(words.sum);
    }
    if (whole.empty())
        whole = m_provider->wordVectorMean(text);
    std::vector<float> units;
    auto add = [&](std::vector<float> v) {
        if (!m_common.empty()) {
            v = topical(std::move(v), m_common);
        } else if (const double length = vectorLength(v); length > 0) {
            for (float &x : v)
                x = float(x / length);
        }
        // One slot per candidate, so that the n-th is the n-th passage: a passage with nothing left
        // meets no query.
        if (v.size() != whole.size())
            v.assign(whole.size(), 0.0f);
        units.insert(units.end(), v.begin(), v.end());
    };
    if (!parts.empty() && !m_common.empty())
        add(whole);
    for (QStringView passage : parts)
        add(textVector(*m_provider, passage));
    auto addWords = [&](QStringView candidate) {
        std::vector<quint64> hashes = m_provider->wordHashes(candidate);
        std::sort(hashes.begin(), hashes.end());
        hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
        entry.candidateWords.insert(entry.candidateWords.end(), hashes.begin(), hashes.end());
        entry.candidateEnds.push_back(quint32(entry.candidateWords.size()));
    };
    if (!parts.empty()) {
        addWords(text);
        for (QStringView passage : parts)
            addWords(passage);
    }
    entry.vector = std::move(whole);
    entry.passages = std::move(units);
    const DocumentVectorCache::Entry &inserted = m_cache.insert(key, std::move(entry));
    m_screen.insert(key, inserted);
    return inserted;
}

double SemanticScoring::sensesChecked(const EmbeddingProvider::TextWords &query,
                                      const DocumentVectorCache::Entry &document, double score)
{
    // The distinct words of substance the two share; only a single one is looked into.
    const std::vector<quint64> &q = query.words;
    const std::vector<quint64> &d = document.words;
    quint64 shared = 0;
    int sharedCount = 0;
    for (size_t i = 0, j = 0; i < q.size() && j < d.size();) {
        if (q[i] < d[j]) {
            ++i;
        } else if (d[j] < q[i]) {
            ++j;
        } else {
            if (sharedCount == 0 || q[i] != shared)
                ++sharedCount;
            shared = q[i];
            ++i;
            ++j;
        }
    }
    const size_t dimension = query.sum.size();
    if (sharedCount != 1 || document.sum.size() != dimension || query.vectors.size() != q.size() * dimension)
        return score;
    const auto queryRange = std::equal_range(q.begin(), q.end(), shared);
    const auto documentRange = std::equal_range(d.begin(), d.end(), shared);
    const auto inQuery = queryRange.second - queryRange.first;
    const auto inDocument = documentRange.second - documentRange.first;
    // Nothing else of substance on one side: the shared word is what that text is about.
    if (size_t(inQuery) == q.size() || size_t(inDocument) == d.size())
        return score;
    const float *word = query.vectors.data() + (queryRange.first - q.begin()) * qsizetype(dimension);
    std::vector<float> queryRest(dimension), documentRest(dimension);
    for (size_t k = 0; k < dimension; ++k) {
        queryRest[k] = query.sum[k] - float(inQuery) * word[k];
        documentRest[k] = document.sum[k] - float(inDocument) * word[k];
    }
    const double rest = cosineSimilarity(queryRest, documentRest);
    if (rest >= restAgreement || rest >= score)
        return score;
    return rest + sharedWordShare * (score - rest);
}

double SemanticScoring::bestOfLongText(const EmbeddingProvider::TextWords &query,
                                       const DocumentVectorCache::Entry &entry, const QString &text,
                                       const std::vector<double> &raw, double threshold) const
{
    // Candidate 0 is the whole text, candidate n passage n; raw scores and word runs alike.
    const double highest = *std::max_element(raw.begin(), raw.end());
    const size_t dimension = query.sum.size();
    // A query of function words alone has nothing to look for.
    if (highest < threshold || query.words.empty() || dimension == 0 || entry.candidateEnds.size() != raw.size())
        return highest;
    std::vector<size_t> order(raw.size());
    for (size_t c = 0; c < order.size(); ++c)
        order[c] = c;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return raw[a] > raw[b]; });
    QString trimmed;
    std::vector<QStringView> parts; // read only when a candidate holds none of the query's words
    double best = -std::numeric_limits<double>::infinity();
    for (size_t c : order) {
        // Lowering only ever lowers: one below the best so far cannot win.
        if (raw[c] < threshold || raw[c] <= best)
            break;
        const auto first = entry.candidateWords.begin() + (c == 0 ? 0 : entry.candidateEnds[c - 1]);
        const auto last = entry.candidateWords.begin() + entry.candidateEnds[c];
        const bool shared = std::any_of(query.words.begin(), query.words.end(),
                                        [&](quint64 word) { return std::binary_search(first, last, word); });
        double closest = 1;
        if (!shared) {
            if (trimmed.isNull()) {
                trimmed = text.trimmed();
                parts = passages(trimmed);
            }
            if (parts.size() + 1 != raw.size())
                return highest;
            const QStringView words = c == 0 ? QStringView(trimmed) : parts[c - 1];
            closest = std::max(0.0, closestWords(query, m_provider->textWords(words, true), dimension));
        }
        best = std::max(best, raw[c] - farShare * std::max(0.0, closeWord - closest));
    }
    return best;
}

struct SemanticScoring::Query {
    QString trimmed;
    std::vector<float> vector;
    double length = 0;
    // Against long texts: the query's unit vector without the common direction (when the provider
    // has one).
    std::vector<float> topical;
    // The two at unit length, for the screen.
    std::vector<double> unit;
    std::vector<double> topicalUnit;
    std::optional<EmbeddingProvider::TextWords> words;
};

std::optional<SemanticScoring::Query> SemanticScoring::prepared(const QString &query)
{
    Query q;
    q.trimmed = query.trimmed();
    if (q.trimmed.isEmpty() || !hasModel())
        return std::nullopt;
    q.vector = textVector(*m_provider, q.trimmed);
    if (q.vector.empty())
        return std::nullopt;
    q.length = vectorLength(q.vector);
    const size_t dimension = q.vector.size();
    q.topical = m_common.empty()
        ? (q.length > 0 ? topical(q.vector, std::vector<float>(dimension, 0.0f)) : std::vector<float>{})
        : topical(q.vector, m_common);
    for (float x : q.vector)
        q.unit.push_back(q.length > 0 ? double(x) / q.length : 0.0);
    q.topicalUnit.assign(q.topical.begin(), q.topical.end());
    return q;
}

bool SemanticScoring::ruledOut(const Query &query, const VectorScreen::Packed &packed, double threshold) const
{
    if (!packed.hasVector)
        return true;
    const size_t dimension = query.vector.size();
    if (packed.dimension != dimension)
        return false;
    const size_t passages = VectorScreen::passageBounds(packed);
    const bool longText = passages > 0 && !query.topical.empty();
    // As scoreInto() scores: lowering a long or short text's best only ever lowers it.
    double best = !longText || m_common.empty() ? VectorScreen::bound(packed, 0, query.unit)
                                                : -std::numeric_limits<double>::infinity();
    if (longText) {
        constexpr double k2 = longTextCommonShare * longTextCommonShare;
        for (size_t p = 0; p < passages && best < threshold; ++p) {
            const double dot = VectorScreen::passageBound(packed, p, query.topicalUnit);
            best = std::max(best, m_common.empty() ? dot : (dot + k2) / (1 + k2));
        }
    }
    return best < threshold;
}

bool SemanticScoring::scoreInto(Query &query, const std::vector<SemanticDocument> &documents, double threshold,
                                const std::function<bool()> &stop, Scores &out)
{
    m_largestBatch = std::max(m_largestBatch, documents.size());
    const size_t dimension = query.vector.size();
    constexpr double k2 = longTextCommonShare * longTextCommonShare;
    constexpr size_t stopCheckInterval = 64;
    std::vector<double> raw;
    for (size_t i = 0; i < documents.size(); ++i) {
        if (stop && i % stopCheckInterval == 0 && stop())
            return false;
        const SemanticDocument &document = documents[i];
        const DocumentVectorCache::Key key = m_cache.keyOf(document.text);
        if (const std::optional<VectorScreen::Packed> packed = m_screen.find(key);
            packed && ruledOut(query, *packed, threshold))
            continue;
        ++m_weighedInFull;
        const DocumentVectorCache::Entry &entry = entryFor(document.text, key);
        if (entry.vector.empty())
            continue;
        const bool longText = !entry.passages.empty() && !query.topical.empty();
        double score = cosineSimilarity(query.vector, query.length, entry.vector, entry.length);
        if (longText) {
            // Candidate 0 is the whole text: without a common direction compared as a short text
            // is, with one as the first of the stored vectors.
            raw.assign(m_common.empty() ? 1 : 0, score);
            for (size_t at = 0; at + dimension <= entry.passages.size(); at += dimension) {
                double dot = 0;
                for (size_t d = 0; d < dimension; ++d)
                    dot += double(query.topical[d]) * entry.passages[at + d];
                raw.push_back(m_common.empty() ? dot : (dot + k2) / (1 + k2));
            }
            if (!query.words)
                query.words = m_provider->textWords(query.trimmed, true);
            score = bestOfLongText(*query.words, entry, document.text, raw, threshold);
        }
        if (score >= threshold && !entry.words.empty()) {
            if (!query.words)
                query.words = m_provider->textWords(query.trimmed, true);
            score = sensesChecked(*query.words, entry, score);
        }
        if (score >= threshold)
            out.emplace_back(document.id, score);
    }
    return true;
}

std::optional<SemanticScoring::Scores> SemanticScoring::scores(const QString &query,
                                                               const std::vector<SemanticDocument> &documents,
                                                               double threshold, const std::function<bool()> &stop)
{
    m_largestBatch = 0;
    m_weighedInFull = 0;
    Scores result;
    std::optional<Query> q = prepared(query);
    if (q && !scoreInto(*q, documents, threshold, stop, result))
        return std::nullopt;
    return result;
}

std::optional<SemanticScoring::Scores> SemanticScoring::scores(const QString &query,
                                                               const SemanticScorer::DocumentStream &stream,
                                                               double threshold, const std::function<bool()> &stop)
{
    m_largestBatch = 0;
    m_weighedInFull = 0;
    Scores result;
    std::optional<Query> q = prepared(query);
    if (!q)
        return result;
    bool stopped = false;
    const bool read = stream([&](std::vector<SemanticDocument> batch) {
        stopped = !scoreInto(*q, batch, threshold, stop, result);
        return !stopped;
    });
    if (stopped)
        return std::nullopt;
    if (!read)
        return Scores{};
    return result;
}

void SemanticScoring::releaseMemory()
{
    if (m_provider)
        m_provider->releasePages();
    m_screen.releasePages();
    malloc_trim(0);
}

void SemanticScoring::releaseWeighed()
{
    m_cache.clear();
    releaseMemory();
}

} // namespace quillmere
