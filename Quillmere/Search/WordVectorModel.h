#pragma once

#include <QFile>
#include <QString>
#include <memory>
#include <string_view>

namespace quillmere {

// The word-vector file, memory-mapped and read in place: a header, an open-addressed table of the
// words, their spellings and one half-float vector per word (tools/build-word-model writes it).
// The layout and a CRC-32 of the whole file are checked when it is opened and every read stays
// inside the mapping, so a damaged file is refused rather than trusted.
class WordVectorModel {
public:
    static constexpr qsizetype headerSize = 72;
    static constexpr int maxDimension = 1024;
    static constexpr size_t maxWordLength = 64;

    // Null with `error` set when the file is missing, unreadable or damaged.
    static std::unique_ptr<WordVectorModel> open(const QString &path, QString *error = nullptr);
    ~WordVectorModel();
    WordVectorModel(const WordVectorModel &) = delete;
    WordVectorModel &operator=(const WordVectorModel &) = delete;

    int dimension() const { return m_dimension; }
    qsizetype wordCount() const { return m_words; }
    // Index of a lower-case word, or -1.
    qsizetype find(std::string_view word) const;
    // Adds the vector of word `index` to `sum`, which holds dimension() floats.
    void addVector(qsizetype index, float *sum) const;

private:
    WordVectorModel() = default;

    QFile m_file;
    int m_dimension = 0;
    quint32 m_words = 0;
    quint32 m_bucketMask = 0;
    quint32 m_stringsSize = 0;
    const uchar *m_table = nullptr;
    const uchar *m_entries = nullptr;
    const uchar *m_strings = nullptr;
    const uchar *m_vectors = nullptr;
};

} // namespace quillmere
