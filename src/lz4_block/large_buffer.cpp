#include "large_buffer.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace lz4_block {
namespace {

#if defined(__linux__)
constexpr size_t kHugePage = size_t{2} << 20;

size_t page_rounded(size_t size) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

// Maps `size` bytes starting at a huge-page boundary: maps more, then unmaps the excess
// on both sides.
char* map_aligned(size_t size) {
    const size_t length = page_rounded(size);
    void* mapped = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
    if (aligned > start) munmap(mapped, aligned - start);
    const uintptr_t tail = aligned + length;
    const uintptr_t end = start + length + kHugePage;
    if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
#if defined(MADV_HUGEPAGE)
    madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<char*>(aligned);
}
#endif

}  // namespace

char* allocate_buffer(size_t size, bool zeroed) {
#if defined(__linux__)
    if (size >= kLargeBuffer) return map_aligned(size);
#endif
    if (size == 0) size = 1;
    void* data = zeroed ? std::calloc(size, 1) : std::malloc(size);
    if (!data) throw std::bad_alloc();
    return static_cast<char*>(data);
}

void release_buffer(char* data, size_t size) {
    if (!data) return;
#if defined(__linux__)
    if (size >= kLargeBuffer) {
        munmap(data, page_rounded(size));
        return;
    }
#endif
    std::free(data);
}

}  // namespace lz4_block
