#include "Quillmere/Search/WordVectorModel.h"

#include <QFloat16>
#include <QtEndian>
#include <cstring>
#include <zlib.h>

namespace quillmere {

namespace {

constexpr char magic[8] = {'Q', 'M', 'W', 'V', 'E', 'C', '0', '1'};

quint32 u32(const uchar *p)
{
    return qFromLittleEndian<quint32>(p);
}

quint64 u64(const uchar *p)
{
    return qFromLittleEndian<quint64>(p);
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
    const quint64 tableAt = u64(data + 24);
    const quint64 entriesAt = u64(data + 32);
    const quint64 stringsAt = u64(data + 40);
    const quint64 vectorsAt = u64(data + 48);
    const quint64 fileSize = u64(data + 56);
    // Every field is at most 32 bits wide, so none of these sums can overflow 64 bits.
    const bool consistent = dimension > 0 && dimension <= maxDimension && words > 0 && buckets >= words
        && (buckets & (buckets - 1)) == 0 && tableAt == quint64(headerSize) && entriesAt == tableAt + buckets * 4
        && stringsAt == entriesAt + words * 8 && vectorsAt == stringsAt + stringsSize && vectorsAt % 2 == 0
        && fileSize == vectorsAt + words * dimension * 2 && fileSize == quint64(size);
    if (!consistent)
        return fail(QStringLiteral("damaged: inconsistent header"));
    quint32 sum = quint32(crc32_z(0, nullptr, 0));
    sum = quint32(crc32_z(sum, data, 64));
    sum = quint32(crc32_z(sum, data + headerSize, fileSize - headerSize));
    if (sum != u32(data + 64))
        return fail(QStringLiteral("damaged: checksum mismatch"));

    model->m_dimension = int(dimension);
    model->m_words = quint32(words);
    model->m_bucketMask = quint32(buckets - 1);
    model->m_stringsSize = quint32(stringsSize);
    model->m_table = data + tableAt;
    model->m_entries = data + entriesAt;
    model->m_strings = data + stringsAt;
    model->m_vectors = data + vectorsAt;
    return model;
}

WordVectorModel::~WordVectorModel() = default;

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

} // namespace quillmere
