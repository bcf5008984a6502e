// A fast, non-cryptographic hash of short byte strings (keys), eight bytes at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace log_parser {

// These hashes are cheap, not secret: a batch can be made whose keys all hash alike. So
// the tables that probe by them (open addressing, linear probing) visit at most this many
// slots per lookup or filing; an entry out of reach counts as absent, and one that finds
// no free slot within reach is not kept. Either way its object or layout is only made
// anew, and a crafted batch costs a bounded amount per key instead of a walk of them all.
inline constexpr size_t kMaxProbes = 32;

inline uint64_t hash_mix(uint64_t h) {
    h ^= h >> 31;
    h *= 0x9E3779B97F4A7C15ULL;
    return h ^ (h >> 29);
}

// The bytes of a text past its last whole eight-byte word (one to seven), as one word read
// with overlapping loads: a copy of variable length would be a library call, and its
// narrow stores would stall the wide load that follows. A text of eight bytes or more
// gives its last eight bytes, which the words before may overlap.
inline uint64_t tail_word(const unsigned char* p, size_t size) {
    if (size >= 8) {
        uint64_t word;
        std::memcpy(&word, p + size - 8, 8);
        return word;
    }
    if (size >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + size - 4, 4);
        return uint64_t{head} | uint64_t{tail} << 32;
    }
    return uint64_t{p[0]} | uint64_t{p[size / 2]} << 8 | uint64_t{p[size - 1]} << 16;
}

// A quick summary of a text for hashing: its size and its first and last eight bytes
// (fewer for a shorter text). Texts that differ only in between give the same word.
inline uint64_t ends_word(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    uint64_t word = size;
    if (size != 0) word ^= tail_word(p, size) * 0x9E3779B97F4A7C15ULL;
    if (size > 8) {
        uint64_t head;
        std::memcpy(&head, p, 8);
        word ^= head;
    }
    return word;
}

// Hashes `text` on top of `seed`; the length takes part, so texts that differ only in
// trailing zero bytes hash apart.
inline uint64_t text_hash(std::string_view text, uint64_t seed = 0) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    uint64_t h = hash_mix(seed ^ size);
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        h = hash_mix(h ^ word);
    }
    if (i < size) h = hash_mix(h ^ tail_word(p, size));
    return h;
}

}  // namespace log_parser
