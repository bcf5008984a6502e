#include "decompress.hpp"

#include <lz4.h>

#include "large_buffer.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <tuple>

namespace lz4_block {
namespace {

constexpr const char* kNegative = "Size parameter must not be negative.";
constexpr const char* kTooBig = "Given size parameter is too big";
constexpr const char* kInvalid = "Decompression failed. Input invalid or too long?";

// A block of n bytes expands to at most this many: every byte of a match length can
// add 255 bytes of output.
int64_t expansion_bound(size_t block_size) {
    const int64_t bound = static_cast<int64_t>(block_size) * 255 + 16;
    return bound < 0 ? INT64_MAX : bound;
}

}  // namespace

Expanded::~Expanded() {
    release_buffer(data, capacity);
}

std::string Lz4Error::debug() const {
    std::string text = "Custom { kind: ";
    text += kind == Kind::InvalidInput ? "InvalidInput" : "InvalidData";
    text += ", error: \"";
    for (const char* c = message; *c; ++c) {
        if (*c == '"' || *c == '\\') text += '\\';
        text += *c;
    }
    text += "\" }";
    return text;
}

morvex::Result<Expanded, Lz4Error> decompress(std::string_view block, int64_t requested_size) {
    if (requested_size < 0) return morvex::fail(Lz4Error{Lz4Error::Kind::InvalidInput, kNegative});
    if (requested_size > kMaxRequestedSize ||
        LZ4_compressBound(static_cast<int>(requested_size)) <= 0) {
        return morvex::fail(Lz4Error{Lz4Error::Kind::InvalidInput, kTooBig});
    }
    if (block.size() > static_cast<size_t>(INT_MAX)) {
        return morvex::fail(Lz4Error{Lz4Error::Kind::InvalidData, kInvalid});
    }
    const int64_t capacity = std::min(requested_size, expansion_bound(block.size()));
    Expanded expanded;
    // Zeroed: liblz4 accepts a match of offset 0, which copies output bytes that were never
    // written; they must not reveal earlier contents of memory. The buffer is released, not
    // kept for the next call, so that it is gone before the result is made.
    expanded.capacity = static_cast<size_t>(capacity);
    if (capacity > 0) expanded.data = allocate_buffer(expanded.capacity, true);
    char nothing = 0;  // liblz4 wants a destination even when there is no room
    const int produced =
        LZ4_decompress_safe(block.data(), expanded.data ? expanded.data : &nothing,
                            static_cast<int>(block.size()), static_cast<int>(capacity));
    if (produced < 0) return morvex::fail(Lz4Error{Lz4Error::Kind::InvalidData, kInvalid});
    expanded.size = static_cast<size_t>(produced);
    return expanded;
}

}  // namespace lz4_block
