#include "latin1.hpp"

#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace log_parser {
namespace {

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
