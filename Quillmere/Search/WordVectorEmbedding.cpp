#include "Quillmere/Search/WordVectorEmbedding.h"

#include <algorithm>
#include <cmath>

namespace quillmere {

namespace {

// Four sums side by side, so that the additions do not wait on each other.
float dot(const float *a, const float *b, size_t n)
{
    float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i)
        s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

} // namespace

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

std::vector<quint64> WordVectorEmbedding::wordHashes(QStringView text) const
{
    std::vector<quint64> hashes;
    forEachWord(text, [&](std::string_view word) { hashes.push_back(WordVectorModel::hash(word)); });
    return hashes;
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
        for (size_t d = 0; d < dimension; ++d)
            sum[d] += word[d];
        lengths[i] = std::sqrt(dot(word, word, dimension));
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
        // "transfer" part ways, while words that agree with their text barely move. With w the
        // word, r = sum - w the rest, the turned word is |w| (w/|w| + r/|r|) / |w/|w| + r/|r||,
        // which adds up as a w + b (sum - w): one dot product per word and one pass to add.
        const double sumSquares = dot(sum.data(), sum.data(), dimension);
        double sumShare = 0; // of `sum` in the mean
        for (size_t i = 0; i < count; ++i) {
            const float *word = vectors.data() + i * dimension;
            const double length = lengths[i];
            const double along = dot(sum.data(), word, dimension);
            const double restSquares = sumSquares - 2 * along + length * length;
            double a = 1, b = 0;
            if (length > 0 && restSquares > 1e-12) {
                const double restLength = std::sqrt(restSquares);
                const double cosine = (along - length * length) / (length * restLength);
                const double turnedLength = std::sqrt(std::max(0.0, 2 + 2 * cosine));
                if (turnedLength > 1e-9) {
                    a = 1 / turnedLength;
                    b = length / (restLength * turnedLength);
                } else {
                    a = 0;
                }
            }
            // a w + b (sum - w) = (a - b) w + b sum
            const float wordShare = float(a - b);
            for (size_t d = 0; d < dimension; ++d)
                mean[d] += wordShare * word[d];
            sumShare += b;
        }
        for (size_t d = 0; d < dimension; ++d)
            mean[d] += float(sumShare) * sum[d];
    }
    for (float &v : mean)
        v /= float(count);
    if (words)
        words->mean = mean;
    return mean;
}

} // namespace quillmere
