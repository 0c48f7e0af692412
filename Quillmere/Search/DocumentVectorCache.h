#pragma once

#include "Quillmere/Search/ScratchPages.h"

#include <QStringView>
#include <QtGlobal>
#include <array>
#include <list>
#include <memory>
#include <optional>
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
// The bytes sit in a few large blocks and each text in a 32-byte record found through a table of
// indices: a map of one allocation a text costs as much again as the vectors and scatters them
// across the heap, where they keep freed pages from going back to the system. Blocks, records and
// table are scratch pages, which leave the process between searches when a folder on disk backs them.
class VectorScreen {
public:
    // A view of one text's packed vectors, valid until the next insert() or clear().
    struct Packed {
        bool hasVector = false;
        quint16 dimension = 0;
        // count() times a float scale then `dimension` bytes, the whole text first, then each
        // passage, or when `enveloped` each group's largest and smallest values of each dimension.
        const qint8 *bytes = nullptr;
        quint32 vectors = 0;
        bool enveloped = false;
        size_t count() const { return vectors; }
    };
    // A text of more passages than this keeps, for each run of envelopeGroup passages, only the
    // bounds of its values: passages hold most of the bytes, and neighbours overlap and differ little.
    static constexpr size_t plainPassages = 2;
    static constexpr size_t envelopeGroup = 8;

    explicit VectorScreen(size_t capacity, ScratchFolder folder = {});
    ~VectorScreen();
    VectorScreen(const VectorScreen &) = delete;
    VectorScreen &operator=(const VectorScreen &) = delete;

    std::optional<Packed> find(const DocumentVectorCache::Key &key) const;
    void insert(const DocumentVectorCache::Key &key, const DocumentVectorCache::Entry &entry);
    void clear();
    // The pages go back to the page cache until touched again, when a file backs them.
    void releasePages();
    // At least the dot product of the unit vector `query` (`dimension` values) and the packed vector
    // `index`, which the exact one is at unit length.
    static double bound(const Packed &packed, size_t index, const std::vector<double> &query);
    // How many passage bounds `packed` gives, and at least the largest dot product of `query` and
    // the passages behind bound `index`.
    static size_t passageBounds(const Packed &packed);
    static double passageBound(const Packed &packed, size_t index, const std::vector<double> &query);
    size_t size() const { return m_records.size(); }
    // The bytes the blocks hold, in use or not.
    size_t reservedBytes() const;
    static constexpr size_t blockBytes = size_t(1) << 20;

private:
    // Half the text's digest: a chance collision among a quarter of a million texts is far less
    // likely than a flipped bit in memory.
    using ShortKey = std::array<char, 16>;
    struct Record {
        ShortKey key;
        quint32 block;
        quint32 at;
        quint32 vectors;
        quint16 dimension;
        bool hasVector;
        bool enveloped;
    };
    static ShortKey shortKey(const DocumentVectorCache::Key &key);
    // The slot of `key`: the one that holds it, or the empty one where it belongs.
    size_t slotOf(const ShortKey &key) const;
    void grow();
    // Room for `bytes` bytes, as (block, offset).
    std::pair<quint32, quint32> allocate(size_t bytes);

    size_t m_capacity;
    ScratchFolder m_folder;
    ScratchArray<Record> m_records;
    // Index into m_records plus one, 0 for an empty slot; a power of two, at most half full.
    ScratchArray<quint32> m_slots;
    std::vector<ScratchPages> m_blocks;
    size_t m_used = 0; // of the last block
};

} // namespace quillmere
