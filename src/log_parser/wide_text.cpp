#include "wide_text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../pb/cpu.hpp"
#include "../pb/utf8.hpp"

#ifdef __SSE2__
#include <tmmintrin.h>
#endif

namespace log_parser {
namespace {

// The character whose UTF-8 form is the `length` bytes at `p`.
uint32_t decode_point(const unsigned char* p, size_t length) {
    uint32_t point = length == 1 ? p[0] : p[0] & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) point = point << 6 | (p[k] & 0x3F);
    return point;
}

// Leads of two- and three-byte characters, and the character of such a sequence given the
// end of its bytes.
inline bool leads_two(unsigned char byte) {
    return (byte & 0xE0) == 0xC0;
}

inline bool leads_three(unsigned char byte) {
    return (byte & 0xF0) == 0xE0;
}

inline uint32_t two_byte_point(const unsigned char* end) {
    return (end[-2] & 0x1Fu) << 6 | (end[-1] & 0x3Fu);
}

inline uint32_t three_byte_point(const unsigned char* end) {
    return (end[-3] & 0x0Fu) << 12 | (end[-2] & 0x3Fu) << 6 | (end[-1] & 0x3Fu);
}

template <class Unit>
void put_unit(unsigned char* units, size_t index, uint32_t point) {
    const auto unit = static_cast<Unit>(point);
    std::memcpy(units + sizeof(Unit) * index, &unit, sizeof(Unit));
}

#ifdef __SSE2__
__m128i load16(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

void store16(unsigned char* p, __m128i value) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), value);
}

// Sixteen ASCII bytes as sixteen units at `to`.
template <class Unit>
void put_ascii16(unsigned char* to, __m128i block) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(block, zero);
    const __m128i high = _mm_unpackhi_epi8(block, zero);
    if constexpr (sizeof(Unit) == 2) {
        store16(to, low);
        store16(to + 16, high);
    } else {
        store16(to, _mm_unpacklo_epi16(low, zero));
        store16(to + 16, _mm_unpackhi_epi16(low, zero));
        store16(to + 32, _mm_unpacklo_epi16(high, zero));
        store16(to + 48, _mm_unpackhi_epi16(high, zero));
    }
}

// The number of continuation bytes among the 64 at `p`; `widest` keeps the largest byte
// of each lane.
size_t continuations64(const unsigned char* p, __m128i& widest) {
    const __m128i top_two = _mm_set1_epi8(char(0xC0));
    const __m128i marker = _mm_set1_epi8(char(0x80));
    __m128i counters = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 16) {
        const __m128i block = load16(p + i);
        widest = _mm_max_epu8(widest, block);
        counters = _mm_sub_epi8(counters, _mm_cmpeq_epi8(_mm_and_si128(block, top_two), marker));
    }
    const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
    return static_cast<size_t>(_mm_cvtsi128_si32(sums) +
                               _mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}

// Whether the last twelve bytes of `block` are four characters of three UTF-8 bytes each,
// as most Chinese, Japanese and Korean text is: a lead byte 1110xxxx every third byte,
// continuations 10xxxxxx between.
inline bool ends_in_four_three_byte_characters(__m128i block) {
    const __m128i kind_bits = _mm_setr_epi8(
        0, 0, 0, 0, char(0xF0), char(0xC0), char(0xC0), char(0xF0), char(0xC0), char(0xC0),
        char(0xF0), char(0xC0), char(0xC0), char(0xF0), char(0xC0), char(0xC0));
    const __m128i kinds = _mm_setr_epi8(0, 0, 0, 0, char(0xE0), char(0x80), char(0x80), char(0xE0),
                                        char(0x80), char(0x80), char(0xE0), char(0x80), char(0x80),
                                        char(0xE0), char(0x80), char(0x80));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(block, kind_bits), kinds)) == 0xFFFF;
}

