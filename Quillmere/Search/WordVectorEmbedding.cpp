#include "Quillmere/Search/WordVectorEmbedding.h"

#include <algorithm>
#include <cmath>

namespace quillmere {

WordVectorEmbedding::WordVectorEmbedding(std::unique_ptr<WordVectorModel> model) : m_model(std::move(model))
{
}

std::vector<float> WordVectorEmbedding::sentenceVector(QStringView) const
{
    return {};
}

void WordVectorEmbedding::forEachWord(QStringView text, const std::function<void(std::string_view)> &word)
{
    char buffer[WordVectorModel::maxWordLength + 1];
    size_t length = 0;
    auto flush = [&] {
        if (length > 0 && length <= WordVectorModel::maxWordLength)
            word(std::string_view(buffer, length));
        length = 0;
    };
    for (QChar c : text) {
        char16_t u = c.unicode();
        if (u >= 'A' && u <= 'Z')
            u += 'a' - 'A';
        const bool wordChar = (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9');
        if (!wordChar) {
            flush();
            continue;
        }
        // Past the longest word the buffer only counts, so the whole run is dropped.
        if (length < WordVectorModel::maxWordLength)
            buffer[length] = char(u);
        ++length;
    }
    flush();
}

EmbeddingProvider::TextWords WordVectorEmbedding::textWords(QStringView text, bool withVectors) const
{
    TextWords out;
    embed(text, &out, withVectors);
    return out;
}

std::vector<float> WordVectorEmbedding::wordVectorMean(QStringView text) const
{
    return embed(text, nullptr, false);
}

std::vector<float> WordVectorEmbedding::embed(QStringView text, TextWords *words, bool withVectors) const
{
    const size_t dimension = size_t(m_model->dimension());
    std::vector<float> vectors; // one word's after another
    vectors.reserve(size_t(text.size() / 4 + 1) * dimension);
    std::vector<quint64> hashes;
    forEachWord(text, [&](std::string_view word) {
        const size_t at = vectors.size();
        vectors.resize(at + dimension, 0.0f);
        const qsizetype index = m_model->find(word);
        if (index >= 0) {
            m_model->addVector(index, vectors.data() + at);
        } else if (!m_model->addNgramVector(word, vectors.data() + at)) {
            vectors.resize(at);
            return;
        }
        if (words)
            hashes.push_back(WordVectorModel::hash(word));
    });
    const size_t count = vectors.size() / dimension;
    if (count == 0)
        return {};
    std::vector<float> sum(dimension, 0.0f);
    std::vector<float> lengths(count);
    for (size_t i = 0; i < count; ++i) {
        const float *word = vectors.data() + i * dimension;
        float squares = 0;
        for (size_t d = 0; d < dimension; ++d) {
            sum[d] += word[d];
            squares += word[d] * word[d];
        }
        lengths[i] = std::sqrt(squares);
    }
    if (words) {
        std::vector<size_t> order;
        for (size_t i = 0; i < count; ++i) {
            if (lengths[i] >= functionWordLength)
                order.push_back(i);
        }
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return hashes[a] < hashes[b]; });
        for (size_t i : order) {
            words->words.push_back(hashes[i]);
            if (withVectors)
                words->vectors.insert(words->vectors.end(), vectors.begin() + qsizetype(i * dimension),
                                      vectors.begin() + qsizetype((i + 1) * dimension));
        }
        words->sum = sum;
    }
    std::vector<float> mean(dimension, 0.0f);
    if (count == 1 || count > contextWords) {
        mean = sum;
    } else {
        // Each word turned halfway toward the rest of its text, its length kept: a word of two
        // senses leans toward the one its neighbours share, so "bank" by "river" and "bank" by
        // "transfer" part ways, while words that agree with their text barely move.
        std::vector<float> turned(dimension);
        for (size_t i = 0; i < count; ++i) {
            const float *word = vectors.data() + i * dimension;
            float restSquares = 0;
            for (size_t d = 0; d < dimension; ++d) {
                const float rest = sum[d] - word[d];
                restSquares += rest * rest;
            }
            if (lengths[i] == 0 || restSquares == 0) {
                for (size_t d = 0; d < dimension; ++d)
                    mean[d] += word[d];
                continue;
            }
            const float wordScale = 1 / lengths[i];
            const float restScale = 1 / std::sqrt(restSquares);
            float turnedSquares = 0;
            for (size_t d = 0; d < dimension; ++d) {
                turned[d] = word[d] * wordScale + (sum[d] - word[d]) * restScale;
                turnedSquares += turned[d] * turned[d];
            }
            const float scale = turnedSquares > 0 ? lengths[i] / std::sqrt(turnedSquares) : 0;
            for (size_t d = 0; d < dimension; ++d)
                mean[d] += turned[d] * scale;
        }
    }
    for (float &v : mean)
        v /= float(count);
    if (words)
        words->mean = mean;
    return mean;
}

} // namespace quillmere
