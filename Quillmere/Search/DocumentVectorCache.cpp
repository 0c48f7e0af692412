#include "Quillmere/Search/DocumentVectorCache.h"

#include "Quillmere/Search/EmbeddingProvider.h"

#include <QCryptographicHash>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <openssl/evp.h>
#include <utility>

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

void pack(qint8 *out, const float *v, size_t dimension, double length)
{
    double largest = 0;
    for (size_t d = 0; d < dimension; ++d)
        largest = std::max(largest, std::abs(double(v[d]) / length));
    const float scale = float(largest / 127);
    std::memcpy(out, &scale, sizeof scale);
    for (size_t d = 0; d < dimension; ++d)
        out[sizeof scale + d] =
            scale > 0 ? qint8(std::clamp(std::lround(double(v[d]) / length / scale), -127L, 127L)) : qint8(0);
}

} // namespace

VectorScreen::VectorScreen(size_t capacity, ScratchFolder folder)
    : m_capacity(capacity > 0 ? std::min<size_t>(capacity, std::numeric_limits<quint32>::max() / 4) : 1),
      m_folder(std::move(folder))
{
}

VectorScreen::~VectorScreen() = default;

VectorScreen::ShortKey VectorScreen::shortKey(const DocumentVectorCache::Key &key)
{
    ShortKey out;
    std::memcpy(out.data(), key.data(), out.size());
    return out;
}

size_t VectorScreen::slotOf(const ShortKey &key) const
{
    const size_t mask = m_slots.size() - 1;
    size_t h;
    std::memcpy(&h, key.data(), sizeof h); // a digest is already evenly spread
    for (size_t slot = h & mask;; slot = (slot + 1) & mask) {
        const quint32 index = m_slots[slot];
        if (index == 0 || m_records[index - 1].key == key)
            return slot;
    }
}

void VectorScreen::grow()
{
    m_slots.assign(m_folder, std::max<size_t>(m_slots.size() * 2, 1024), 0);
    for (size_t i = 0; i < m_records.size(); ++i)
        m_slots[slotOf(m_records[i].key)] = quint32(i + 1);
}

std::pair<quint32, quint32> VectorScreen::allocate(size_t bytes)
{
    if (m_blocks.empty() || m_used + bytes > m_blocks.back().size()) {
        // A text too long for a block gets one of its own; whole pages, touched as written.
        m_blocks.emplace_back(m_folder, std::max(bytes, blockBytes));
        m_used = 0;
    }
    const auto at = std::pair(quint32(m_blocks.size() - 1), quint32(m_used));
    m_used += bytes;
    return at;
}

std::optional<VectorScreen::Packed> VectorScreen::find(const DocumentVectorCache::Key &key) const
{
    if (m_slots.empty())
        return std::nullopt;
    const quint32 index = m_slots[slotOf(shortKey(key))];
    if (index == 0)
        return std::nullopt;
    const Record &record = m_records[index - 1];
    Packed packed;
    packed.hasVector = record.hasVector;
    packed.dimension = record.dimension;
    packed.vectors = record.vectors;
    packed.enveloped = record.enveloped;
    packed.bytes = record.vectors ? static_cast<qint8 *>(m_blocks[record.block].data()) + record.at : nullptr;
    return packed;
}

