#include "large_buffer.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

// Maps `size` bytes in small pages only. An output buffer is kept from call to call, so
// huge pages would save faults only on its first use, while the last huge page it touches
// is resident in full: up to 2 MiB beyond the text, which the peak of a call on a batch of
// a few MiB cannot spare once the text is rewritten in wider units (see
// log_parser/wide_text).
char* map_small_pages(size_t size) {
    const size_t length = page_rounded(size);
    void* mapped =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_NOHUGEPAGE)
    madvise(mapped, length, MADV_NOHUGEPAGE);
#endif
    return static_cast<char*>(mapped);
}

// One released output buffer kept for the next call. Without a lock: a buffer is handed
// over by swapping the one pointer, and its size travels in its own first bytes (whatever
// a buffer holds is overwritten before it is read). So a process forked while another
// thread is in the middle of a hand-over finds no lock held in the child, only, at worst,
// one buffer fewer kept.
class OutputBufferCache {
  public:
    static constexpr size_t kMaxKept = size_t{64} << 20;

    // The kept buffer when it holds at least `length` bytes, or null; `length` becomes its
    // size. One of more than four times the length is cut down to the length.
    char* take(size_t& length) {
        char* data = kept_.exchange(nullptr, std::memory_order_acq_rel);
        if (data == nullptr) return nullptr;
        const size_t kept_length = length_of(data);
        if (kept_length < length) {
            give(data, kept_length);
            return nullptr;
        }
        if (kept_length / 4 > length) {
            munmap(data + length, kept_length - length);
        } else {
            length = kept_length;
        }
        return data;
    }

    // Keeps the larger of the released and the kept buffer; unmaps the other.
    void give(char* data, size_t length) {
        if (length > kMaxKept) {
            munmap(data, length);
            return;
        }
        for (;;) {
            std::memcpy(data, &length, sizeof length);
            char* other = kept_.exchange(data, std::memory_order_acq_rel);
            if (other == nullptr) return;
            const size_t other_length = length_of(other);
            if (other_length <= length) {
                munmap(other, other_length);
                return;
            }
            // The one that came out is the larger: it goes back in, and what comes out
            // then (the one just put in, or one released meanwhile) is judged the same way.
            data = other;
            length = other_length;
        }
    }

  private:
    static size_t length_of(const char* data) {
        size_t length;
        std::memcpy(&length, data, sizeof length);
        return length;
    }

    std::atomic<char*> kept_{nullptr};
};

OutputBufferCache output_cache;

#endif

}  // namespace

char* allocate_output_buffer(size_t& size) {
#if defined(__linux__)
    if (size >= kMappedOutput) {
        size_t length = page_rounded(size);
        if (char* kept = output_cache.take(length)) {
            size = length;
            return kept;
        }
        // One too large to be kept is faulted in afresh by every call: in huge pages, where
        // the system offers them, with 512 times fewer faults; the up to 2 MiB they make
        // resident beyond the text weigh little beside a text of that size.
        return length > OutputBufferCache::kMaxKept ? map_aligned(size) : map_small_pages(size);
    }
#endif
    return allocate_buffer(size, false);
}

// An output buffer outgrown in the middle of a call, released at once rather than kept. One
// of kMappedOutput bytes or more was mapped by allocate_output_buffer, whatever its size.
static void release_outgrown(char* data, size_t capacity) {
#if defined(__linux__)
    if (capacity >= kMappedOutput) {
        munmap(data, page_rounded(capacity));
        return;
    }
#endif
    release_buffer(data, capacity);
}

char* grow_output_buffer(char* data, size_t capacity, size_t used, size_t& size) {
#if defined(__linux__) && defined(MREMAP_MAYMOVE)
    if (capacity >= kMappedOutput) {
        void* moved = mremap(data, page_rounded(capacity), page_rounded(size), MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        return static_cast<char*>(moved);
    }
#endif
    char* grown = allocate_output_buffer(size);
    if (used > 0) std::memcpy(grown, data, used);
    release_outgrown(data, capacity);
    return grown;
}

void release_output_buffer(char* data, size_t size) {
#if defined(__linux__)
    if (data != nullptr && size >= kMappedOutput) {
        output_cache.give(data, page_rounded(size));
        return;
    }
#endif
    release_buffer(data, size);
}

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
