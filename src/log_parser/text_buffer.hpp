// One growing output buffer for text: callers reserve room first and then put without
// further checks. Large buffers come from large_buffer (mapped, and kept for the next
// call); their untouched room costs address space only, so the first reservation may be
// generous.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "../lz4_block/large_buffer.hpp"

namespace log_parser {

// A write position in room reserved in a TextBuffer. Objects are written through a local
// cursor, which stays in a register: stores of bytes may alias anything, so writing
// through the buffer itself reloads and stores its size around every byte.
struct Cursor {
    char* at;

    void put(char c) { *at++ = c; }
    void put(const char* data, size_t size) {
        if (size <= 16) {
            copy_short(at, data, size);
        } else {
            std::memcpy(at, data, size);
        }
        at += size;
    }
    void put(std::string_view text) { put(text.data(), text.size()); }
    // Puts up to sixteen bytes with one sixteen-byte move: sixteen bytes must be readable
    // from `data` and reserved here.
    void put_wide16(const char* data, size_t size) {
        std::memcpy(at, data, 16);
        at += size;
    }

  private:
    // Most texts put are keys and short values; two overlapping loads and stores copy them
    // without a library call. An empty text may have no data pointer at all.
    static void copy_short(char* to, const char* from, size_t size) {
        if (size >= 8) {
            uint64_t head, tail;
            std::memcpy(&head, from, 8);
            std::memcpy(&tail, from + size - 8, 8);
            std::memcpy(to, &head, 8);
            std::memcpy(to + size - 8, &tail, 8);
        } else if (size >= 4) {
            uint32_t head, tail;
            std::memcpy(&head, from, 4);
            std::memcpy(&tail, from + size - 4, 4);
            std::memcpy(to, &head, 4);
            std::memcpy(to + size - 4, &tail, 4);
        } else if (size > 0) {
            to[0] = from[0];
            to[size / 2] = from[size / 2];
            to[size - 1] = from[size - 1];
        }
    }
};

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
    ~TextBuffer() { lz4_block::release_output_buffer(data_, capacity_); }

    // Makes room for `extra` more bytes; grows geometrically so appends stay amortised O(1).
    void reserve_more(size_t extra) {
        if (capacity_ - size_ < extra) grow(size_ + extra);
    }

    void put(const char* data, size_t size) {
        Cursor at{end()};
        at.put(data, size);
        size_ += size;
    }
    void put(std::string_view text) { put(text.data(), text.size()); }
    void append(std::string_view text) {
        reserve_more(text.size());
        put(text);
    }

    // Asks for the room some way past the end, to be written, once per object (see the
    // decoder's read_ahead): room not touched lately is slow to arrive.
    void write_ahead() {
        constexpr size_t kAhead = 2048;
        const size_t target = size_ + kAhead < capacity_ ? size_ + kAhead : capacity_;
        for (; ahead_ < target; ahead_ += 64) __builtin_prefetch(data_ + ahead_, 1);
    }

    char* data() { return data_; }
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }
    void clear() { size_ = ahead_ = 0; }
    // Where the next byte goes, for a Cursor writing into reserved room; commit(at) then
    // counts what it wrote.
    char* end() { return data_ + size_; }
    void commit(const char* at) { size_ = static_cast<size_t>(at - data_); }
    // Counts `extra` reserved bytes as written, after they were filled in place.
    void grow_by(size_t extra) { size_ += extra; }

  private:
    void reserve(size_t capacity) {
        if (capacity <= capacity_) return;
        data_ = data_ == nullptr ? lz4_block::allocate_output_buffer(capacity)
                                 : lz4_block::grow_output_buffer(data_, capacity_, size_, capacity);
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
        std::swap(ahead_, other.ahead_);
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t ahead_ = 0;  // room up to here was asked for by write_ahead
};

}  // namespace log_parser
