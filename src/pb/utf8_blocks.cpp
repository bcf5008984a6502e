// Strict UTF-8 validation sixteen bytes at a time. Each byte is judged together with the
// three before it: three table lookups (the previous byte's high and low nibble, this
// byte's high nibble) each give the set of faults the pair could show, and a fault is
// present only when all three agree. Continuations that must follow a three- or four-byte
// lead are told from surplus ones by the leads two and three bytes back. This needs SSSE3
// (byte shuffles), so it is chosen at run time; the caller falls back to the byte loop
// when it is missing and to learn where and how an invalid text breaks.
#include "utf8_blocks.hpp"

#include "cpu.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <tmmintrin.h>

#include <cstring>

namespace pb::utf8 {
namespace {

// Faults of a pair (previous byte, this byte). Bit 6 stands for two faults that the
// lookups keep apart by the previous byte's low nibble (F0 versus F5..FF).
constexpr uint8_t kTooShort = 1 << 0;      // a lead followed by ASCII or another lead
constexpr uint8_t kTooLong = 1 << 1;       // ASCII followed by a continuation
constexpr uint8_t kOverlong3 = 1 << 2;     // E0 followed by 80..9F
constexpr uint8_t kTooLarge = 1 << 3;      // F4 followed by 90..BF, or F5..FF followed by 90..BF
constexpr uint8_t kSurrogate = 1 << 4;     // ED followed by A0..BF
constexpr uint8_t kOverlong2 = 1 << 5;     // C0 or C1 followed by a continuation
constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5..FF followed by 80..8F
constexpr uint8_t kOverlong4 = 1 << 6;     // F0 followed by 80..8F
constexpr uint8_t kTwoConts = 1 << 7;      // a continuation followed by a continuation
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

// Sixteen entries, one per nibble value.
struct Table {
    alignas(16) uint8_t entries[16];
};

MORVEX_SSSE3 inline __m128i lookup(const Table& table, __m128i nibbles) {
    return _mm_shuffle_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(table.entries)),
                            nibbles);
}

MORVEX_SSSE3 inline __m128i high_nibbles(__m128i v) {
    return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
}

// By the previous byte's high nibble: ASCII, continuation, or a lead of C_, D_, E_ or F_.
constexpr uint8_t kAscii = kTooLong;
constexpr uint8_t kCont = kTwoConts;
constexpr Table kFirstHigh = {{kAscii, kAscii, kAscii, kAscii, kAscii, kAscii, kAscii, kAscii,
                               kCont, kCont, kCont, kCont, kTooShort | kOverlong2, kTooShort,
                               kTooShort | kOverlong3 | kSurrogate,
                               kTooShort | kTooLarge | kTooLarge1000 | kOverlong4}};
// By the previous byte's low nibble.
constexpr uint8_t kLarge = kCarry | kTooLarge | kTooLarge1000;
constexpr Table kFirstLow = {{kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2,
                              kCarry, kCarry, kCarry | kTooLarge, kLarge, kLarge, kLarge, kLarge,
                              kLarge, kLarge, kLarge, kLarge, kLarge | kSurrogate, kLarge, kLarge}};
// By this byte's high nibble: ASCII, continuation 8_, 9_, A_ or B_, or a lead.
constexpr uint8_t kContinuation = kTooLong | kOverlong2 | kTwoConts;
constexpr Table kSecondHigh = {
    {kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
     kContinuation | kOverlong3 | kTooLarge1000 | kOverlong4,
     kContinuation | kOverlong3 | kTooLarge, kContinuation | kSurrogate | kTooLarge,
     kContinuation | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort, kTooShort}};
// A block's last three bytes above these open a sequence that needs more bytes.
constexpr Table kLastLeads = {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1}};

