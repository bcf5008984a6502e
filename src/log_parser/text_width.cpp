#include "text_width.hpp"

#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace log_parser {
namespace {

// Largest byte value in the text. In valid UTF-8 a byte of 0xC4 or more leads a character
// of U+0100 or above, and a byte of 0x80 or more belongs to a non-ASCII character.
uint8_t max_byte(const uint8_t* p, size_t size) {
    size_t i = 0;
    uint8_t result = 0;
#ifdef __SSE2__
    __m128i acc = _mm_setzero_si128();
    for (; i + 16 <= size; i += 16) {
        acc = _mm_max_epu8(acc, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    }
    alignas(16) uint8_t lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
    for (uint8_t lane : lanes) result = lane > result ? lane : result;
#endif
    for (; i < size; ++i) result = p[i] > result ? p[i] : result;
    return result;
}

// Writes one character read at `r` (an ASCII byte or a two-byte sequence) to `w`.
inline void narrow_one(uint8_t* data, size_t& r, size_t& w) {
    const uint8_t lead = data[r];
    if (lead < 0x80) {
        data[w++] = lead;
        r += 1;
        return;
    }
    data[w++] = static_cast<uint8_t>((lead & 0x1F) << 6 | (data[r + 1] & 0x3F));
    r += 2;
}

}  // namespace

TextWidth measure_width(const char* data, size_t size) {
    const uint8_t widest = max_byte(reinterpret_cast<const uint8_t*>(data), size);
    if (widest < 0x80) return TextWidth::Ascii;
    return widest < 0xC4 ? TextWidth::Latin1 : TextWidth::Wide;
}

size_t narrow_to_latin1(char* text, size_t size) {
    auto* data = reinterpret_cast<uint8_t*>(text);
    size_t r = 0;
    size_t w = 0;
#ifdef __SSE2__
    // Sixteen ASCII bytes move as one block; the write position never passes the read
    // position, so a block store only overwrites bytes already read.
    while (r + 16 <= size) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + r));
        if (_mm_movemask_epi8(block) == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(data + w), block);
            r += 16;
            w += 16;
            continue;
        }
        const size_t block_end = r + 16;
        while (r < block_end) narrow_one(data, r, w);
    }
#endif
    while (r < size) narrow_one(data, r, w);
    return w;
}

}  // namespace log_parser
