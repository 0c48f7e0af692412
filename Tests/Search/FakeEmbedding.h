#pragma once

#include "Quillmere/Search/EmbeddingProvider.h"

#include <QHash>
#include <QStringList>
#include <algorithm>
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

    // Every known word counts as a word of substance; off, it reads no words.
    bool readsWords = false;

    std::vector<float> sentenceVector(QStringView text) const override { return sentences.value(text.toString()); }
    std::vector<quint64> wordHashes(QStringView text) const override
    {
        std::vector<quint64> out;
        if (readsWords) {
            for (const QString &w : text.toString().split(QLatin1Char(' '), Qt::SkipEmptyParts))
                out.push_back(qHash(w));
        }
        return out;
    }
    TextWords textWords(QStringView text, bool withVectors) const override
    {
        TextWords out;
        if (!readsWords)
            return out;
        std::vector<std::pair<quint64, QString>> known;
        for (const QString &w : text.toString().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (words.contains(w))
                known.emplace_back(qHash(w), w);
        }
        std::sort(known.begin(), known.end());
        for (const auto &[hash, w] : known) {
            const std::vector<float> &v = words[w];
            out.words.push_back(hash);
            if (withVectors)
                out.vectors.insert(out.vectors.end(), v.begin(), v.end());
            out.sum.resize(v.size(), 0.0f);
            for (size_t i = 0; i < v.size(); ++i)
                out.sum[i] += v[i];
        }
        out.mean = wordVectorMean(text);
        return out;
    }
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