// Faults of every pair (previous byte, byte) in `input`, given the block before it.
MORVEX_SSSE3 inline __m128i pair_faults(__m128i input, __m128i previous) {
    const __m128i prev1 = _mm_alignr_epi8(input, previous, 15);
    const __m128i first_high = lookup(kFirstHigh, high_nibbles(prev1));
    const __m128i first_low = lookup(kFirstLow, _mm_and_si128(prev1, _mm_set1_epi8(0x0F)));
    const __m128i second_high = lookup(kSecondHigh, high_nibbles(input));
    return _mm_and_si128(_mm_and_si128(first_high, first_low), second_high);
}

// 0x80 where a byte must be the third or fourth of a sequence (lead E0..FF two back, or
// F0..FF three back), which is where two continuations in a row belong.
MORVEX_SSSE3 inline __m128i must_continue(__m128i input, __m128i previous) {
    const __m128i prev2 = _mm_alignr_epi8(input, previous, 14);
    const __m128i prev3 = _mm_alignr_epi8(input, previous, 13);
    const __m128i third = _mm_subs_epu8(prev2, _mm_set1_epi8(static_cast<char>(0xE0 - 1)));
    const __m128i fourth = _mm_subs_epu8(prev3, _mm_set1_epi8(static_cast<char>(0xF0 - 1)));
    const __m128i none = _mm_cmpeq_epi8(_mm_or_si128(third, fourth), _mm_setzero_si128());
    return _mm_andnot_si128(none, _mm_set1_epi8(static_cast<char>(0x80)));
}

MORVEX_SSSE3 inline __m128i block_faults(__m128i input, __m128i previous) {
    return _mm_xor_si128(pair_faults(input, previous), must_continue(input, previous));
}

// Nonzero where the block's last bytes open a sequence that the block does not finish.
MORVEX_SSSE3 inline __m128i unfinished(__m128i input) {
    return _mm_subs_epu8(input,
                         _mm_load_si128(reinterpret_cast<const __m128i*>(kLastLeads.entries)));
}

MORVEX_SSSE3 uint8_t largest_byte(__m128i v) {
    v = _mm_max_epu8(v, _mm_srli_si128(v, 8));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 4));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 2));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 1));
    return static_cast<uint8_t>(_mm_cvtsi128_si32(v));
}

MORVEX_SSSE3 bool valid_blocks_ssse3(const uint8_t* data, size_t size, uint8_t& widest_lead) {
    const __m128i zero = _mm_setzero_si128();
    __m128i previous = zero;
    __m128i faults = zero;
    __m128i open = zero;  // the previous block's unfinished sequences, if it was not ASCII
    __m128i largest = zero;
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        const __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        if (_mm_movemask_epi8(input) == 0) {
            faults = _mm_or_si128(faults, open);
            open = zero;
        } else {
            faults = _mm_or_si128(faults, block_faults(input, previous));
            open = unfinished(input);
            largest = _mm_max_epu8(largest, input);
        }
        previous = input;
    }
    // The rest, padded with zeros: a sequence cut off by the end meets a zero, which is
    // judged like any ASCII byte in its place.
    alignas(16) uint8_t tail[16] = {};
    std::memcpy(tail, data + i, size - i);
    const __m128i input = _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
    faults = _mm_or_si128(faults, block_faults(input, previous));
    largest = _mm_max_epu8(largest, input);
    // In valid text the largest byte is the widest lead (continuations are below C0).
    const uint8_t top = largest_byte(largest);
    widest_lead = top >= 0x80 ? top : 0;
    return _mm_movemask_epi8(_mm_cmpeq_epi8(faults, zero)) == 0xFFFF;
}

}  // namespace

bool valid_blocks(const uint8_t* data, size_t size, uint8_t& widest_lead) {
    return has_ssse3() && valid_blocks_ssse3(data, size, widest_lead);
}

}  // namespace pb::utf8

#else

namespace pb::utf8 {

bool valid_blocks(const uint8_t*, size_t, uint8_t&) {
    return false;
}

}  // namespace pb::utf8

#endif
