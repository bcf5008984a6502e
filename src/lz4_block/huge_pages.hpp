// Large buffers are written once from start to end; backing them with huge pages where the
// system allows it saves most of the page faults of a first write.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lz4_block {

inline void advise_huge_pages(void* data, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t kHuge = size_t{2} << 20;
    if (size < 2 * kHuge) return;
    const auto start = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kHuge - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace lz4_block
