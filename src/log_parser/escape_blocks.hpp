// 16-byte blocks of a JSON string written by byte shuffles, one per 8-byte half, instead
// of byte by byte: a block with several bytes to escape, each of which takes a two-byte
// escape (\" \\ \b \t \n \f \r), is spread out; a block of UTF-8 text whose characters lie
// below U+0100 is narrowed to Latin-1 (one byte a character). Needs SSSE3, so the caller
// asks for it at run time. Defined here, inline, so that the escaping loop's SSSE3 version
// takes them into its body instead of calling them block by block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#ifdef __SSE2__
#include <tmmintrin.h>

#include "../pb/cpu.hpp"
#include "../pb/plain_text.hpp"

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

// For each pattern of escaped bytes in an 8-byte half: where each written byte comes
// from (an escaped byte twice: once for the backslash, once for its letter), which of
// the written bytes are backslashes, and how many bytes are written.
struct Expansions {
    alignas(16) uint8_t sources[256][16];
    alignas(16) uint8_t backslashes[256][16];
    uint8_t sizes[256];
};

constexpr Expansions make_expansions() {
    Expansions e{};
    for (unsigned pattern = 0; pattern < 256; ++pattern) {
        unsigned at = 0;
        for (uint8_t byte = 0; byte < 8; ++byte) {
            if (pattern >> byte & 1) {
                e.backslashes[pattern][at] = 0xFF;
                e.sources[pattern][at++] = byte;
            }
            e.sources[pattern][at++] = byte;
        }
        e.sizes[pattern] = static_cast<uint8_t>(at);
        for (; at < 16; ++at) e.sources[pattern][at] = 0x80;  // a zero byte, never kept
    }
    return e;
}

inline constexpr Expansions kExpansions = make_expansions();

// For each pattern of lead bytes in an 8-byte half: where each kept byte comes from (the
// leads are left out), and how many bytes are kept.
struct Narrowings {
    alignas(16) uint8_t sources[256][16];
    uint8_t sizes[256];
};

constexpr Narrowings make_narrowings() {
    Narrowings n{};
    for (unsigned pattern = 0; pattern < 256; ++pattern) {
        unsigned at = 0;
        for (uint8_t byte = 0; byte < 8; ++byte) {
            if ((pattern >> byte & 1) == 0) n.sources[pattern][at++] = byte;
        }
        n.sizes[pattern] = static_cast<uint8_t>(at);
        for (; at < 16; ++at) n.sources[pattern][at] = 0x80;
    }
    return n;
}

inline constexpr Narrowings kNarrowings = make_narrowings();

// The letter after the backslash for the control characters with a short escape, by
// their value (0 for the others, which need \u00XX).
alignas(16) inline constexpr uint8_t kLetters[16] = {0,   0,   0,   0, 0,   0,   0, 0,
                                                     'b', 't', 'n', 0, 'f', 'r', 0, 0};

MORVEX_SSSE3 inline __m128i load(const uint8_t* table) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(table));
}

// Bytes of at most `max` (unsigned).
MORVEX_SSSE3 inline __m128i at_most(__m128i v, char max) {
    const __m128i limit = _mm_set1_epi8(max);
    return _mm_cmpeq_epi8(_mm_max_epu8(v, limit), limit);
}

MORVEX_SSSE3 inline __m128i select(__m128i mask, __m128i if_set, __m128i otherwise) {
    return _mm_or_si128(_mm_and_si128(mask, if_set), _mm_andnot_si128(mask, otherwise));
}

// The low eight bytes of `half`, escaped, stored at `out` (16 bytes stored).
MORVEX_SSSE3 inline size_t write_half(char* out, __m128i half, unsigned pattern) {
    const __m128i spread = _mm_shuffle_epi8(half, load(kExpansions.sources[pattern]));
    const __m128i letters = _mm_shuffle_epi8(load(kLetters), spread);
    __m128i written = select(at_most(spread, 0x1F), letters, spread);
    written = select(load(kExpansions.backslashes[pattern]), _mm_set1_epi8('\\'), written);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), written);
    return kExpansions.sizes[pattern];
}

// The bytes of the low half of `half` that `pattern` does not mark, stored at `out`.
MORVEX_SSSE3 inline size_t write_kept(char* out, __m128i half, unsigned pattern) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi8(half, load(kNarrowings.sources[pattern])));
    return kNarrowings.sizes[pattern];
}

// Whether a byte among `lanes` of `block` needs the \u00XX form.
MORVEX_SSSE3 inline bool needs_long_escape(__m128i block, unsigned lanes) {
    const __m128i named = _mm_andnot_si128(
        _mm_cmpeq_epi8(_mm_shuffle_epi8(load(kLetters), block), _mm_setzero_si128()),
        at_most(block, 0x0F));
    return (_mm_movemask_epi8(_mm_andnot_si128(named, at_most(block, 0x1F))) & lanes) != 0;
}

// The bytes of `block` escaped, each lane that `special` marks in its two-byte form, at
// `out`; 0, with nothing written, when a byte among `lanes` needs the \u00XX form.
MORVEX_SSSE3 inline size_t write_escaped_lanes(char* out, __m128i block, unsigned special,
                                               unsigned lanes) {
    if (needs_long_escape(block, lanes)) return 0;
    const size_t low = write_half(out, block, special & 0xFF);
    return low + write_half(out + low, _mm_srli_si128(block, 8), special >> 8);
}

