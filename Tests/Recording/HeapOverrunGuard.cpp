#include "HeapOverrunGuard.h"

#include <array>
#include <atomic>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define QUILLMERE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLMERE_ASAN 1
#endif
#endif

#if defined(QUILLMERE_ASAN)
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *, size_t),
                                              void (*free_hook)(const volatile void *));
int __sanitizer_get_ownership(const volatile void *p);
size_t __sanitizer_get_allocated_size(const volatile void *p);
}
#else
#include <malloc.h>
#endif

namespace quillmere::test {

namespace {

std::atomic<int> overrunCount{0};
std::atomic<size_t> lastSize{0};

#if defined(QUILLMERE_ASAN)

// Blocks this large come from the sanitizer's page-mapped allocator, so the rest of the page
// after a block is mapped and unused.
constexpr size_t minWatched = 256 * 1024;
constexpr size_t canaryBytes = 32;
constexpr size_t page = 4096;
constexpr uint8_t canary = 0xa5;

std::atomic<bool> armed{false};
std::array<std::atomic<uintptr_t>, 1024> watched{};

size_t canaryLength(uintptr_t end)
{
    const size_t toPageEnd = end % page == 0 ? 0 : page - end % page;
    return toPageEnd < canaryBytes ? toPageEnd : canaryBytes;
}

__attribute__((no_sanitize("address"))) void onMalloc(const volatile void *p, size_t size)
{
    if (!armed.load(std::memory_order_relaxed) || size < minWatched || !p)
        return;
    const auto address = reinterpret_cast<uintptr_t>(p);
    for (auto &slot : watched) {
        uintptr_t empty = 0;
        if (slot.compare_exchange_strong(empty, address)) {
            auto *tail = reinterpret_cast<volatile uint8_t *>(address + size);
            for (size_t i = 0, n = canaryLength(address + size); i < n; ++i)
                tail[i] = canary;
            return;
        }
    }
}

__attribute__((no_sanitize("address"))) void onFree(const volatile void *p)
{
    const auto address = reinterpret_cast<uintptr_t>(p);
    if (!address)
        return;
    for (auto &slot : watched) {
        uintptr_t expected = address;
        if (slot.load(std::memory_order_relaxed) != address || !__sanitizer_get_ownership(p))
            continue;
        const size_t size = __sanitizer_get_allocated_size(p);
        const auto *tail = reinterpret_cast<const volatile uint8_t *>(address + size);
        for (size_t i = 0, n = canaryLength(address + size); i < n; ++i) {
            if (tail[i] != canary) {
                overrunCount.fetch_add(1);
                lastSize.store(size);
                break;
            }
        }
        slot.compare_exchange_strong(expected, 0);
        return;
    }
}

#endif

} // namespace

HeapOverrunGuard::HeapOverrunGuard()
{
    overrunCount = 0;
    lastSize = 0;
#if defined(QUILLMERE_ASAN)
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
    (void)installed;
    armed = true;
#else
    // The largest threshold glibc takes; below it blocks share the heap with their neighbours.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
#endif
}

HeapOverrunGuard::~HeapOverrunGuard()
{
#if defined(QUILLMERE_ASAN)
    armed = false;
#else
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

int HeapOverrunGuard::overruns()
{
    return overrunCount.load();
}

size_t HeapOverrunGuard::lastOverrunSize()
{
    return lastSize.load();
}

} // namespace quillmere::test
