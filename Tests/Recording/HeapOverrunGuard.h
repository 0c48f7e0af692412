#pragma once

#include <cstddef>

namespace quillmere::test {

// Writes past the end of large heap blocks made while the guard lives. The address sanitizer
// cannot see them when they come from libraries built without it (FFmpeg's vector code), so
// under it each such block gets a canary in its unused tail, checked when the block is freed.
// Without the sanitizer, glibc is made to keep such blocks on its heap, where it aborts on the
// broken chunk header as it would in the program.
class HeapOverrunGuard {
public:
    HeapOverrunGuard();
    ~HeapOverrunGuard();
    HeapOverrunGuard(const HeapOverrunGuard &) = delete;
    HeapOverrunGuard &operator=(const HeapOverrunGuard &) = delete;

    // Blocks freed with their canary broken, and the size of the last one.
    static int overruns();
    static size_t lastOverrunSize();
};

} // namespace quillmere::test
