// Compact JSON text: strings with the minimal escape set (UTF-8 passes through) and
// unsigned decimal integers, appended into one TextBuffer. The common cases (a string
// with nothing to escape, a number) are inline, since they run for every value.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "../pb/plain_text.hpp"
#include "text_buffer.hpp"

namespace log_parser::json {

namespace detail {

using pb::plain_text::is_plain;

void write_escaped_string(TextBuffer& out, std::string_view text);
void write_escaped_latin1(TextBuffer& out, std::string_view text);

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

// For each place of the highest set bit of a 32-bit value (0 for 0 too), the smaller of
// the value's two possible counts of decimal digits, `d`, in the upper half, plus what
// carries into the upper half exactly when the value reaches 10^d.
constexpr std::array<uint64_t, 32> make_digit_carries() {
    std::array<uint64_t, 32> carries{};
    for (unsigned bits = 0; bits < 32; ++bits) {
        uint64_t power = 10;
        uint64_t digits = 1;
        while (power <= (uint64_t{1} << bits)) {
            power *= 10;
            ++digits;
        }
        carries[bits] = digits << 32;
        if (power < (uint64_t{1} << 32)) carries[bits] += (uint64_t{1} << 32) - power;
    }
    return carries;
}
inline constexpr std::array<uint64_t, 32> kDigitCarries = make_digit_carries();

}  // namespace detail

// Writes a text known to need no escape as a JSON string, quotes included.
inline void write_plain_string(TextBuffer& out, std::string_view text) {
    out.reserve_more(text.size() + 2);
    Cursor at{out.end()};
    at.put('"');
    at.put(text);
    at.put('"');
    out.commit(at.at);
}

// Writes `text` as a JSON string, quotes included.
inline void write_string(TextBuffer& out, std::string_view text) {
    if (!detail::is_plain(reinterpret_cast<const unsigned char*>(text.data()), text.size())) {
        detail::write_escaped_string(out, text);
        return;
    }
    write_plain_string(out, text);
}

// The same for text whose characters all lie below U+0100, written in Latin-1: one byte a
// character.
inline void write_string_latin1(TextBuffer& out, std::string_view text) {
    if (!detail::is_plain<true>(reinterpret_cast<const unsigned char*>(text.data()), text.size())) {
        detail::write_escaped_latin1(out, text);
        return;
    }
    write_plain_string(out, text);
}

// Rewrites the Latin-1 text in `out` as UTF-8, in place.
void widen_latin1(TextBuffer& out);

// The number of decimal digits of `value`, without a loop.
inline unsigned decimal_digits(uint32_t value) {
    const int bits = 31 - std::countl_zero(value | 1);
    return static_cast<unsigned>((value + detail::kDigitCarries[bits]) >> 32);
}

// Puts a decimal integer without sign, leading zeros, fraction or exponent into room
// reserved for it (ten bytes). The digits go straight to their place, two at a time from
// the last: read back from a scratch buffer, narrow stores would stall the wide load.
[[gnu::always_inline]] inline void put_uint(Cursor& out, uint32_t value) {
    char* const end = out.at + decimal_digits(value);
    char* p = end;
    while (value >= 100) {
        p -= 2;
        std::memcpy(p, detail::kDigitPairs.data() + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        std::memcpy(p - 2, detail::kDigitPairs.data() + 2 * value, 2);
    } else {
        p[-1] = static_cast<char>('0' + value);
    }
    out.at = end;
}

// Upper bound of the bytes write_string can produce for `size` bytes of text.
inline size_t max_string_size(size_t size) {
    return 2 + 6 * size;
}

}  // namespace log_parser::json
