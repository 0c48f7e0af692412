#include "Quillmere/Model/SqlitePageMemory.h"

#include "Quillmere/Model/StoreSchema.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include <sqlite3.h>
#include <sys/mman.h>
#include <unistd.h>

namespace quillmere {

namespace {

// Slots are given lowest first, so that those in use stay packed at the start of the range, and
// a freed slot keeps its memory for the next page: a cache emptied by a save and read again takes
// the same memory, neither faulted in again nor left in a heap.
class PageSlots {
public:
    bool reserve(qint64 bytes, QString *why)
    {
        // What SQLite asks for a cached page of a store: the page with its headers, in multiples of
        // 8 bytes. Smaller or larger blocks go to the heap.
        int header = 0;
        if (sqlite3_config(SQLITE_CONFIG_PCACHE_HDRSZ, &header) != SQLITE_OK)
            return fail(why, QStringLiteral("SQLite is in use already"));
        m_slotBytes = (StoreSchema::pageBytes + header + 7) & ~7;
        const qint64 count = bytes / m_slotBytes;
        if (count <= 0)
            return fail(why, QStringLiteral("%1 bytes is no size for page memory").arg(bytes));
        const size_t size = size_t(count) * m_slotBytes;
        // Address space only: a page of it becomes memory when a slot in it is first used.
        void *data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (data == MAP_FAILED)
            return fail(why, QString::fromLocal8Bit(std::strerror(errno)));
        if (sqlite3_config(SQLITE_CONFIG_GETMALLOC, &m_heap) != SQLITE_OK) {
            munmap(data, size);
            return fail(why, QStringLiteral("SQLite is in use already"));
        }
        m_begin = m_residentEnd = static_cast<char *>(data);
        m_end = m_begin + size;
        m_used.assign(size_t((count + 63) / 64), 0);
        m_count = count;
        m_pageBytes = qint64(sysconf(_SC_PAGESIZE));
        static const sqlite3_mem_methods methods = {
            [](int n) { return pool().allocate(n); },
            [](void *p) { pool().release(p); },
            [](void *p, int n) { return pool().reallocate(p, n); },
            [](void *p) { return pool().sizeOf(p); },
            [](int n) { return pool().fitsSlot(n) ? pool().m_slotBytes : pool().m_heap.xRoundup(n); },
            [](void *) { return pool().m_heap.xInit(pool().m_heap.pAppData); },
            [](void *) { pool().m_heap.xShutdown(pool().m_heap.pAppData); },
            nullptr};
        if (sqlite3_config(SQLITE_CONFIG_MALLOC, &methods) != SQLITE_OK) {
            m_begin = m_end = m_residentEnd = nullptr;
            munmap(data, size);
            return fail(why, QStringLiteral("SQLite is in use already"));
        }
        return true;
    }
    bool isReserved() const { return m_begin != nullptr; }
    qint64 resident()
    {
        const std::lock_guard lock(m_mutex);
        return m_residentEnd - m_begin;
    }

    void releaseFree()
    {
        const std::lock_guard lock(m_mutex);
        char *inUseEnd = pageEnd(m_begin + m_top * m_slotBytes);
        if (inUseEnd < m_residentEnd && madvise(inUseEnd, size_t(m_residentEnd - inUseEnd), MADV_DONTNEED) == 0)
            m_residentEnd = inUseEnd;
    }

    static PageSlots &pool()
    {
        static PageSlots instance;
        return instance;
    }

private:
    static bool fail(QString *why, const QString &reason)
    {
        if (why)
            *why = reason;
        return false;
    }
    bool fitsSlot(int n) const { return n > StoreSchema::pageBytes && n <= m_slotBytes; }
    bool owns(const void *p) const { return p >= m_begin && p < m_end; }

    void *allocate(int n)
    {
        if (fitsSlot(n)) {
            const std::lock_guard lock(m_mutex);
            for (size_t word = m_firstWithRoom; word < m_used.size(); ++word) {
                if (~m_used[word] == 0)
                    continue;
                const qint64 slot = qint64(word) * 64 + std::countr_one(m_used[word]);
                if (slot >= m_count)
                    break;
                m_used[word] |= quint64(1) << (slot % 64);
                m_firstWithRoom = word;
                m_top = std::max(m_top, slot + 1);
                char *p = m_begin + slot * m_slotBytes;
                m_residentEnd = std::max(m_residentEnd, pageEnd(p + m_slotBytes));
                return p;
            }
        }
        return m_heap.xMalloc(n);
    }
    void release(void *p)
    {
        if (!owns(p))
            return m_heap.xFree(p);
        const std::lock_guard lock(m_mutex);
        const qint64 slot = (static_cast<char *>(p) - m_begin) / m_slotBytes;
        const size_t word = size_t(slot / 64);
        m_used[word] &= ~(quint64(1) << (slot % 64));
        m_firstWithRoom = std::min(m_firstWithRoom, word);
        if (slot + 1 != m_top)
            return;
        while (m_top > 0 && !(m_used[size_t((m_top - 1) / 64)] & (quint64(1) << ((m_top - 1) % 64))))
            --m_top;
    }
    void *reallocate(void *p, int n)
    {
        if (!owns(p))
            return m_heap.xRealloc(p, n);
        if (n <= m_slotBytes)
            return p;
        void *moved = m_heap.xMalloc(n);
        if (moved) {
            std::memcpy(moved, p, m_slotBytes);
            release(p);
        }
        return moved;
    }
    int sizeOf(void *p) { return owns(p) ? m_slotBytes : m_heap.xSize(p); }
    char *pageEnd(char *p) const { return m_begin + ((p - m_begin + m_pageBytes - 1) / m_pageBytes) * m_pageBytes; }

    sqlite3_mem_methods m_heap{};
    char *m_begin = nullptr, *m_end = nullptr;
    // A bit a slot, set while it is given out.
    std::vector<quint64> m_used;
    qint64 m_count = 0;
    qint64 m_pageBytes = 4096;
    int m_slotBytes = 0;
    size_t m_firstWithRoom = 0;
    // One past the highest slot given out, and the end of the pages that may be resident.
    qint64 m_top = 0;
    char *m_residentEnd = nullptr;
    std::mutex m_mutex;
};

} // namespace

bool reserveSqlitePageMemory(qint64 bytes, QString *why)
{
    if (PageSlots::pool().isReserved()) {
        if (why)
            *why = QStringLiteral("already reserved");
        return false;
    }
    return PageSlots::pool().reserve(bytes, why);
}

void releaseFreeSqlitePageMemory()
{
    PageSlots::pool().releaseFree();
}

qint64 sqlitePageMemoryResident()
{
    return PageSlots::pool().resident();
}

} // namespace quillmere
