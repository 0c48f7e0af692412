#include "Quillmere/Search/WordVectorEmbedding.h"

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

std::vector<float> WordVectorEmbedding::wordVectorMean(QStringView text) const
{
    std::vector<float> sum(size_t(m_model->dimension()), 0.0f);
    int known = 0;
    forEachWord(text, [&](std::string_view word) {
        const qsizetype index = m_model->find(word);
        if (index >= 0)
            m_model->addVector(index, sum.data());
        else if (!m_model->addNgramVector(word, sum.data()))
            return;
        ++known;
    });
    if (known == 0)
        return {};
    for (float &v : sum)
        v /= float(known);
    return sum;
}

} // namespace quillmere
