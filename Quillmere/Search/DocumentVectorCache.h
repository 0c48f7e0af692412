#pragma once

#include <QStringView>
#include <QtGlobal>
#include <array>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

namespace quillmere {

// Document vectors by the SHA-256 of the document's text, least recently used dropped first.
// A text without a vector is remembered too, as an empty vector. The digest comes from libcrypto,
// which uses the processor's SHA instructions: hashing is most of the work of a search whose
// vectors are all cached, and QCryptographicHash takes five times as long.
class DocumentVectorCache {
public:
    using Key = std::array<char, 32>;
    struct Entry {
        std::vector<float> vector;
        double length = 0;
        // A long text's passages, one unit vector of the same dimension after another.
        std::vector<float> passages;
        // A short text's words of substance and the plain sum of its word vectors
        // (EmbeddingProvider::TextWords).
        std::vector<quint64> words;
        std::vector<float> sum;
        // A long text's candidates (the whole text, then each passage): the sorted distinct hashes
        // of each one's words, one run after another, and where each run ends.
        std::vector<quint64> candidateWords;
        std::vector<quint32> candidateEnds;
    };

    explicit DocumentVectorCache(size_t capacity);
    ~DocumentVectorCache();
    DocumentVectorCache(const DocumentVectorCache &) = delete;
    DocumentVectorCache &operator=(const DocumentVectorCache &) = delete;

    // SHA-256 of the text in UTF-8.
    Key keyOf(QStringView text);
    // Null when absent; a hit becomes the most recently used.
    const Entry *find(const Key &key);
    // The entry's length is worked out here.
    const Entry &insert(const Key &key, Entry entry);
    void clear();
    size_t size() const { return m_index.size(); }
    size_t capacity() const { return m_capacity; }

private:
    struct KeyHash {
        size_t operator()(const Key &key) const;
    };
    using Order = std::list<std::pair<Key, Entry>>;

    struct Digest;
    std::unique_ptr<Digest> m_digest;
    size_t m_capacity;
    Order m_order; // most recently used first
    std::unordered_map<Key, Order::iterator, KeyHash> m_index;
};

// Each known text's vectors (DocumentVectorCache::Entry's whole vector and passages) at unit
// length, one signed byte a dimension and a scale a vector: a fifth of an entry or less, so that
// every text of a long history stays known and a search need not work out again the vectors of
// those that cannot reach its threshold. Full, it starts over.
class VectorScreen {
public:
    struct Packed {
        bool hasVector = false;
        quint16 dimension = 0;
        // A float scale then `dimension` bytes, the whole text first, then each passage.
        std::vector<qint8> bytes;
        size_t count() const { return dimension ? bytes.size() / (sizeof(float) + dimension) : 0; }
    };

    explicit VectorScreen(size_t capacity);
    const Packed *find(const DocumentVectorCache::Key &key) const;
    void insert(const DocumentVectorCache::Key &key, const DocumentVectorCache::Entry &entry);
    // At least the dot product of the unit vector `query` (`dimension` values) and the packed vector
    // `index`, which the exact one is at unit length.
    static double bound(const Packed &packed, size_t index, const std::vector<double> &query);
    size_t size() const { return m_packed.size(); }

private:
    struct KeyHash {
        size_t operator()(const DocumentVectorCache::Key &key) const;
    };
    size_t m_capacity;
    std::unordered_map<DocumentVectorCache::Key, Packed, KeyHash> m_packed;
};

} // namespace quillmere
