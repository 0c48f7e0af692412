#include "Quillmere/Search/EmbeddingProvider.h"

#include <cmath>

namespace quillmere {

std::vector<float> textVector(const EmbeddingProvider &provider, QStringView text)
{
    std::vector<float> vector = provider.sentenceVector(text);
    if (vector.empty())
        vector = provider.wordVectorMean(text);
    return vector;
}

double vectorLength(const std::vector<float> &v)
{
    double squares = 0;
    for (float x : v)
        squares += double(x) * x;
    return std::sqrt(squares);
}

double cosineSimilarity(const std::vector<float> &a, double aLength, const std::vector<float> &b, double bLength)
{
    if (a.size() != b.size() || a.empty() || aLength == 0 || bLength == 0)
        return 0;
    double dot = 0;
    for (size_t i = 0; i < a.size(); ++i)
        dot += double(a[i]) * b[i];
    return dot / (aLength * bLength);
}

double cosineSimilarity(const std::vector<float> &a, const std::vector<float> &b)
{
    return cosineSimilarity(a, vectorLength(a), b, vectorLength(b));
}

} // namespace quillmere
