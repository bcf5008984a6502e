// Strict UTF-8 validation (no overlong forms, no surrogates, nothing above U+10FFFF,
// no truncated sequence), with a fast path for runs of ASCII.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pb::utf8 {

struct Check {
    size_t valid_up_to;  // leading bytes that are valid UTF-8
    uint8_t error_len;   // 1 to 3: ill-formed sequence at valid_up_to; 0: input ends inside one
    bool ok;
    uint8_t widest_lead = 0;  // the largest lead byte in the valid part; 0 when it is ASCII
};

// A byte that continues a multi-byte sequence (10xxxxxx).
inline bool is_continuation(uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

// Full report, for callers that must say where and how the text is broken.
Check check(const uint8_t* data, size_t size);

inline bool has_non_ascii(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return (word & 0x8080808080808080ULL) != 0;
}

// True when every byte is below 0x80. Short texts are checked with two overlapping loads
// instead of a byte loop.
inline bool is_ascii(const uint8_t* data, size_t size) {
    if (size >= 8) {
        uint64_t any = 0;
        for (size_t i = 0; i + 8 <= size; i += 8) {
            uint64_t word;
            std::memcpy(&word, data + i, 8);
            any |= word;
        }
        uint64_t last;
        std::memcpy(&last, data + size - 8, 8);
        return ((any | last) & 0x8080808080808080ULL) == 0;
    }
    if (size >= 4) {
        uint32_t first, last;
        std::memcpy(&first, data, 4);
        std::memcpy(&last, data + size - 4, 4);
        return ((first | last) & 0x80808080U) == 0;
    }
    if (size == 0) return true;
    // One to three bytes: the first, middle and last byte cover them all.
    return (data[0] | data[size / 2] | data[size - 1]) < 0x80;
}

// True when the bytes are valid UTF-8.
inline bool is_valid(const uint8_t* data, size_t size) {
    return is_ascii(data, size) || check(data, size).ok;
}

}  // namespace pb::utf8
