#include "Quillmere/Model/SqlitePageMemory.h"

#include "Quillmere/Model/StoreSchema.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include <sanitizer/asan_interface.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr char kInUse[] = "SQLite is in use already";

// Slots are handed out lowest free first, so that those in use stay packed at the start of the
// range, and a freed slot keeps its memory for the next page: a cache emptied by a save and read
// again takes the same memory, neither faulted in again nor left in a heap. The bitmap of slots in
// use lies at the start of the range, so nothing here has a destructor that a late free could meet.
class PageSlots {
public:
    bool reserve(qint64 bytes, QString *why)
    {
        // What SQLite asks for a cached page of a store: the page with its headers, in multiples of
        // 8 bytes. Smaller or larger blocks go to the heap.
        int header = 0;
        if (sqlite3_config(SQLITE_CONFIG_PCACHE_HDRSZ, &header) != SQLITE_OK)
            return fail(why, QLatin1String(kInUse));
        m_slotBytes = (StoreSchema::pageBytes + header + 7) & ~7;
        m_systemPageBytes = qint64(sysconf(_SC_PAGESIZE));
        m_count = bytes / m_slotBytes;
        if (m_count <= 0)
            return fail(why, QStringLiteral("%1 bytes is no size for page memory").arg(bytes));
        m_words = size_t((m_count + 63) / 64);
        const size_t bitmapBytes = size_t(systemPagesFor(qint64(m_words * sizeof(quint64))));
        const size_t size = bitmapBytes + size_t(m_count) * size_t(m_slotBytes);
        // Address space only: a page of it becomes memory when a slot in it is first used.
        void *data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (data == MAP_FAILED)
            return fail(why, QString::fromLocal8Bit(std::strerror(errno)));
        // No bulk block of pages per connection from the heap: every page comes through here.
        if (sqlite3_config(SQLITE_CONFIG_GETMALLOC, &m_heap) != SQLITE_OK
            || sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0) != SQLITE_OK) {
            munmap(data, size);
            return fail(why, QLatin1String(kInUse));
        }
        m_used = static_cast<quint64 *>(data);
        m_begin = static_cast<char *>(data) + bitmapBytes;
        m_end = static_cast<char *>(data) + size;
        // A slot is out of bounds to the address checker until it is handed out.
        ASAN_POISON_MEMORY_REGION(m_begin, size_t(m_end - m_begin));
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
            ASAN_UNPOISON_MEMORY_REGION(m_begin, size_t(m_end - m_begin));
            m_used = nullptr;
            m_begin = m_end = nullptr;
            munmap(data, size);
            return fail(why, QLatin1String(kInUse));
        }
        return true;
    }
    bool isReserved() const { return m_begin != nullptr; }

    // The whole system pages inside each run of free slots.
    void releaseFree()
    {
        if (!isReserved())
            return;
        const std::lock_guard lock(m_mutex);
        for (qint64 slot = 0; slot < m_count;) {
            if (isUsed(slot)) {
                ++slot;
                continue;
            }
            const qint64 first = slot;
            while (slot < m_count && !isUsed(slot))
                ++slot;
            const qint64 from = systemPagesFor(first * m_slotBytes),
                         to = (slot * m_slotBytes) / m_systemPageBytes * m_systemPageBytes;
            if (to > from)
                madvise(m_begin + from, size_t(to - from), MADV_DONTNEED);
        }
    }
    qint64 resident() const
    {
        if (!isReserved())
            return 0;
        std::vector<unsigned char> pages(size_t(systemPagesFor(m_end - m_begin) / m_systemPageBytes));
        if (mincore(m_begin, size_t(m_end - m_begin), pages.data()) != 0)
            return -1;
        qint64 count = 0;
        for (unsigned char flags : pages)
            count += flags & 1;
        return count * m_systemPageBytes;
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
    bool owns(const void *p) const
    {
        const auto at = reinterpret_cast<std::uintptr_t>(p);
        return at >= reinterpret_cast<std::uintptr_t>(m_begin) && at < reinterpret_cast<std::uintptr_t>(m_end);
    }
    bool isUsed(qint64 slot) const { return m_used[slot / 64] & (quint64(1) << (slot % 64)); }
    // Bytes rounded up to whole system pages.
    qint64 systemPagesFor(qint64 bytes) const
    {
        return (bytes + m_systemPageBytes - 1) / m_systemPageBytes * m_systemPageBytes;
    }

    void *allocate(int n)
    {
        if (fitsSlot(n)) {
            const std::lock_guard lock(m_mutex);
            for (size_t word = m_firstWithRoom; word < m_words; ++word) {
                if (~m_used[word] == 0)
                    continue;
                const qint64 slot = qint64(word) * 64 + std::countr_one(m_used[word]);
                if (slot >= m_count)
                    break;
                m_used[word] |= quint64(1) << (slot % 64);
                m_firstWithRoom = word;
                char *p = m_begin + slot * m_slotBytes;
                ASAN_UNPOISON_MEMORY_REGION(p, size_t(m_slotBytes));
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
        m_used[slot / 64] &= ~(quint64(1) << (slot % 64));
        m_firstWithRoom = std::min(m_firstWithRoom, size_t(slot / 64));
        ASAN_POISON_MEMORY_REGION(p, size_t(m_slotBytes));
    }
    void *reallocate(void *p, int n)
    {
        if (!owns(p))
            return m_heap.xRealloc(p, n);
        if (n <= m_slotBytes)
            return p;
        void *moved = m_heap.xMalloc(n);
        if (moved) {
            std::memcpy(moved, p, size_t(m_slotBytes));
            release(p);
        }
        return moved;
    }
    int sizeOf(void *p) const { return owns(p) ? m_slotBytes : m_heap.xSize(p); }

    sqlite3_mem_methods m_heap{};
    // A bit a slot, set while it is handed out.
    quint64 *m_used = nullptr;
    size_t m_words = 0, m_firstWithRoom = 0;
    char *m_begin = nullptr, *m_end = nullptr;
    qint64 m_count = 0, m_systemPageBytes = 4096;
    int m_slotBytes = 0;
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
