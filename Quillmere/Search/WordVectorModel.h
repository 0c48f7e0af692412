#pragma once

#include <QFile>
#include <QString>
#include <memory>
#include <string_view>
#include <vector>

namespace quillmere {

// The word-vector file, memory-mapped and read in place: a header, an open-addressed table of the
// words, their spellings, one half-float vector per word, the vectors of hashed character n-grams
// and the shaping that was applied to the stored words (tools/build-word-model writes it). The
// layout and a CRC-32 of the whole file are checked when it is opened and every read stays inside
// the mapping, so a damaged file is refused rather than trusted.
class WordVectorModel {
public:
    static constexpr qsizetype headerSize = 96;
    static constexpr int maxDimension = 1024;
    static constexpr size_t maxWordLength = 64;

    // Null with `error` set when the file is missing, unreadable, of another format or damaged.
    static std::unique_ptr<WordVectorModel> open(const QString &path, QString *error = nullptr);
    ~WordVectorModel();
    WordVectorModel(const WordVectorModel &) = delete;
    WordVectorModel &operator=(const WordVectorModel &) = delete;

    int dimension() const { return m_dimension; }
    qsizetype wordCount() const { return m_words; }
    // The hash the word table is keyed by (FNV-1a, 64 bits).
    static quint64 hash(std::string_view word);
    // Index of a lower-case word, or -1.
    qsizetype find(std::string_view word) const;
    // Adds the vector of word `index` to `sum`, which holds dimension() floats.
    void addVector(qsizetype index, float *sum) const;
    // Adds the vector of a word the file does not hold, made from its character n-grams and shaped
    // as the stored words were; false (and nothing added) for an empty or over-long word.
    bool addNgramVector(std::string_view word, float *sum) const;
    // The direction all stored vectors share a part of, of unit length.
    const std::vector<float> &commonDirection() const { return m_commonUnit; }
    // Lets the system take back the file's pages this process has read; they are read again
    // from the file as words are looked up.
    void releasePages() const;

private:
    WordVectorModel() = default;

    QFile m_file;
    int m_dimension = 0;
    quint32 m_words = 0;
    quint32 m_bucketMask = 0;
    quint32 m_stringsSize = 0;
    quint32 m_ngramBuckets = 0;
    int m_minn = 0;
    int m_maxn = 0;
    const uchar *m_mapped = nullptr;
    size_t m_mappedSize = 0;
    const uchar *m_table = nullptr;
    const uchar *m_entries = nullptr;
    const uchar *m_strings = nullptr;
    const uchar *m_vectors = nullptr;
    const uchar *m_ngrams = nullptr;
    float m_commonShare = 0;
    std::vector<float> m_common;     // the mean the shaping took out
    std::vector<float> m_commonUnit; // and its direction
    std::vector<float> m_removed;    // directions taken out, one after another
};

} // namespace quillmere
