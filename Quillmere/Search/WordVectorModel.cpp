#include "Quillmere/Search/WordVectorModel.h"

#include <QFloat16>
#include <QtEndian>
#include <cmath>
#include <cstring>
#include <sys/mman.h>
#include <zlib.h>

namespace quillmere {

namespace {

constexpr char magic[8] = {'Q', 'M', 'W', 'V', 'E', 'C', '0', '2'};
constexpr char oldMagic[8] = {'Q', 'M', 'W', 'V', 'E', 'C', '0', '1'};
constexpr qsizetype checksumAt = 88;
constexpr quint64 maxRemovedDirections = 16;

quint16 u16(const uchar *p)
{
    return qFromLittleEndian<quint16>(p);
}

quint32 u32(const uchar *p)
{
    return qFromLittleEndian<quint32>(p);
}

quint64 u64(const uchar *p)
{
    return qFromLittleEndian<quint64>(p);
}

float f32(const uchar *p)
{
    const quint32 bits = u32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

quint64 fnv1a(std::string_view word)
{
    quint64 h = 0xcbf29ce484222325ULL;
    for (char c : word) {
        h ^= uchar(c);
        h *= 0x100000001b3ULL;
    }
    return h;
}

// The trainer's n-gram hash: 32-bit FNV-1a over signed bytes.
quint32 ngramHash(std::string_view text)
{
    quint32 h = 2166136261u;
    for (char c : text) {
        h ^= quint32(qint32(qint8(c)));
        h *= 16777619u;
    }
    return h;
}

double dot(const float *a, const float *b, int n)
{
    double sum = 0;
    for (int i = 0; i < n; ++i)
        sum += double(a[i]) * b[i];
    return sum;
}

} // namespace

std::unique_ptr<WordVectorModel> WordVectorModel::open(const QString &path, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return nullptr;
    };
    std::unique_ptr<WordVectorModel> model(new WordVectorModel);
    model->m_file.setFileName(path);
    if (!model->m_file.exists())
        return fail(QStringLiteral("missing"));
    if (!model->m_file.open(QIODevice::ReadOnly))
        return fail(model->m_file.errorString());
    const qint64 size = model->m_file.size();
    if (size >= qint64(sizeof oldMagic)) {
        const QByteArray start = model->m_file.peek(sizeof oldMagic);
        if (start == QByteArray(oldMagic, sizeof oldMagic))
            return fail(QStringLiteral("an older word-vector format; rebuild it with tools/build-word-model"));
    }
    if (size < headerSize)
        return fail(QStringLiteral("damaged: shorter than its header"));
    const uchar *data = model->m_file.map(0, size);
    if (!data)
        return fail(model->m_file.errorString());
    if (std::memcmp(data, magic, sizeof magic) != 0)
        return fail(QStringLiteral("damaged: not a word-vector file"));

    const quint64 dimension = u32(data + 8);
    const quint64 words = u32(data + 12);
    const quint64 buckets = u32(data + 16);
    const quint64 stringsSize = u32(data + 20);
    const quint64 ngramBuckets = u32(data + 24);
    const quint64 minn = u16(data + 28);
    const quint64 maxn = u16(data + 30);
    const quint64 tableAt = u64(data + 32);
    const quint64 entriesAt = u64(data + 40);
    const quint64 stringsAt = u64(data + 48);
    const quint64 vectorsAt = u64(data + 56);
    const quint64 ngramsAt = u64(data + 64);
    const quint64 shapingAt = u64(data + 72);
    const quint64 fileSize = u64(data + 80);
    // Every count is at most 32 bits wide and the file size is checked before the shaping section
    // is read, so none of these sums can overflow 64 bits.
    const bool consistent = dimension > 0 && dimension <= maxDimension && words > 0 && buckets >= words
        && (buckets & (buckets - 1)) == 0 && ngramBuckets > 0 && minn >= 1 && minn <= maxn && maxn <= maxWordLength + 2
        && tableAt == quint64(headerSize) && entriesAt == tableAt + buckets * 4 && stringsAt == entriesAt + words * 8
        && vectorsAt == stringsAt + stringsSize && vectorsAt % 2 == 0 && ngramsAt == vectorsAt + words * dimension * 2
        && shapingAt == ngramsAt + ngramBuckets * dimension * 2 && fileSize == quint64(size)
        && fileSize >= shapingAt + 8;
    if (!consistent)
        return fail(QStringLiteral("damaged: inconsistent header"));
    const float share = f32(data + shapingAt);
    const float removedCount = f32(data + shapingAt + 4);
    const bool shapingFits = std::isfinite(share) && removedCount >= 0 && removedCount <= maxRemovedDirections
        && removedCount == std::floor(removedCount)
        && fileSize == shapingAt + 8 + (1 + quint64(removedCount)) * dimension * 4;
    if (!shapingFits)
        return fail(QStringLiteral("damaged: inconsistent header"));
    quint32 sum = quint32(crc32_z(0, nullptr, 0));
    sum = quint32(crc32_z(sum, data, checksumAt));
    sum = quint32(crc32_z(sum, data + headerSize, fileSize - headerSize));
    if (sum != u32(data + checksumAt))
        return fail(QStringLiteral("damaged: checksum mismatch"));