// Stores the units of the four three-byte characters that end `block` at `to` (UTF-16
// units, or UCS-4 ones). Needs SSSE3.
MORVEX_SSSE3 inline void put_four_three_byte_characters(__m128i block, unsigned char* to,
                                                        bool utf16) {
    // Each character's bytes, last first, in a 32-bit lane: third | second << 8 | lead << 16.
    const __m128i gathered = _mm_shuffle_epi8(
        block, _mm_setr_epi8(6, 5, 4, -1, 9, 8, 7, -1, 12, 11, 10, -1, 15, 14, 13, -1));
    const __m128i third = _mm_and_si128(gathered, _mm_set1_epi32(0x3F));
    const __m128i second = _mm_srli_epi32(_mm_and_si128(gathered, _mm_set1_epi32(0x3F00)), 2);
    const __m128i lead = _mm_srli_epi32(_mm_and_si128(gathered, _mm_set1_epi32(0x0F0000)), 4);
    const __m128i units = _mm_or_si128(third, _mm_or_si128(second, lead));
    if (utf16) {
        const __m128i low_halves =
            _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_shuffle_epi8(units, low_halves));
    } else {
        store16(to, units);
    }
}

// Whether every byte of `block` lies below 0xE0: ASCII, and leads and continuations of
// two-byte characters (valid text holds no other).
inline bool one_and_two_byte_bytes(__m128i block) {
    const __m128i last_two_byte_lead = _mm_set1_epi8(char(0xDF));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(block, last_two_byte_lead),
                                            last_two_byte_lead)) == 0xFFFF;
}

// For each set of kept 16-bit lanes (a bit each), the byte shuffle that moves those lanes,
// in order, to the top of a register; the lanes below them become zero.
constexpr std::array<std::array<unsigned char, 16>, 256> make_lane_packing() {
    std::array<std::array<unsigned char, 16>, 256> shuffles{};
    for (unsigned kept = 0; kept < 256; ++kept) {
        std::array<unsigned char, 16>& shuffle = shuffles[kept];
        shuffle.fill(0x80);
        int lane = 8 - std::popcount(kept);
        for (int source = 0; source < 8; ++source) {
            if ((kept >> source & 1) == 0) continue;
            shuffle[2 * lane] = static_cast<unsigned char>(2 * source);
            shuffle[2 * lane + 1] = static_cast<unsigned char>(2 * source + 1);
            ++lane;
        }
    }
    return shuffles;
}
constexpr std::array<std::array<unsigned char, 16>, 256> kLanePacking = make_lane_packing();

constexpr std::array<uint8_t, 256> make_lane_counts() {
    std::array<uint8_t, 256> counts{};
    for (unsigned kept = 0; kept < 256; ++kept) counts[kept] = std::popcount(kept);
    return counts;
}
// The number of set bits of each byte: a processor with byte shuffles may lack an
// instruction for it.
constexpr std::array<uint8_t, 256> kLaneCounts = make_lane_counts();

// In each 16-bit lane a byte (low half) and the byte before it (high half), the unit of
// the character that the byte ends: an ASCII byte is its own, a continuation makes one
// with the five low bits of its lead. (Lanes of lead bytes get values never used.)
inline __m128i units_of_pairs(__m128i pairs) {
    const __m128i two =
        _mm_or_si128(_mm_and_si128(_mm_srli_epi16(pairs, 2), _mm_set1_epi16(0x07C0)),
                     _mm_and_si128(pairs, _mm_set1_epi16(0x3F)));
    const __m128i one = _mm_and_si128(pairs, _mm_set1_epi16(0xFF));
    const __m128i is_two = _mm_srai_epi16(_mm_slli_epi16(pairs, 8), 15);
    return _mm_or_si128(_mm_and_si128(is_two, two), _mm_andnot_si128(is_two, one));
}

