// One growing output buffer for text, written through a raw cursor: callers reserve room
// first and then append without further checks.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <tuple>
#include <utility>

#include "spare_buffer.hpp"

namespace log_parser {

using lz4_block::advise_huge_pages;

class TextBuffer {
  public:
    TextBuffer() = default;
    explicit TextBuffer(size_t capacity) { reserve(capacity); }
    // A buffer for a call's output, taken from this thread's spare and given back to it.
    static TextBuffer from_spare(size_t capacity) {
        TextBuffer buffer;
        std::tie(buffer.data_, buffer.capacity_) = text_spare.take(capacity);
        buffer.spare_ = true;
        return buffer;
    }
    TextBuffer(TextBuffer&& other) noexcept { swap(other); }
    TextBuffer& operator=(TextBuffer&& other) noexcept {
        TextBuffer(std::move(other)).swap(*this);
        return *this;
    }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() {
        if (spare_) {
            text_spare.give_back(data_, capacity_);
        } else {
            std::free(data_);
        }
    }

    // Makes room for `extra` more bytes; grows geometrically so appends stay amortised O(1).
    void reserve_more(size_t extra) {
        if (capacity_ - size_ < extra) grow(size_ + extra);
    }

    void put(char c) { data_[size_++] = c; }
    void put(const char* data, size_t size) {
        std::memcpy(data_ + size_, data, size);
        size_ += size;
    }
    void put(std::string_view text) { put(text.data(), text.size()); }
    char* cursor() { return data_ + size_; }
    void advance(size_t n) { size_ += n; }

    void append(std::string_view text) {
        reserve_more(text.size());
        put(text);
    }

    const char* data() const { return data_; }
    size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }
    void clear() { size_ = 0; }

  private:
    void reserve(size_t capacity) {
        if (capacity <= capacity_) return;
        // realloc lets large buffers grow by remapping instead of copying; nothing is
        // zero-filled.
        char* grown = static_cast<char*>(std::realloc(data_, capacity));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        capacity_ = capacity;
        advise_huge_pages(data_, capacity_);
    }
    void grow(size_t needed) {
        size_t capacity = capacity_ < 64 ? 64 : capacity_;
        while (capacity < needed) capacity += capacity / 2 + 64;
        reserve(capacity);
    }
    void swap(TextBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(spare_, other.spare_);
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool spare_ = false;
};

}  // namespace log_parser
