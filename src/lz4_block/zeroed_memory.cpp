#include "zeroed_memory.hpp"

#include <cstdlib>
#include <new>

#include "huge_pages.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lz4_block {
namespace {

constexpr size_t kMapThreshold = size_t{1} << 20;

bool mapped(size_t size) {
#if defined(__linux__)
    return size >= kMapThreshold;
#else
    (void)size;
    return false;
#endif
}

}  // namespace

char* allocate_zeroed(size_t size) {
#if defined(__linux__)
    if (mapped(size)) {
        void* data =
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data == MAP_FAILED) throw std::bad_alloc();
        advise_huge_pages(data, size);
        return static_cast<char*>(data);
    }
#endif
    void* data = std::calloc(size == 0 ? 1 : size, 1);
    if (!data) throw std::bad_alloc();
    return static_cast<char*>(data);
}

void release_zeroed(char* data, size_t size) {
    if (!data) return;
#if defined(__linux__)
    if (mapped(size)) {
        munmap(data, size);
        return;
    }
#endif
    std::free(data);
}

}  // namespace lz4_block