void VectorScreen::insert(const DocumentVectorCache::Key &key, const DocumentVectorCache::Entry &entry)
{
    const size_t dimension = entry.vector.size();
    if (dimension > std::numeric_limits<quint16>::max() || entry.passages.size() % std::max<size_t>(dimension, 1))
        return;
    const size_t passages = dimension > 0 ? entry.passages.size() / dimension : 0;
    const bool enveloped = passages > plainPassages;
    const size_t vectors =
        dimension == 0 ? 0 : 1 + (enveloped ? 2 * ((passages + envelopeGroup - 1) / envelopeGroup) : passages);
    const size_t stride = sizeof(float) + dimension;
    if (vectors * stride > std::numeric_limits<quint32>::max())
        return;
    const ShortKey k = shortKey(key);
    size_t slot = m_slots.empty() ? 0 : slotOf(k);
    Record *record = m_slots.empty() || m_slots[slot] == 0 ? nullptr : &m_records[m_slots[slot] - 1];
    if (!record) {
        if (m_records.size() >= m_capacity)
            clear();
        if (2 * (m_records.size() + 1) > m_slots.size())
            grow();
        slot = slotOf(k);
        m_records.push_back(m_folder, Record{k, 0, 0, 0, 0, false, false});
        m_slots[slot] = quint32(m_records.size());
        record = &m_records.back();
    }
    // A text weighed again packs to the same bytes, which go back where they were.
    if (record->vectors != vectors || record->dimension != dimension) {
        const auto [block, at] = allocate(vectors * stride);
        record->block = block;
        record->at = at;
    }
    record->vectors = quint32(vectors);
    record->dimension = quint16(dimension);
    record->hasVector = dimension > 0;
    record->enveloped = enveloped;
    if (vectors == 0)
        return;
    // A zero vector packs to zeros, which bounds its dot product at 0 as the exact one is.
    qint8 *out = static_cast<qint8 *>(m_blocks[record->block].data()) + record->at;
    pack(out, entry.vector.data(), dimension, entry.length > 0 ? entry.length : 1);
    // Passages are at unit length (or zero) already.
    if (!enveloped) {
        for (size_t at = 0; at < entry.passages.size(); at += dimension) {
            out += stride;
            pack(out, entry.passages.data() + at, dimension, 1);
        }
        return;
    }
    std::vector<float> high(dimension), low(dimension);
    for (size_t first = 0; first < passages; first += envelopeGroup) {
        high.assign(entry.passages.begin() + std::ptrdiff_t(first * dimension),
                    entry.passages.begin() + std::ptrdiff_t((first + 1) * dimension));
        low = high;
        for (size_t p = first + 1; p < std::min(passages, first + envelopeGroup); ++p)
            for (size_t d = 0; d < dimension; ++d) {
                high[d] = std::max(high[d], entry.passages[p * dimension + d]);
                low[d] = std::min(low[d], entry.passages[p * dimension + d]);
            }
        out += stride;
        pack(out, high.data(), dimension, 1);
        out += stride;
        pack(out, low.data(), dimension, 1);
    }
}

void VectorScreen::clear()
{
    m_records.clear();
    m_slots.clear();
    m_blocks.clear();
    m_used = 0;
}

void VectorScreen::releasePages()
{
    for (ScratchPages &block : m_blocks)
        block.release();
    m_records.release();
    m_slots.release();
}

size_t VectorScreen::reservedBytes() const
{
    size_t bytes = 0;
    for (const ScratchPages &block : m_blocks)
        bytes += block.size();
    return bytes;
}

double VectorScreen::bound(const Packed &packed, size_t index, const std::vector<double> &query)
{
    const size_t dimension = packed.dimension;
    const qint8 *at = packed.bytes + index * (sizeof(float) + dimension);
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

size_t VectorScreen::passageBounds(const Packed &packed)
{
    const size_t stored = packed.count() > 0 ? packed.count() - 1 : 0;
    return packed.enveloped ? stored / 2 : stored;
}

double VectorScreen::passageBound(const Packed &packed, size_t index, const std::vector<double> &query)
{
    if (!packed.enveloped)
        return bound(packed, 1 + index, query);
    const size_t dimension = packed.dimension;
    const qint8 *high = packed.bytes + (1 + 2 * index) * (sizeof(float) + dimension);
    const qint8 *low = high + sizeof(float) + dimension;
    float highScale, lowScale;
    std::memcpy(&highScale, high, sizeof highScale);
    std::memcpy(&lowScale, low, sizeof lowScale);
    double dot = 0, spread = 0;
    for (size_t d = 0; d < dimension; ++d) {
        // Every passage's value lies between the group's two, so the larger product bounds each.
        dot += std::max(query[d] * high[sizeof(float) + d] * highScale, query[d] * low[sizeof(float) + d] * lowScale);
        spread += std::abs(query[d]);
    }
    return dot + spread * std::max(highScale, lowScale) * 0.5000001 + 1e-6;
}

} // namespace quillmere
