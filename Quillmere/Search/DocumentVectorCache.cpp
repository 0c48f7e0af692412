#include "Quillmere/Search/DocumentVectorCache.h"

#include "Quillmere/Search/EmbeddingProvider.h"

#include <QCryptographicHash>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
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

namespace {

void pack(std::vector<qint8> &out, const float *v, size_t dimension, double length)
{
    double largest = 0;
    for (size_t d = 0; d < dimension; ++d)
        largest = std::max(largest, std::abs(double(v[d]) / length));
    const float scale = float(largest / 127);
    const size_t at = out.size();
    out.resize(at + sizeof scale + dimension);
    std::memcpy(out.data() + at, &scale, sizeof scale);
    for (size_t d = 0; d < dimension; ++d)
        out[at + sizeof scale + d] =
            scale > 0 ? qint8(std::clamp(std::lround(double(v[d]) / length / scale), -127L, 127L)) : qint8(0);
}

} // namespace

VectorScreen::VectorScreen(size_t capacity) : m_capacity(capacity > 0 ? capacity : 1)
{
}

size_t VectorScreen::KeyHash::operator()(const DocumentVectorCache::Key &key) const
{
    size_t h;
    std::memcpy(&h, key.data(), sizeof h);
    return h;
}

const VectorScreen::Packed *VectorScreen::find(const DocumentVectorCache::Key &key) const
{
    const auto it = m_packed.find(key);
    return it == m_packed.end() ? nullptr : &it->second;
}

void VectorScreen::insert(const DocumentVectorCache::Key &key, const DocumentVectorCache::Entry &entry)
{
    const size_t dimension = entry.vector.size();
    if (dimension > std::numeric_limits<quint16>::max() || entry.passages.size() % std::max<size_t>(dimension, 1))
        return;
    if (m_packed.size() >= m_capacity)
        m_packed.clear();
    Packed packed;
    packed.hasVector = dimension > 0;
    packed.dimension = quint16(dimension);
    if (dimension > 0) {
        // A zero vector packs to zeros, which bounds its dot product at 0 as the exact one is.
        packed.bytes.reserve((1 + entry.passages.size() / dimension) * (sizeof(float) + dimension));
        pack(packed.bytes, entry.vector.data(), dimension, entry.length > 0 ? entry.length : 1);
        // Passages are at unit length (or zero) already.
        for (size_t at = 0; at < entry.passages.size(); at += dimension)
            pack(packed.bytes, entry.passages.data() + at, dimension, 1);
    }
    m_packed.insert_or_assign(key, std::move(packed));
}

double VectorScreen::bound(const Packed &packed, size_t index, const std::vector<double> &query)
{
    const size_t dimension = packed.dimension;
    const qint8 *at = packed.bytes.data() + index * (sizeof(float) + dimension);
    float scale;
    std::memcpy(&scale, at, sizeof scale);
    const qint8 *values = at + sizeof scale;
    double dot = 0, spread = 0;
    for (size_t d = 0; d < dimension; ++d) {
        dot += query[d] * values[d];
        spread += std::abs(query[d]);
    }
    // Each byte is within half a step of the exact value; the rest covers float rounding.
    return dot * scale + spread * scale * 0.5000001 + 1e-6;
}

} // namespace quillmere
