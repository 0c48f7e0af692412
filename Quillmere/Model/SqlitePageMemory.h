#pragma once

#include <QString>

namespace quillmere {

// Gives the cached pages of every SQLite connection in the process one range of address space,
// in slots handed out lowest free first, so that what the caches hold at once bounds what they
// keep. Left to the heap, each page came from the heap of the thread that read it: a kept
// connection read again on another pool thread after every save came to hold two or three copies
// of its cache in different heaps. Must come before the process opens any store; false, with
// `why`, when SQLite is in use already or the range cannot be had (pages then come from the heap).
// The range stays for the life of the process; pages of another size than a store's, and any
// beyond the range, come from the heap.
bool reserveSqlitePageMemory(qint64 bytes, QString *why = nullptr);

// Gives back to the system the memory of the free slots, as when a large cache has been closed.
void releaseFreeSqlitePageMemory();

// Bytes of the range that are resident now.
qint64 sqlitePageMemoryResident();

} // namespace quillmere
