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
};

// Full report, for callers that must say where and how the text is broken.
Check check(const uint8_t* data, size_t size);

inline bool has_non_ascii(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return (word & 0x8080808080808080ULL) != 0;
}

// True when the bytes are valid UTF-8.
inline bool is_valid(const uint8_t* data, size_t size) {
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        if (has_non_ascii(data + i) || has_non_ascii(data + i + 8)) return check(data, size).ok;
    }
    for (; i < size; ++i) {
        if (data[i] >= 0x80) return check(data, size).ok;
    }
    return true;
}

}  // namespace pb::utf8