// Stores the eight 16-bit lanes of `packed` as units ending at `end`.
template <class Unit>
void put_packed_units(unsigned char* end, __m128i packed) {
    if constexpr (sizeof(Unit) == 2) {
        store16(end - 16, packed);
    } else {
        const __m128i zero = _mm_setzero_si128();
        store16(end - 32, _mm_unpacklo_epi16(packed, zero));
        store16(end - 16, _mm_unpackhi_epi16(packed, zero));
    }
}

// Where a rewrite from the back has got to: the bytes before `from` are still to be read,
// and become the units before `to`. (Passed by value: a place whose address is taken would
// be kept in memory throughout the caller's loop.)
struct Progress {
    size_t from;
    size_t to;
};

// Rewrites blocks of ASCII and two-byte characters as units (UTF-16 or UCS-4), from the
// back, as long as they come: from the block of the sixteen bytes before `at.from` on,
// which ends a character; returns where it got to. Each byte becomes a unit, computed with
// the byte before it (read by a second load, which also serves a character split across
// the block's start), and the units of the bytes that end characters are packed by lane
// shuffles, eight bytes at a time; each of the two stores also writes units below its
// own, which are written over later. So every block takes sixteen bytes, and the next
// block's loads need not wait for this one's count; a lead byte left at the end of the
// bytes before is skipped on the way out, as its character is written. A block that is
// not all ASCII is left alone when its stores would reach bytes still to be read (an ASCII
// block's units start no earlier than its bytes, as the caller guarantees for every
// character). At least seventeen bytes must be left, for the second load. Needs SSSE3.
template <class Unit>
[[gnu::noinline]] MORVEX_SSSE3 Progress put_one_and_two_byte_blocks(unsigned char* bytes,
                                                                    Progress at,
                                                                    unsigned char* units) {
    size_t from = at.from;
    size_t to = at.to;
    bool lead_left = false;  // the byte before `from` leads a character already written
    while (from >= 17 && to >= 16) {
        const __m128i block = load16(bytes + from - 16);
        unsigned char* const end = units + sizeof(Unit) * to;
        const int high_bits = _mm_movemask_epi8(block);
        if (high_bits == 0) {
            put_ascii16<Unit>(end - 16 * sizeof(Unit), block);
            from -= 16;
            to -= 16;
            lead_left = false;
            continue;
        }
        if (!one_and_two_byte_bytes(block)) break;
        // Every continuation must follow the lead of a two-byte character: the first ones
        // of a block may end a wider character begun before it.
        const __m128i before = load16(bytes + from - 17);
        const __m128i top_two = _mm_set1_epi8(char(0xC0));
        const __m128i top_three = _mm_set1_epi8(char(0xE0));
        const int leads = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(block, top_two), top_two));
        const int continuations = high_bits & ~leads;
        const int after_two_byte_leads =
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(before, top_three), top_two));
        if ((continuations & ~after_two_byte_leads) != 0) break;
        const unsigned kept = ~static_cast<unsigned>(leads) & 0xFFFF;
        const size_t low_units = kLaneCounts[kept & 0xFF];
        const size_t high_units = kLaneCounts[kept >> 8];
        if (end - sizeof(Unit) * (high_units + 8) < bytes + from - 16) break;
        const __m128i high = units_of_pairs(_mm_unpackhi_epi8(block, before));
        const __m128i low = units_of_pairs(_mm_unpacklo_epi8(block, before));
        put_packed_units<Unit>(end, _mm_shuffle_epi8(high, load16(kLanePacking[kept >> 8].data())));
        put_packed_units<Unit>(end - sizeof(Unit) * high_units,
                               _mm_shuffle_epi8(low, load16(kLanePacking[kept & 0xFF].data())));
        from -= 16;
        to -= low_units + high_units;
        lead_left = (continuations & 1) != 0;
    }
    if (lead_left) --from;
    return {from, to};
}
#endif

