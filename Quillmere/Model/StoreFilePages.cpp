#include "Quillmere/Model/StoreFilePages.h"

#include "Quillmere/Model/StoreSchema.h"

#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

namespace quillmere {
namespace {

constexpr qint64 kFileHeaderBytes = 100;
constexpr qint64 kLogHeaderBytes = 32;
constexpr qint64 kFrameHeaderBytes = 24;
// More row ids than any file holds: keys that far apart were not written so.
constexpr quint64 kMostRowIDs = quint64(1) << 40;

// SQLite's variable-length integer at `at`, which must end before `end`; false when it does not.
bool readVarint(const char *page, qint64 &at, qint64 end, qint64 *value)
{
    quint64 v = 0;
    for (int i = 0; i < 9; ++i) {
        if (at >= end)
            return false;
        const quint8 byte = quint8(page[at++]);
        v = i == 8 ? (v << 8) | byte : (v << 7) | (byte & 0x7f);
        if (i < 8 && !(byte & 0x80))
            break;
    }
    *value = qint64(v);
    return true;
}

// The integer the record in `page` from `at` to `end` ends with, as an index entry ends with the
// row id of its row; false when it does not end with one.
bool lastInteger(const char *page, qint64 at, qint64 end, qint64 *value)
{
    // The bytes of a value of each serial type below 12; -1 for those no record holds.
    static constexpr qint64 kFixed[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, -1, -1};
    qint64 headerBytes = 0, types = at;
    // Every size is checked against what is left before it is added, so that none overflows.
    if (!readVarint(page, types, end, &headerBytes) || headerBytes < 1 || headerBytes > end - at)
        return false;
    qint64 valueAt = at + headerBytes, type = -1, size = 0;
    while (types < at + headerBytes) {
        valueAt += size;
        if (!readVarint(page, types, at + headerBytes, &type) || type < 0
            || (size = type < 12 ? kFixed[type] : (type - 12) / 2) < 0 || size > end - valueAt)
            return false;
    }
    if (type < 1 || type > 9 || type == 7)
        return false;
    // Big-endian two's complement, its sign from the first byte; types 8 and 9 are 0 and 1.
    quint64 v = type >= 8 ? quint64(type - 8) : quint64(qint64(qint8(page[valueAt])));
    for (qint64 i = 1; i < size; ++i)
        v = (v << 8) | quint8(page[valueAt + i]);
    *value = qint64(v);
    return true;
}

// A page of a tree with the row ids its parents say it holds, (low, high]; a side not known is not said.
struct Named {
    quint32 page;
    std::optional<qint64> low, high;
};

void countUnread(StoreFilePages::Tally &tally, const Named &named)
{
    ++tally.unreadPages;
    const bool bounded = named.low && named.high && *named.high > *named.low;
    const quint64 span = bounded ? quint64(*named.high) - quint64(*named.low) : 0;
    if (bounded && span <= kMostRowIDs - quint64(tally.unreadRowIDs))
        tally.unreadRowIDs += qint64(span);
    else
        ++tally.unboundedPages;
}

} // namespace

StoreFilePages::StoreFilePages(const QString &path) : m_file(path), m_log(path + QStringLiteral("-wal"))
{
    if (!m_file.open(QIODevice::ReadOnly))
        return;
    const QByteArray header = m_file.read(kFileHeaderBytes);
    if (header.size() == kFileHeaderBytes && header.startsWith(QByteArrayLiteral("SQLite format 3\0"))) {
        m_pageBytes = qFromBigEndian<quint16>(header.constData() + 16);
        if (m_pageBytes == 1)
            m_pageBytes = 65536;
        m_usableBytes = m_pageBytes - quint8(header.at(20));
    }
    // A header that says nothing usable: the size every store of ours is written with.
    if (m_pageBytes < 512 || m_pageBytes > 65536 || (m_pageBytes & (m_pageBytes - 1)) != 0 || m_usableBytes < 480)
        m_pageBytes = m_usableBytes = StoreSchema::pageBytes;
    m_pageCount = quint32(std::min<qint64>(m_file.size() / m_pageBytes, std::numeric_limits<quint32>::max()));
    readLog();
}

// Frames count from the first on while their salts and running checksum hold; only those up to
// the last commit are part of the store.
void StoreFilePages::readLog()
{
    const QByteArray log = m_log.open(QIODevice::ReadOnly) ? m_log.read(kLogHeaderBytes) : QByteArray();
    const quint32 magic = log.size() == kLogHeaderBytes ? qFromBigEndian<quint32>(log.constData()) : 0;
    if ((magic & 0xfffffffe) != 0x377f0682 || qFromBigEndian<quint32>(log.constData() + 8) != quint32(m_pageBytes))
        return;
    // The log's running checksum, over pairs of 32-bit words in the byte order its magic names.
    quint32 s0 = 0, s1 = 0;
    const auto add = [&s0, &s1, bigEndian = bool(magic & 1)](const char *data, qint64 size) {
        for (qint64 i = 0; i + 8 <= size; i += 8) {
            s0 += (bigEndian ? qFromBigEndian<quint32>(data + i) : qFromLittleEndian<quint32>(data + i)) + s1;
            s1 += (bigEndian ? qFromBigEndian<quint32>(data + i + 4) : qFromLittleEndian<quint32>(data + i + 4)) + s0;
        }
    };
    const auto summed = [&](const char *sums) {
        return s0 == qFromBigEndian<quint32>(sums) && s1 == qFromBigEndian<quint32>(sums + 4);
    };
    add(log.constData(), 24);
    if (!summed(log.constData() + 24))
        return;
    std::unordered_map<quint32, qint64> pending;
    for (;;) {
        const QByteArray frame = m_log.read(kFrameHeaderBytes + m_pageBytes);
        const char *f = frame.constData();
        if (frame.size() < kFrameHeaderBytes + m_pageBytes || memcmp(f + 8, log.constData() + 16, 8) != 0)
            break;
        add(f, 8);
        add(f + kFrameHeaderBytes, m_pageBytes);
        if (!summed(f + 16))
            break;
        if (const quint32 number = qFromBigEndian<quint32>(f); number > 0)
            pending[number] = m_log.pos() - m_pageBytes;
        if (const quint32 committedPages = qFromBigEndian<quint32>(f + 4); committedPages > 0) {
            for (const auto &[page, offset] : pending)
                m_logged[page] = offset;
            pending.clear();
            // No more pages than the file and the log hold between them, whatever a frame says.
            m_pageCount = quint32(std::min<qint64>(committedPages, (m_file.size() + m_log.size()) / m_pageBytes));
        }
    }
}

QByteArray StoreFilePages::page(quint32 number)
{
    const auto logged = m_logged.find(number);
    QFile &from = logged != m_logged.end() ? m_log : m_file;
    if (!from.seek(logged != m_logged.end() ? logged->second : qint64(number - 1) * m_pageBytes))
        return {};
    QByteArray bytes = from.read(m_pageBytes);
    return bytes.size() == m_pageBytes ? bytes : QByteArray();
}

bool StoreFilePages::forEachRowIDBatch(quint32 root, Tree tree, const BatchTaker &take, const std::atomic<bool> *stop,
                                       size_t batchSize, Tally *tally)
{
    const bool index = tree == Tree::index;
    // The types SQLite gives the interior and leaf pages of each kind of tree.
    const quint8 interiorType = index ? 0x02 : 0x05, leafType = index ? 0x0a : 0x0d;
    Tally unkept;
    Tally &found = tally ? *tally : unkept;
    // Marked when named, not when read: a page that names itself or another page many times
    // costs one entry, not one per name.
    std::vector<bool> seen(size_t(m_pageCount) + 1, false);
    std::vector<Named> next;
    const auto visit = [&](const Named &named) {
        if (named.page < 1 || named.page > m_pageCount) {
            countUnread(found, named);
        } else if (!seen[named.page]) {
            seen[named.page] = true;
            next.push_back(named);
        } else {
            ++found.namedTwice;
        }
    };
    std::vector<qint64> ids;
    const auto hand = [&] {
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        const bool more = ids.empty() || take(ids);
        ids.clear();
        return more;
    };
    // An index entry longer than this spills its end, and its row id, onto pages of its own: passed over.
    const qint64 mostInPage = (m_usableBytes - 12) * 64 / 255 - 23;
    // SQLite keeps only the bits of a cell pointer below the page size.
    const qint64 mask = m_pageBytes - 1;
    // The page that last met each cell offset: many pointers to one cell read it once.
    std::vector<quint32> metOn(size_t(m_pageBytes), 0);
    visit({root, std::nullopt, std::nullopt});
    while (!next.empty()) {
        if (stop && stop->load(std::memory_order_relaxed))
            return false;
        const Named named = next.back();
        next.pop_back();
        const QByteArray bytes = page(named.page);
        const char *p = bytes.constData();
        const qint64 head = named.page == 1 ? kFileHeaderBytes : 0;
        const quint8 type = bytes.isEmpty() ? 0 : quint8(p[head]);
        if (type != interiorType && type != leafType) {
            countUnread(found, named);
            continue;
        }
        const bool leaf = type == leafType;
        const qint64 pointers = head + (leaf ? 8 : 12);
        // As many cells as the page has room to point at; each cell is read on its own, so that a
        // damaged one loses only itself.
        const qint64 cells = std::min<qint64>(qFromBigEndian<quint16>(p + head + 3), (m_pageBytes - pointers) / 2);
        if (leaf || index)
            found.cells += cells;
        // An interior page's cells name its children in the order of their keys: a table's child
        // holds the row ids above the key before its own, up to its own; an index's cell is an
        // entry too.
        std::optional<qint64> below = named.low;
        for (qint64 i = 0; i < cells; ++i) {
            qint64 at = qFromBigEndian<quint16>(p + pointers + 2 * i) & mask, payload = 0, id = 0;
            const bool again = std::exchange(metOn[size_t(at)], named.page) == named.page;
            if (!leaf) {
                const bool fits = at + 4 <= m_pageBytes;
                const quint32 child = fits ? qFromBigEndian<quint32>(p + at) : 0;
                at += 4;
                const std::optional<qint64> upTo =
                    !index && readVarint(p, at, m_pageBytes, &id) ? std::optional(id) : std::nullopt;
                if (again)
                    ++found.namedTwice;
                else if (fits)
                    visit({child, below, upTo});
                below = upTo;
                if (!index || !fits)
                    continue;
            }
            if (!again && readVarint(p, at, m_pageBytes, &payload)
                && (index ? payload >= 0 && payload <= mostInPage
                            && lastInteger(p, at, std::min(at + payload, m_pageBytes), &id)
                          : readVarint(p, at, m_pageBytes, &id)))
                ids.push_back(id);
        }
        if (!leaf)
            visit({qFromBigEndian<quint32>(p + head + 8), below, named.high});
        if (ids.size() >= batchSize && !hand())
            return false;
    }
    return hand();
}

} // namespace quillmere
