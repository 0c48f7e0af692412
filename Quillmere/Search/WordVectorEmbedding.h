#pragma once

#include "Quillmere/Search/EmbeddingProvider.h"
#include "Quillmere/Search/WordVectorModel.h"

#include <functional>
#include <string_view>

namespace quillmere {

// The shipped provider: word vectors trained from dictionary data and package descriptions, a
// text's vector being the mean of the vectors of its words, each turned toward the rest of a short
// text; a word the file does not hold gets one from its character n-grams. Words are the runs of [a-z0-9] after lower-casing, as in the
// corpus the vectors were trained on. It has no sentence model.
class WordVectorEmbedding : public EmbeddingProvider {
public:
    explicit WordVectorEmbedding(std::unique_ptr<WordVectorModel> model);

    std::vector<float> sentenceVector(QStringView text) const override;
    std::vector<float> wordVectorMean(QStringView text) const override;
    std::vector<float> commonDirection() const override { return m_model->commonDirection(); }
    TextWords textWords(QStringView text, bool withVectors) const override;
    std::vector<quint64> wordHashes(QStringView text) const override;
    void releasePages() const override { m_model->releasePages(); }
    // A word vector shorter than this is a function word's ("the", "of", "is"): frequent words are
    // weighted down so far that the shortest word of substance is some ten times longer.
    static constexpr double functionWordLength = 0.1;
    // A text of at most this many words (a clip, a passage of a long one) has its words read in
    // context; a longer one's mean is plain.
    static constexpr size_t contextWords = 40;

    // Calls `word` for each word of `text`, in order; longer words than the model holds are skipped.
    static void forEachWord(QStringView text, const std::function<void(std::string_view)> &word);

private:
    // The text's mean, and its words when `words` is given.
    std::vector<float> embed(QStringView text, TextWords *words, bool withVectors) const;

    std::unique_ptr<WordVectorModel> m_model;
};

} // namespace quillmere
