// A fast, non-cryptographic hash of short byte strings (keys), eight bytes at a time.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace log_parser {

inline uint64_t hash_mix(uint64_t h) {
    h ^= h >> 31;
    h *= 0x9E3779B97F4A7C15ULL;
    return h ^ (h >> 29);
}

// Hashes `text` on top of `seed`; the length takes part, so texts that differ only in
// trailing zero bytes hash apart.
inline uint64_t text_hash(std::string_view text, uint64_t seed = 0) {
    uint64_t h = hash_mix(seed ^ text.size());
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        h = hash_mix(h ^ word);
    }
    if (i < text.size()) {
        uint64_t tail = 0;
        std::memcpy(&tail, text.data() + i, text.size() - i);
        h = hash_mix(h ^ tail);
    }
    return h;
}

}  // namespace log_parser