// Rewrites the `size` UTF-8 bytes at `bytes` as `count` units at `units`, from the back.
// The caller guarantees that each character's unit starts no earlier than the character's
// first UTF-8 byte, so every character is read before its place is written.
template <class Unit, bool kShuffles>
[[gnu::always_inline]] inline void transcode_backwards_body(unsigned char* bytes, size_t size,
                                                            unsigned char* units, size_t count) {
    size_t from = size;  // the UTF-8 bytes before `from` are still to be read
    size_t to = count;   // and become the units before `to`
    // The text is valid UTF-8 and `from` always ends a character, so a lead byte of a two-
    // or three-byte character, two or three bytes back, starts the character that ends
    // there; other characters are found by stepping back over their continuations.
    auto one_character = [&] {
        const unsigned char* end = bytes + from;
        uint32_t point;
        size_t length;
        if (end[-1] < 0x80) {
            point = end[-1];
            length = 1;
        } else if (from >= 3 && leads_three(end[-3])) {
            point = three_byte_point(end);
            length = 3;
        } else if (from >= 2 && leads_two(end[-2])) {
            point = two_byte_point(end);
            length = 2;
        } else {
            size_t start = from - 1;
            while (start > 0 && pb::utf8::is_continuation(bytes[start]) && from - start < 4) {
                --start;
            }
            length = from - start;
            point = decode_point(bytes + start, length);
        }
        from -= length;
        put_unit<Unit>(units, --to, point);
    };
#ifdef __SSE2__
    constexpr bool shuffles = kShuffles;
    while (from >= 16 && to >= 16) {
        const __m128i block = load16(bytes + from - 16);
        const int high = _mm_movemask_epi8(block);
        if (high == 0) {
            put_ascii16<Unit>(units + sizeof(Unit) * (to - 16), block);
            from -= 16;
            to -= 16;
            continue;
        }
        if (shuffles && (high & 0xFFF0) == 0xFFF0 && ends_in_four_three_byte_characters(block)) {
            put_four_three_byte_characters(block, units + sizeof(Unit) * (to - 4),
                                           sizeof(Unit) == 2);
            from -= 12;
            to -= 4;
            continue;
        }
        // The ASCII bytes after the block's last non-ASCII one, then its character. A long
        // tail is written with the whole block's units where they land clear of the bytes
        // still to be read; the units before the tail are written over later.
        const int ascii_tail = std::countl_zero(static_cast<uint16_t>(high));
        if (ascii_tail >= 4 && units + sizeof(Unit) * (to - 16) >= bytes + from) {
            put_ascii16<Unit>(units + sizeof(Unit) * (to - 16), block);
            to -= ascii_tail;
            from -= ascii_tail;
        } else {
            for (int k = 0; k < ascii_tail; ++k) put_unit<Unit>(units, --to, bytes[--from]);
        }
        one_character();
        // Two-byte characters (Cyrillic, Greek, Arabic, Hebrew) come in runs, mixed with
        // ASCII: when the next character to write is one, the rest of the run a block at a
        // time (with SSSE3), then one character at a time where a block holds a wider one,
        // without going round the loop. Text of other scripts never gets this far.
        if (shuffles && from >= 2 && leads_two(bytes[from - 2])) {
            const Progress at = put_one_and_two_byte_blocks<Unit>(bytes, {from, to}, units);
            from = at.from;
            to = at.to;
        }
        while (from >= 2 && leads_two(bytes[from - 2])) {
            put_unit<Unit>(units, --to, two_byte_point(bytes + from));
            from -= 2;
        }
    }
#endif
    while (from > 0 && to > 0) one_character();
}

#ifdef __SSE2__
// The loop compiled for SSSE3 as a whole, so that the shuffling helpers are part of it.
template <class Unit>
[[gnu::noinline]] MORVEX_SSSE3 void transcode_backwards_with_shuffles(unsigned char* bytes,
                                                                      size_t size,
                                                                      unsigned char* units,
                                                                      size_t count) {
    transcode_backwards_body<Unit, true>(bytes, size, units, count);
}
#endif

