#include "json_writer.hpp"

#include <array>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace log_parser::json {
namespace {

// For each byte: 0 when written as is, 'u' for the \u00XX form, else the letter after the
// backslash.
constexpr std::array<char, 256> make_escape_table() {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

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

// Length of the leading run of bytes that need no escape.
size_t plain_run(const unsigned char* p, size_t size) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control_max = _mm_set1_epi8(0x1F);
    for (; i + 16 <= size; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, control_max), control_max);
        const __m128i hits = _mm_or_si128(
            control, _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        const int mask = _mm_movemask_epi8(hits);
        if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (needs_escape(word)) break;
    }
    while (i < size && kEscape[p[i]] == 0) ++i;
    return i;
}

void write_escape(TextBuffer& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char kind = kEscape[byte];
    out.put('\\');
    if (kind != 'u') {
        out.put(kind);
        return;
    }
    out.put("u00", 3);
    out.put(kHex[byte >> 4]);
    out.put(kHex[byte & 0xF]);
}

}  // namespace

void write_string(TextBuffer& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t run = plain_run(p, size);
    if (run == size) {
        out.reserve_more(size + 2);
        out.put('"');
        out.put(text);
        out.put('"');
        return;
    }
    out.reserve_more(max_string_size(size));
    out.put('"');
    size_t i = 0;
    for (;;) {
        out.put(text.data() + i, run);
        i += run;
        if (i == size) break;
        write_escape(out, p[i++]);
        run = plain_run(p + i, size - i);
    }
    out.put('"');
}

void write_uint(TextBuffer& out, uint32_t value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.reserve_more(n);
    while (n > 0) out.put(digits[--n]);
}

}  // namespace log_parser::json
