#pragma once

#include <QStringView>
#include <array>
#include <list>
#include <unordered_map>
#include <vector>

namespace quillmere {

// Document vectors by the SHA-256 of the document's text, least recently used dropped first.
// A text without a vector is remembered too, as an empty vector.
class DocumentVectorCache {
public:
    using Key = std::array<char, 32>;
    struct Entry {
        std::vector<float> vector;
        double length = 0;
    };

    explicit DocumentVectorCache(size_t capacity);

    static Key keyOf(QStringView text);
    // Null when absent; a hit becomes the most recently used.
    const Entry *find(const Key &key);
    const Entry &insert(const Key &key, std::vector<float> vector);
    void clear();
    size_t size() const { return m_index.size(); }
    size_t capacity() const { return m_capacity; }

private:
    struct KeyHash {
        size_t operator()(const Key &key) const;
    };
    using Order = std::list<std::pair<Key, Entry>>;

    size_t m_capacity;
    Order m_order; // most recently used first
    std::unordered_map<Key, Order::iterator, KeyHash> m_index;
};

} // namespace quillmere
