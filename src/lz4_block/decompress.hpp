// Expansion of one raw LZ4 block (no frame, no size prefix) into a buffer of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "../error/result.hpp"

namespace lz4_block {

struct Lz4Error {
    enum class Kind { InvalidInput, InvalidData };
    Kind kind;
    const char* message;

    // Custom { kind: K, error: "M" }
    std::string debug() const;
};

// The expanded bytes; `size` is what the block produced, at most the requested size.
struct Expanded {
    Expanded() = default;
    Expanded(Expanded&& other) noexcept
        : data(std::exchange(other.data, nullptr)),
          capacity(std::exchange(other.capacity, 0)),
          size(std::exchange(other.size, 0)) {}
    Expanded& operator=(Expanded&&) = delete;
    ~Expanded();

    char* data = nullptr;  // owned, from allocate_buffer
    size_t capacity = 0;
    size_t size = 0;

    std::string_view view() const { return {data, size}; }
};

inline constexpr int64_t kMaxRequestedSize = 0x7E000000;  // 2,113,929,216

// Expands `block` into a buffer with room for `requested_size` bytes. Sizes above
// kMaxRequestedSize are refused before anything is allocated; room beyond what the
// block can possibly expand to is never allocated.
morvex::Result<Expanded, Lz4Error> decompress(std::string_view block, int64_t requested_size);

// The requested size handed over for an unsigned `raw_size`: sizes that do not fit are
// mapped to one past the limit, so that they are refused as too big.
inline int64_t requested_size_from(uint64_t raw_size) {
    return raw_size > static_cast<uint64_t>(kMaxRequestedSize) ? kMaxRequestedSize + 1
                                                               : static_cast<int64_t>(raw_size);
}

}  // namespace lz4_block
