#include "Quillmere/Search/SemanticScoring.h"

#include <algorithm>

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

struct Word {
    qsizetype begin;
    qsizetype end;
};

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

const DocumentVectorCache::Entry &SemanticScoring::entryFor(const QString &documentText)
{
    const DocumentVectorCache::Key key = m_cache.keyOf(documentText);
    if (const DocumentVectorCache::Entry *entry = m_cache.find(key))
        return *entry;
    const QString text = documentText.trimmed();
    if (text.isEmpty())
        return m_cache.insert(key, {});
    std::vector<float> whole = textVector(*m_provider, text);
    std::vector<float> units;
    for (QStringView passage : passages(text)) {
        std::vector<float> v = textVector(*m_provider, passage);
        const double length = vectorLength(v);
        if (v.size() != whole.size() || length == 0)
            continue;
        for (float x : v)
            units.push_back(float(x / length));
    }
    return m_cache.insert(key, std::move(whole), std::move(units));
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
    constexpr double penalty = 0.0;
    const size_t dimension = queryVector.size();
    constexpr size_t stopCheckInterval = 64;
    for (size_t i = 0; i < documents.size(); ++i) {
        if (stop && i % stopCheckInterval == 0 && stop())
            return std::nullopt;
        const SemanticDocument &document = documents[i];
        const DocumentVectorCache::Entry &entry = entryFor(document.text);
        if (entry.vector.empty())
            continue;
        double score = cosineSimilarity(queryVector, queryLength, entry.vector, entry.length);
        if (entry.vector.size() == dimension && queryLength > 0) {
            for (size_t at = 0; at + dimension <= entry.passages.size(); at += dimension) {
                double dot = 0;
                for (size_t d = 0; d < dimension; ++d)
                    dot += double(queryVector[d]) * entry.passages[at + d];
                score = std::max(score, dot / queryLength - penalty);
            }
        }
        if (score >= threshold)
            result.emplace_back(document.id, score);
    }
    return result;
}

} // namespace quillmere
