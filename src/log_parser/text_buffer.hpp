// One growing output buffer for text: callers reserve room first and then put without
// further checks. Large buffers come from large_buffer (mapped, huge pages); their
// untouched room costs address space only, so the first reservation may be generous.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "../lz4_block/large_buffer.hpp"

namespace log_parser {

class TextBuffer {
  public:
    TextBuffer() = default;
    explicit TextBuffer(size_t capacity) { reserve(capacity); }
    TextBuffer(TextBuffer&& other) noexcept { swap(other); }
    TextBuffer& operator=(TextBuffer&& other) noexcept {
        TextBuffer(std::move(other)).swap(*this);
        return *this;
    }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { lz4_block::release_buffer(data_, capacity_); }

    // Makes room for `extra` more bytes; grows geometrically so appends stay amortised O(1).
    void reserve_more(size_t extra) {
        if (capacity_ - size_ < extra) grow(size_ + extra);
    }

    void put(char c) { data_[size_++] = c; }
    void put(const char* data, size_t size) {
        // An empty text may have no data pointer at all (a field absent from the input).
        if (size == 0) return;
        std::memcpy(data_ + size_, data, size);
        size_ += size;
    }
    void put(std::string_view text) { put(text.data(), text.size()); }

    void append(std::string_view text) {
        reserve_more(text.size());
        put(text);
    }

    char* data() { return data_; }
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }
    void clear() { size_ = 0; }
    // Keeps the first `size` bytes, after they were rewritten in place.
    void truncate(size_t size) { size_ = size < size_ ? size : size_; }

  private:
    void reserve(size_t capacity) {
        if (capacity <= capacity_) return;
        char* grown = lz4_block::allocate_buffer(capacity, false);
        if (size_ > 0) std::memcpy(grown, data_, size_);
        lz4_block::release_buffer(data_, capacity_);
        data_ = grown;
        capacity_ = capacity;
    }
    void grow(size_t needed) {
        size_t capacity = capacity_ < 64 ? 64 : capacity_;
        while (capacity < needed) capacity *= 2;
        reserve(capacity);
    }
    void swap(TextBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace log_parser
