// Texts that a JSON string carries as they are: no control character, double quote or
// backslash. The decoder notes which content values are plain ASCII in this sense while it
// checks them, so that the JSON writer copies those without scanning them again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pb::plain_text {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// Nonzero when any of the eight bytes is below 0x20, a double quote or a backslash.
inline uint64_t needs_escape(uint64_t word) {
    const uint64_t control = (word - kOnes * 0x20) & ~word;
    const uint64_t quote = word ^ (kOnes * '"');
    const uint64_t backslash = word ^ (kOnes * '\\');
    const uint64_t quote_hit = (quote - kOnes) & ~quote;
    const uint64_t backslash_hit = (backslash - kOnes) & ~backslash;
    return (control | quote_hit | backslash_hit) & kHighs;
}

// The same test for four bytes; the upper half is filled with spaces, which need none.
inline uint64_t needs_escape4(uint32_t word) {
    return needs_escape(uint64_t{word} | uint64_t{0x2020202000000000});
}

inline uint64_t load8(const unsigned char* p) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

inline uint32_t load4(const unsigned char* p) {
    uint32_t word;
    std::memcpy(&word, p, 4);
    return word;
}

// Whether a text of fewer than sixteen bytes, inside a buffer that ends at `end`, may be
// read sixteen bytes wide without leaving the buffer. `text` must point into the buffer
// (an empty text may have no data pointer at all: callers that meet such test it first).
inline bool readable_wide(const void* text, size_t size, const void* end) {
    return size < 16 && static_cast<const char*>(end) - static_cast<const char*>(text) >= 16;
}

#ifdef __SSE2__
inline int escape_mask(__m128i v) {
    const __m128i control_max = _mm_set1_epi8(0x1F);
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, control_max), control_max);
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    return _mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash)));
}

inline int escape_mask(const unsigned char* p) {
    return escape_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Lanes of the bytes that a plain ASCII text may hold: one signed comparison rules out both
// the control characters (below 0x20) and the bytes from 0x80 on (negative).
inline __m128i plain_ascii_lanes(__m128i v) {
    const __m128i printable = _mm_cmpgt_epi8(v, _mm_set1_epi8(0x1F));
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    return _mm_andnot_si128(_mm_or_si128(quote, backslash), printable);
}

inline __m128i plain_ascii_lanes(const unsigned char* p) {
    return plain_ascii_lanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

inline constexpr int kAllLanes = 0xFFFF;

// Sixteen bytes or more: 32 at a time with one test, then the rest by the last 16 bytes
// (and the 16 before them when more than 16 are left).
inline bool is_plain_ascii_long(const unsigned char* p, size_t size) {
    size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        const __m128i both = _mm_and_si128(plain_ascii_lanes(p + i), plain_ascii_lanes(p + i + 16));
        if (_mm_movemask_epi8(both) != kAllLanes) return false;  // stop early when not plain
    }
    __m128i rest = plain_ascii_lanes(p + size - 16);
    if (size - i > 16) rest = _mm_and_si128(rest, plain_ascii_lanes(p + i));
    return _mm_movemask_epi8(rest) == kAllLanes;
}

// Tests for a text of fewer than sixteen bytes that the caller knows to be followed by
// enough bytes of its buffer to read sixteen: one load covers it, and the bits of the
// bytes past its end are dropped.
inline int short_text_bits(size_t size) {
    return (1 << size) - 1;
}

inline bool is_plain_ascii_readable(const unsigned char* p, size_t size) {
    return (~_mm_movemask_epi8(plain_ascii_lanes(p)) & short_text_bits(size)) == 0;
}

inline bool is_ascii_readable(const unsigned char* p, size_t size) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return (_mm_movemask_epi8(v) & short_text_bits(size)) == 0;
}
#endif

// True when no byte is a control character, double quote or backslash, and, with
// kAsciiOnly, every byte is below 0x80. Every load stays inside the text: the last word of
// a text overlaps the one before it instead of running past the end.
template <bool kAsciiOnly = false>
inline bool is_plain(const unsigned char* p, size_t size) {
#ifdef __SSE2__
    if (kAsciiOnly && size >= 16) return is_plain_ascii_long(p, size);
    if (size >= 16) {
        for (size_t i = 0; i + 16 <= size; i += 16) {
            if (escape_mask(p + i) != 0) return false;  // long texts that are not plain stop early
        }
        return escape_mask(p + size - 16) == 0;
    }
    if (size >= 8) {
        // Eight to fifteen bytes: the first eight and the last eight in one register.
        const __m128i v = _mm_set_epi64x(static_cast<long long>(load8(p + size - 8)),
                                         static_cast<long long>(load8(p)));
        if constexpr (kAsciiOnly) return _mm_movemask_epi8(plain_ascii_lanes(v)) == kAllLanes;
        return escape_mask(v) == 0;
    }
#endif
    const uint64_t high = kAsciiOnly ? kHighs : 0;
    if (size >= 8) {
        uint64_t any = 0;
        for (size_t i = 0; i + 8 <= size; i += 8) {
            const uint64_t word = load8(p + i);
            any |= needs_escape(word) | (word & high);
        }
        const uint64_t last = load8(p + size - 8);
        return (any | needs_escape(last) | (last & high)) == 0;
    }
    if (size >= 4) {
        // Four to seven bytes: the first four and the last four, tested as one word.
        const uint64_t word = uint64_t{load4(p)} | uint64_t{load4(p + size - 4)} << 32;
        return (needs_escape(word) | (word & high)) == 0;
    }
    if (size == 0) return true;
    // One to three bytes: the first, middle and last byte cover them all.
    const uint32_t word = uint32_t{p[0]} | uint32_t{p[size / 2]} << 8 |
                          uint32_t{p[size - 1]} << 16 | uint32_t{' '} << 24;
    return (needs_escape4(word) | (word & high)) == 0;
}

// Plain ASCII (no escape needed, every byte below 0x80) for a text inside a buffer that ends
// at `end`: one of fewer than sixteen bytes is tested in one load where the buffer goes on
// for sixteen bytes from its start. `data` must point into the buffer.
inline bool is_plain_ascii_within(const unsigned char* data, size_t size, const void* end) {
#ifdef __SSE2__
    if (readable_wide(data, size, end)) return is_plain_ascii_readable(data, size);
#endif
    return is_plain<true>(data, size);
}

}  // namespace pb::plain_text
