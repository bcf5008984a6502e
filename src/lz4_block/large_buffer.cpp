#include "large_buffer.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace lz4_block {
namespace {

#if defined(__linux__)
constexpr size_t kHugePage = size_t{2} << 20;

// Large buffers are whole huge pages, so that buffers of similar size can be reused.
size_t mapped_length(size_t size) {
    return (size + kHugePage - 1) / kHugePage * kHugePage;
}

// Maps `size` bytes starting at a huge-page boundary: maps more, then unmaps the excess
// on both sides.
char* map_aligned(size_t size) {
    const size_t length = mapped_length(size);
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

// Released buffers kept for later calls: faulting fresh pages in costs about as much as a
// conversion, so the two largest recent buffers (the most one call uses at once) stay
// mapped, up to kMaxCached bytes each. A call of similar size needs that memory anyway.
class BufferCache {
  public:
    static constexpr size_t kMaxCached = size_t{64} << 20;

    // The smallest kept buffer of at least `length` bytes, cut down to exactly `length`,
    // or null.
    char* take(size_t length) {
        Slot found;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Slot* best = nullptr;
            for (Slot& slot : slots_) {
                if (slot.data == nullptr || slot.length < length) continue;
                if (best == nullptr || slot.length < best->length) best = &slot;
            }
            if (best != nullptr) std::swap(found, *best);
        }
        if (found.length > length) munmap(found.data + length, found.length - length);
        return found.data;
    }

    // Keeps the buffer in place of a smaller kept one, and unmaps whichever is let go.
    void give(char* data, size_t length) {
        Slot released{data, length};
        if (length <= kMaxCached) {
            std::lock_guard<std::mutex> lock(mutex_);
            Slot* smallest = &slots_[0];
            for (Slot& slot : slots_) {
                if (slot.length < smallest->length) smallest = &slot;
            }
            if (smallest->length < length) std::swap(*smallest, released);
        }
        if (released.data != nullptr) munmap(released.data, released.length);
    }

  private:
    struct Slot {
        char* data = nullptr;
        size_t length = 0;
    };
    std::mutex mutex_;
    std::array<Slot, 2> slots_{};
};

BufferCache cache;

#endif

}  // namespace

char* allocate_buffer(size_t size, bool zeroed) {
#if defined(__linux__)
    if (size >= kLargeBuffer) {
        char* kept = cache.take(mapped_length(size));
        if (kept == nullptr) return map_aligned(size);
        if (zeroed) std::memset(kept, 0, size);
        return kept;
    }
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
        cache.give(data, mapped_length(size));
        return;
    }
#endif
    std::free(data);
}

}  // namespace lz4_block