template <class Unit>
void transcode_backwards(unsigned char* bytes, size_t size, unsigned char* units, size_t count) {
#ifdef __SSE2__
    if (pb::has_ssse3()) return transcode_backwards_with_shuffles<Unit>(bytes, size, units, count);
#endif
    transcode_backwards_body<Unit, false>(bytes, size, units, count);
}

}  // namespace

// A character starting at byte k has k - c bytes of characters before it, c of them
// continuations; at `offset` + 2 (k - c) its UTF-16 unit lies clear of the bytes before it
// while offset >= 2c - k. The largest such need is bounded over blocks of 64 bytes: within
// a block, 2c - k rises by at most twice the block's continuations.
WideLayout wide_layout(std::string_view utf8) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t size = utf8.size();
    size_t continuation = 0;
    size_t need = 0;
    unsigned widest = 0;
    size_t k = 0;
#ifdef __SSE2__
    __m128i widest_bytes = _mm_setzero_si128();
    for (; k + 64 <= size; k += 64) {
        continuation += continuations64(p + k, widest_bytes);
        if (2 * continuation > k) need = std::max(need, 2 * continuation - k);
    }
    alignas(16) unsigned char lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), widest_bytes);
    widest = *std::max_element(lanes, lanes + 16);
#endif
    for (; k < size; ++k) {
        if (!pb::utf8::is_continuation(p[k]) && 2 * continuation > k) {
            need = std::max(need, 2 * continuation - k);
        }
        continuation += pb::utf8::is_continuation(p[k]);
        widest = std::max<unsigned>(widest, p[k]);
    }
    // And the units end no earlier than the text, so that the buffer only ever grows.
    if (2 * continuation > size) need = std::max(need, 2 * continuation - size);
    return {size - continuation, widest >= 0xC4, widest >= 0xF0, need + (need & 1)};
}

bool cut_around_astral_characters(std::string_view utf8, const StretchLimits& limits,
                                  std::vector<size_t>& cuts) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t size = utf8.size();
    size_t total = 0;  // of the stretches so far
    // A lead byte from 0xF0 on starts a character of four bytes, the only ones beyond U+FFFF.
    auto add_character = [&](size_t at) {
        if (!cuts.empty() && at - cuts.back() < limits.gap &&
            at + 4 - cuts.end()[-2] <= limits.piece) {
            total += at + 4 - cuts.back();
            cuts.back() = at + 4;  // the stretch goes on
        } else {
            total += 4;
            cuts.push_back(at);
            cuts.push_back(at + 4);
        }
        return total <= limits.total;
    };
    size_t k = 0;
#ifdef __SSE2__
    const __m128i first_four_byte_lead = _mm_set1_epi8(char(0xF0));
    for (; k + 16 <= size; k += 16) {
        const __m128i block = load16(p + k);
        unsigned leads = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(block, first_four_byte_lead), block)));
        for (; leads != 0; leads &= leads - 1) {
            if (!add_character(k + std::countr_zero(leads))) return false;
        }
    }
#endif
    for (; k < size; ++k) {
        if (p[k] >= 0xF0 && !add_character(k)) return false;
    }
    return true;
}

void widen_to_ucs4(TextBuffer& text, const WideLayout& layout) {
    const size_t size = text.size();
    const size_t end = 4 * layout.characters;  // at least `size`: no character takes over 4 bytes
    text.reserve_more(end - size);
    auto* bytes = reinterpret_cast<unsigned char*>(text.data());
    transcode_backwards<uint32_t>(bytes, size, bytes, layout.characters);
    text.grow_by(end - size);
}

void rewrite_as_utf16(TextBuffer& text, const WideLayout& layout) {
    const size_t size = text.size();
    const size_t end = layout.utf16_offset + 2 * layout.characters;  // at least `size`
    text.reserve_more(end - size);
    auto* bytes = reinterpret_cast<unsigned char*>(text.data());
    transcode_backwards<uint16_t>(bytes, size, bytes + layout.utf16_offset, layout.characters);
    text.grow_by(end - size);
}

}  // namespace log_parser