// The first `count` bytes of `half` escaped at `out` (16 bytes stored); 0, with nothing
// written, when one of them needs the \u00XX form.
MORVEX_SSSE3 inline size_t write_escaped_half(char* out, __m128i half, unsigned count) {
    const unsigned lanes = (1u << count) - 1;
    if (needs_long_escape(half, lanes)) return 0;
    const unsigned special = static_cast<unsigned>(pb::plain_text::escape_mask(half)) & lanes;
    write_half(out, half, special);
    return count + kExpansions.sizes[special] - 8;  // a size counts all eight bytes
}

// Below U+0100 a character takes one byte, or a lead C2 or C3 and one more: the character
// is that byte (after C2) or that byte plus 0x40 (after C3). Gives each byte with that
// added, and in `leads` a bit for each lead, whose lane is to be dropped.
MORVEX_SSSE3 inline __m128i latin1_characters(__m128i block, unsigned& leads) {
    leads = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(block, _mm_set1_epi8(char(0xC0))), block)));
    const __m128i after_c3 = _mm_slli_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(char(0xC3))), 1);
    return _mm_add_epi8(block, _mm_and_si128(after_c3, _mm_set1_epi8(0x40)));
}

// The characters of the lanes of `block` that `lanes` marks (the first ones), UTF-8 text
// below U+0100 that starts at a character, written in Latin-1 and escaped at `out`: each
// half narrowed in a register, then escaped. Returns the bytes written, or 0 when a
// character needs the \u00XX form; `leads` gets a bit for each lead byte. Up to 32 bytes
// are stored.
MORVEX_SSSE3 inline size_t write_latin1_lanes(char* out, __m128i block, unsigned lanes,
                                              unsigned& leads) {
    const __m128i characters = latin1_characters(block, leads);
    const unsigned left_out = leads | (~lanes & 0xFFFF);
    size_t written = 0;
    for (const unsigned half : {0u, 1u}) {
        const unsigned pattern = left_out >> (8 * half) & 0xFF;
        const unsigned count = kNarrowings.sizes[pattern];
        if (count == 0) continue;
        const __m128i from = half == 0 ? characters : _mm_srli_si128(characters, 8);
        const size_t n = write_escaped_half(
            out + written, _mm_shuffle_epi8(from, load(kNarrowings.sources[pattern])), count);
        if (n == 0) return 0;
        written += n;
    }
    return written;
}

// Writes the characters of `block`, UTF-8 text with nothing to escape whose characters all
// lie below U+0100 and which starts at a character, at `out` in Latin-1, and returns how
// many bytes of the block it consumed (the whole block, or all but a last byte that leads
// a character the next block ends) and, in `written`, how many it wrote. 16 bytes are
// stored. Only for processors with SSSE3.
MORVEX_SSSE3 inline size_t write_latin1_block(char* out, __m128i block, size_t& written) {
    unsigned dropped;
    const __m128i characters = latin1_characters(block, dropped);
    const size_t low = write_kept(out, characters, dropped & 0xFF);
    written = low + write_kept(out + low, _mm_srli_si128(characters, 8), dropped >> 8);
    // A lead in the last byte is left for the next block, with the byte it leads.
    return (dropped & 0x8000) != 0 ? 15 : 16;
}

// The same for a block that also holds bytes to escape, escaped as write_short_escapes
// does: returns the bytes written and, in `consumed`, the bytes of the block consumed; or
// writes nothing and returns 0 when a character needs the six-byte \u00XX form. Up to 32
// bytes are stored. Only for processors with SSSE3.
MORVEX_SSSE3 inline size_t write_latin1_escaped_block(char* out, __m128i block, size_t& consumed) {
    unsigned dropped;
    const size_t written = write_latin1_lanes(out, block, 0xFFFF, dropped);
    if (written == 0) return 0;
    consumed = (dropped & 0x8000) != 0 ? 15 : 16;
    return written;
}

// Writes `block` escaped at `out` and returns the bytes written, or writes nothing and
// returns 0 when a byte of the block needs the six-byte \u00XX form. `special` has a bit
// for each byte to escape; bytes from 0x80 on are written as they are. Up to 32 bytes are
// stored, some past the end of what is returned. Only for processors with SSSE3.
MORVEX_SSSE3 inline size_t write_short_escapes(char* out, __m128i block, unsigned special) {
    return write_escaped_lanes(out, block, special, 0xFFFF);
}

// Writes the last `rest` (1 to 15) bytes of a text of 16 bytes or more, which ends at
// `end`, escaped at `out` (with `latin1`, narrowed as write_latin1_block does) and returns
// the bytes written, or writes nothing and returns 0 when a character needs the six-byte
// \u00XX form. Up to 32 bytes are stored. Only for processors with SSSE3.
MORVEX_SSSE3 inline size_t write_tail(char* out, const unsigned char* end, unsigned rest,
                                      bool latin1) {
    // The last 16 bytes, moved down so that the rest's bytes come first and zeros follow.
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
    const __m128i block = moved_down(last, 16 - rest);
    const unsigned lanes = (1u << rest) - 1;
    if (latin1 && (_mm_movemask_epi8(block) & lanes) != 0) {
        unsigned leads;
        return write_latin1_lanes(out, block, lanes, leads);
    }
    const unsigned special = static_cast<unsigned>(pb::plain_text::escape_mask(block)) & lanes;
    const size_t written = write_escaped_lanes(out, block, special, lanes);
    return written == 0 ? 0 : written - (16 - rest);  // the zeros after the rest are not kept
}

}  // namespace log_parser::json::detail

#endif
