#include "Quillmere/Search/DocumentVectorCache.h"

#include "Quillmere/Search/EmbeddingProvider.h"

#include <QCryptographicHash>
#include <cstring>

namespace quillmere {

DocumentVectorCache::DocumentVectorCache(size_t capacity)
    : m_capacity(capacity > 0 ? capacity : 1)
{
    m_index.reserve(m_capacity);
}

DocumentVectorCache::Key DocumentVectorCache::keyOf(QStringView text)
{
    const QByteArray utf8 = text.toUtf8();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(utf8);
    Key key;
    std::memcpy(key.data(), hash.resultView().data(), key.size());
    return key;
}

size_t DocumentVectorCache::KeyHash::operator()(const Key &key) const
{
    size_t h;
    std::memcpy(&h, key.data(), sizeof h); // a digest is already evenly spread
    return h;
}

const DocumentVectorCache::Entry *DocumentVectorCache::find(const Key &key)
{
    const auto it = m_index.find(key);
    if (it == m_index.end())
        return nullptr;
    m_order.splice(m_order.begin(), m_order, it->second);
    return &it->second->second;
}

const DocumentVectorCache::Entry &DocumentVectorCache::insert(const Key &key, std::vector<float> vector)
{
    if (const auto it = m_index.find(key); it != m_index.end()) {
        m_order.erase(it->second);
        m_index.erase(it);
    }
    if (m_index.size() >= m_capacity) {
        m_index.erase(m_order.back().first);
        m_order.pop_back();
    }
    const double length = vectorLength(vector);
    m_order.push_front({key, Entry{std::move(vector), length}});
    m_index.emplace(key, m_order.begin());
    return m_order.front().second;
}

void DocumentVectorCache::clear()
{
    m_index.clear();
    m_order.clear();
}

} // namespace quillmere
