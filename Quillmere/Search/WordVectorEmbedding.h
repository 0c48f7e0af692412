#pragma once

#include "Quillmere/Search/EmbeddingProvider.h"
#include "Quillmere/Search/WordVectorModel.h"

#include <functional>
#include <string_view>

namespace quillmere {

// The shipped provider: word vectors trained from dictionary data and package descriptions, a
// text's vector being the mean of the vectors of its words; a word the file does not hold gets one
// from its character n-grams. Words are the runs of [a-z0-9] after lower-casing, as in the
// corpus the vectors were trained on. It has no sentence model.
class WordVectorEmbedding : public EmbeddingProvider {
public:
    explicit WordVectorEmbedding(std::unique_ptr<WordVectorModel> model);

    std::vector<float> sentenceVector(QStringView text) const override;
    std::vector<float> wordVectorMean(QStringView text) const override;
    std::vector<float> commonDirection() const override { return m_model->commonDirection(); }

    // Calls `word` for each word of `text`, in order; longer words than the model holds are skipped.
    static void forEachWord(QStringView text, const std::function<void(std::string_view)> &word);

private:
    std::unique_ptr<WordVectorModel> m_model;
};

} // namespace quillmere
