// A call's JSON text buffer is written once, front to back. Fresh memory costs a page fault per
// page on first write, which for a batch of a few MB costs more than converting it; so each thread
// keeps its last such buffer, up to kKeepLimit bytes, for its next call.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "../lz4_block/huge_pages.hpp"

namespace log_parser {

using lz4_block::advise_huge_pages;

class SpareBuffer {
  public:
    static constexpr size_t kKeepLimit = size_t{16} << 20;

    SpareBuffer() = default;
    SpareBuffer(const SpareBuffer&) = delete;
    SpareBuffer& operator=(const SpareBuffer&) = delete;
    ~SpareBuffer() { std::free(data_); }

    // A buffer of at least `size` bytes (and its actual capacity): the spare when it is
    // large enough, otherwise a new one.
    std::pair<char*, size_t> take(size_t size) {
        char* data = std::exchange(data_, nullptr);
        size_t capacity = std::exchange(capacity_, 0);
        if (capacity >= size && data) return {data, capacity};
        std::free(data);
        data = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
        if (!data) throw std::bad_alloc();
        advise_huge_pages(data, size);
        return {data, size};
    }

    // Keeps `data` as the spare if there is none and it is small enough; frees it otherwise.
    void give_back(char* data, size_t capacity) {
        if (!data_ && data && capacity <= kKeepLimit) {
            data_ = data;
            capacity_ = capacity;
            return;
        }
        std::free(data);
    }

  private:
    char* data_ = nullptr;
    size_t capacity_ = 0;
};

inline thread_local SpareBuffer text_spare;

}  // namespace log_parser
