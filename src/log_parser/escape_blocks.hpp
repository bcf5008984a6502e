// 16-byte blocks of a JSON string written by byte shuffles, one per 8-byte half, instead
// of byte by byte: a block with several bytes to escape, each of which takes a two-byte
// escape (\" \\ \b \t \n \f \r), is spread out; a block of UTF-8 text whose characters lie
// below U+0100 is narrowed to Latin-1 (one byte a character). Needs SSSE3, so the caller
// asks for it at run time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#ifdef __SSE2__
#include <tmmintrin.h>

#include "../pb/cpu.hpp"

namespace log_parser::json::detail {

// Byte shuffles that move a block's bytes down by 0 to 15 places, zeros coming in at the
// top.
struct Shifts {
    alignas(16) std::array<std::array<uint8_t, 16>, 16> down;
};

constexpr Shifts make_shifts() {
    Shifts t{};
    for (unsigned by = 0; by < 16; ++by) {
        for (unsigned lane = 0; lane < 16; ++lane) {
            t.down[by][lane] = static_cast<uint8_t>(lane + by < 16 ? lane + by : 0x80);
        }
    }
    return t;
}

inline constexpr Shifts kShifts = make_shifts();

// `block` moved down by `by` (0 to 15) bytes, zeros coming in at the top.
MORVEX_SSSE3 inline __m128i moved_down(__m128i block, size_t by) {
    return _mm_shuffle_epi8(
        block, _mm_load_si128(reinterpret_cast<const __m128i*>(kShifts.down[by].data())));
}

// Writes `block` escaped at `out` and returns the bytes written, or writes nothing and
// returns 0 when a byte of the block needs the six-byte \u00XX form. `special` has a bit
// for each byte to escape; bytes from 0x80 on are written as they are. Up to 32 bytes are
// stored, some past the end of what is returned. Only for processors with SSSE3.
size_t write_short_escapes(char* out, __m128i block, unsigned special);

// Writes the characters of `block`, UTF-8 text with nothing to escape whose characters all
// lie below U+0100 and which starts at a character, at `out` in Latin-1, and returns how
// many bytes of the block it consumed (the whole block, or all but a last byte that leads
// a character the next block ends) and, in `written`, how many it wrote. 16 bytes are
// stored. Only for processors with SSSE3.
size_t write_latin1_block(char* out, __m128i block, size_t& written);

// The same for a block that also holds bytes to escape, escaped as write_short_escapes
// does: returns the bytes written and, in `consumed`, the bytes of the block consumed; or
// writes nothing and returns 0 when a character needs the six-byte \u00XX form. Up to 32
// bytes are stored. Only for processors with SSSE3.
size_t write_latin1_escaped_block(char* out, __m128i block, size_t& consumed);

// Writes the last `rest` (1 to 15) bytes of a text of 16 bytes or more, which ends at
// `end`, escaped at `out` (with `latin1`, narrowed as write_latin1_block does) and returns
// the bytes written, or writes nothing and returns 0 when a character needs the six-byte
// \u00XX form. Up to 32 bytes are stored. Only for processors with SSSE3.
size_t write_tail(char* out, const unsigned char* end, unsigned rest, bool latin1);

}  // namespace log_parser::json::detail

#endif
