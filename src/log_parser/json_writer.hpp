// Compact JSON text: strings with the minimal escape set (UTF-8 passes through) and
// unsigned decimal integers, appended into one TextBuffer. The common cases (a string
// with nothing to escape, a number) are inline, since they run for every value.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "text_buffer.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace log_parser::json {

namespace detail {

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

#ifdef __SSE2__
inline int escape_mask(const unsigned char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i control_max = _mm_set1_epi8(0x1F);
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, control_max), control_max);
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    return _mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash)));
}
#endif

// True when no byte needs an escape. Every load stays inside the text: the last word of a
// text overlaps the one before it instead of running past the end.
inline bool is_plain(const unsigned char* p, size_t size) {
#ifdef __SSE2__
    if (size >= 16) {
        int any = 0;
        for (size_t i = 0; i + 16 <= size; i += 16) any |= escape_mask(p + i);
        return (any | escape_mask(p + size - 16)) == 0;
    }
#endif
    if (size >= 8) {
        uint64_t any = 0;
        for (size_t i = 0; i + 8 <= size; i += 8) any |= needs_escape(load8(p + i));
        return (any | needs_escape(load8(p + size - 8))) == 0;
    }
    if (size >= 4) return (needs_escape4(load4(p)) | needs_escape4(load4(p + size - 4))) == 0;
    for (size_t i = 0; i < size; ++i) {
        if (p[i] < 0x20 || p[i] == '"' || p[i] == '\\') return false;
    }
    return true;
}

void write_escaped_string(TextBuffer& out, std::string_view text);

constexpr std::array<char, 200> make_digit_pairs() {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}
// "00" to "99" back to back: numbers are written two digits at a time.
inline constexpr std::array<char, 200> kDigitPairs = make_digit_pairs();

}  // namespace detail

// Writes `text` as a JSON string, quotes included.
inline void write_string(TextBuffer& out, std::string_view text) {
    if (!detail::is_plain(reinterpret_cast<const unsigned char*>(text.data()), text.size())) {
        detail::write_escaped_string(out, text);
        return;
    }
    out.reserve_more(text.size() + 2);
    out.put('"');
    out.put(text);
    out.put('"');
}

// Writes a decimal integer without sign, leading zeros, fraction or exponent.
inline void write_uint(TextBuffer& out, uint32_t value) {
    char digits[10];
    char* end = digits + sizeof digits;
    char* p = end;
    while (value >= 100) {
        p -= 2;
        std::memcpy(p, detail::kDigitPairs.data() + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        p -= 2;
        std::memcpy(p, detail::kDigitPairs.data() + 2 * value, 2);
    } else {
        *--p = static_cast<char>('0' + value);
    }
    out.append({p, static_cast<size_t>(end - p)});
}

// Upper bound of the bytes write_string can produce for `size` bytes of text.
inline size_t max_string_size(size_t size) {
    return 2 + 6 * size;
}

}  // namespace log_parser::json
