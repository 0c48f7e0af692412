#pragma once

#include "Quillmere/Search/EmbeddingProvider.h"

#include <QHash>
#include <QStringList>
#include <functional>

namespace quillmere::test {

// Word vectors given by hand; a text's vector is the mean over its known words. Counts each text
// it is asked to embed.
class FakeEmbedding : public EmbeddingProvider {
public:
    QHash<QString, std::vector<float>> words;
    QHash<QString, std::vector<float>> sentences;
    std::function<void(const QString &)> onEmbed;
    std::vector<float> common;
    mutable QStringList embedded;

    std::vector<float> sentenceVector(QStringView text) const override { return sentences.value(text.toString()); }
    std::vector<float> commonDirection() const override { return common; }
    std::vector<float> wordVectorMean(QStringView text) const override
    {
        embedded << text.toString();
        if (onEmbed)
            onEmbed(text.toString());
        std::vector<float> sum;
        int known = 0;
        for (const QString &w : text.toString().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const auto it = words.constFind(w);
            if (it == words.constEnd())
                continue;
            if (sum.empty())
                sum.assign(it->size(), 0.0f);
            for (size_t i = 0; i < sum.size(); ++i)
                sum[i] += (*it)[i];
            ++known;
        }
        for (float &v : sum)
            v /= float(known);
        return sum;
    }
};

} // namespace quillmere::test
