#pragma once

#include <QStringView>
#include <QtGlobal>
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
    // The words of substance of a text, and the plain sum of its words' vectors: what the scoring
    // needs to tell which words two texts share and what the rest of each says.
    struct TextWords {
        // A 64-bit hash of each word of substance (function words, whose vectors are far shorter,
        // left out), sorted, a word as often as it occurs.
        std::vector<quint64> words;
        // Their vectors in the same order, when asked for.
        std::vector<float> vectors;
        // The sum of the vectors of all the text's words, each as stored (unlike the mean above).
        std::vector<float> sum;
        // wordVectorMean() of the text, worked out on the way.
        std::vector<float> mean;
    };
    // Empty when the provider does not read words.
    virtual TextWords textWords(QStringView, bool /*withVectors*/) const { return {}; }
    // The hash (as in TextWords) of each of the text's words, function words too, in text order;
    // no vector is looked up. Empty when the provider does not read words.
    virtual std::vector<quint64> wordHashes(QStringView) const { return {}; }
    // Hands back to the system what the provider holds only to be quick, once a search is done.
    virtual void releasePages() const {}
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