    model->m_dimension = int(dimension);
    model->m_words = quint32(words);
    model->m_bucketMask = quint32(buckets - 1);
    model->m_stringsSize = quint32(stringsSize);
    model->m_ngramBuckets = quint32(ngramBuckets);
    model->m_minn = int(minn);
    model->m_maxn = int(maxn);
    model->m_table = data + tableAt;
    model->m_entries = data + entriesAt;
    model->m_strings = data + stringsAt;
    model->m_vectors = data + vectorsAt;
    model->m_ngrams = data + ngramsAt;
    model->m_commonShare = share;
    const uchar *floats = data + shapingAt + 8;
    const size_t shapingFloats = size_t(1 + quint64(removedCount)) * dimension;
    std::vector<float> shaping(shapingFloats);
    for (size_t i = 0; i < shapingFloats; ++i)
        shaping[i] = f32(floats + i * 4);
    model->m_common.assign(shaping.begin(), shaping.begin() + qsizetype(dimension));
    model->m_removed.assign(shaping.begin() + qsizetype(dimension), shaping.end());
    const double commonLength = std::sqrt(dot(model->m_common.data(), model->m_common.data(), int(dimension)));
    model->m_commonUnit.assign(dimension, 0.0f);
    if (commonLength > 0 && std::isfinite(commonLength))
        for (size_t i = 0; i < dimension; ++i)
            model->m_commonUnit[i] = float(model->m_common[i] / commonLength);
    model->m_mapped = data;
    model->m_mappedSize = size_t(size);
    // The checksum brought every page in; a search needs only the words of the texts it weighs.
    model->releasePages();
    return model;
}

WordVectorModel::~WordVectorModel() = default;

void WordVectorModel::releasePages() const
{
    if (m_mapped)
        ::madvise(const_cast<uchar *>(m_mapped), m_mappedSize, MADV_DONTNEED);
}

quint64 WordVectorModel::hash(std::string_view word)
{
    return fnv1a(word);
}

qsizetype WordVectorModel::find(std::string_view word) const
{
    if (word.empty() || word.size() > maxWordLength)
        return -1;
    quint32 slot = quint32(fnv1a(word)) & m_bucketMask;
    // The table is at least as large as the word list, so a probe meets an empty slot or a match
    // within m_words + 1 steps even when entries were misplaced.
    for (quint32 probes = 0; probes <= m_words; ++probes, slot = (slot + 1) & m_bucketMask) {
        const quint32 entry = u32(m_table + quint64(slot) * 4);
        if (entry == 0)
            return -1;
        if (entry > m_words)
            return -1;
        const uchar *e = m_entries + quint64(entry - 1) * 8;
        const quint64 offset = u32(e);
        const quint64 length = u32(e + 4);
        if (offset + length > m_stringsSize)
            return -1;
        if (length == word.size() && std::memcmp(m_strings + offset, word.data(), length) == 0)
            return entry - 1;
    }
    return -1;
}

void WordVectorModel::addVector(qsizetype index, float *sum) const
{
    if (index < 0 || quint64(index) >= m_words)
        return;
    float values[maxDimension];
    qFloatFromFloat16(values, reinterpret_cast<const qfloat16 *>(m_vectors + quint64(index) * m_dimension * 2),
                      m_dimension);
    for (int i = 0; i < m_dimension; ++i)
        sum[i] += values[i];
}

bool WordVectorModel::addNgramVector(std::string_view word, float *sum) const
{
    if (word.empty() || word.size() > maxWordLength)
        return false;
    char marked[maxWordLength + 2];
    marked[0] = '<';
    std::memcpy(marked + 1, word.data(), word.size());
    marked[word.size() + 1] = '>';
    const std::string_view text(marked, word.size() + 2);
    const int dim = m_dimension;
    float mean[maxDimension] = {};
    float row[maxDimension];
    int count = 0;
    // Words here are ASCII, so every byte starts a character.
    for (size_t i = 0; i < text.size(); ++i) {
        for (size_t n = size_t(m_minn); n <= size_t(m_maxn) && i + n <= text.size(); ++n) {
            const quint32 bucket = ngramHash(text.substr(i, n)) % m_ngramBuckets;
            qFloatFromFloat16(row, reinterpret_cast<const qfloat16 *>(m_ngrams + quint64(bucket) * dim * 2), dim);
            for (int d = 0; d < dim; ++d)
                mean[d] += row[d];
            ++count;
        }
    }
    if (count == 0)
        return false;
    // The shaping of the stored words: unit length, the common mean and the main directions
    // around it taken out, unit length again, a share of the common direction given back. A word
    // never seen in the corpus has the full weight.
    const double length = std::sqrt(dot(mean, mean, dim));
    if (length == 0 || !std::isfinite(length))
        return false;
    for (int d = 0; d < dim; ++d)
        mean[d] = float(mean[d] / length - m_common[size_t(d)]);
    for (size_t at = 0; at + size_t(dim) <= m_removed.size(); at += size_t(dim)) {
        const double along = dot(mean, m_removed.data() + at, dim);
        for (int d = 0; d < dim; ++d)
            mean[d] -= float(along * m_removed[at + size_t(d)]);
    }
    const double spread = std::sqrt(dot(mean, mean, dim));
    if (spread == 0 || !std::isfinite(spread))
        return false;
    for (int d = 0; d < dim; ++d)
        sum[d] += float(mean[d] / spread + m_commonShare * m_commonUnit[size_t(d)]);
    return true;
}

} // namespace quillmere
