#pragma once

#include <QStringView>
#include <vector>

namespace quillmere {

// Turns texts into vectors for the semantic search. Called on the engine's thread only.
class EmbeddingProvider {
public:
    virtual ~EmbeddingProvider() = default;
    // One vector for the whole text; empty when the provider has no sentence model.
    virtual std::vector<float> sentenceVector(QStringView text) const = 0;
    // The mean of the vectors of the text's words; empty when none of them is known.
    virtual std::vector<float> wordVectorMean(QStringView text) const = 0;
    // A unit direction that every text's vector leans along whatever the text is about; empty
    // when the provider's vectors have none.
    virtual std::vector<float> commonDirection() const { return {}; }
};

// The sentence vector when there is one, else the mean of the word vectors; empty when neither.
std::vector<float> textVector(const EmbeddingProvider &provider, QStringView text);

// Dot product over the product of the two lengths; 0 when the sizes differ, a vector is empty or
// either length is 0.
double cosineSimilarity(const std::vector<float> &a, const std::vector<float> &b);
// The same with the lengths known beforehand.
double cosineSimilarity(const std::vector<float> &a, double aLength, const std::vector<float> &b, double bLength);
double vectorLength(const std::vector<float> &v);

} // namespace quillmere
