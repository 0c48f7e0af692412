#include "Quillmere/Search/DocumentVectorCache.h"

#include "Quillmere/Search/EmbeddingProvider.h"

#include <QCryptographicHash>
#include <cstring>
#include <openssl/evp.h>

namespace quillmere {

struct DocumentVectorCache::Digest {
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> sha256{EVP_MD_fetch(nullptr, "SHA256", nullptr), &EVP_MD_free};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
};

DocumentVectorCache::DocumentVectorCache(size_t capacity)
    : m_digest(std::make_unique<Digest>()), m_capacity(capacity > 0 ? capacity : 1)
{
    m_index.reserve(m_capacity);
}

DocumentVectorCache::~DocumentVectorCache() = default;

DocumentVectorCache::Key DocumentVectorCache::keyOf(QStringView text)
{
    const QByteArray utf8 = text.toUtf8();
    Key key{};
    unsigned int length = 0;
    EVP_MD_CTX *context = m_digest->context.get();
    const bool done = m_digest->sha256 && context && EVP_DigestInit_ex2(context, m_digest->sha256.get(), nullptr)
        && EVP_DigestUpdate(context, utf8.constData(), size_t(utf8.size()))
        && EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char *>(key.data()), &length);
    if (!done || length != key.size()) {
        // A libcrypto without SHA-256 (a restricted provider set): Qt's own is slower but the same.
        std::memcpy(key.data(), QCryptographicHash::hash(utf8, QCryptographicHash::Sha256).constData(), key.size());
    }
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

const DocumentVectorCache::Entry &DocumentVectorCache::insert(const Key &key, Entry entry)
{
    if (const auto it = m_index.find(key); it != m_index.end()) {
        m_order.erase(it->second);
        m_index.erase(it);
    }
    if (m_index.size() >= m_capacity) {
        m_index.erase(m_order.back().first);
        m_order.pop_back();
    }
    entry.length = vectorLength(entry.vector);
    m_order.push_front({key, std::move(entry)});
    m_index.emplace(key, m_order.begin());
    return m_order.front().second;
}

void DocumentVectorCache::clear()
{
    m_index.clear();
    m_order.clear();
}

} // namespace quillmere
