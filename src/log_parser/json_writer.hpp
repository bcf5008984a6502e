// Compact JSON text: strings with the minimal escape set (UTF-8 passes through) and
// unsigned decimal integers, appended into one TextBuffer. The common cases (a string
// with nothing to escape, a number) are inline, since they run for every value.
#pragma once

#include <array>
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

}  // namespace detail

// Writes a text known to need no escape as a JSON string, quotes included.
inline void write_plain_string(TextBuffer& out, std::string_view text) {
    out.reserve_more(text.size() + 2);
    out.put('"');
    out.put(text);
    out.put('"');
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

// Puts a decimal integer without sign, leading zeros, fraction or exponent into room
// reserved for it (ten bytes).
[[gnu::always_inline]] inline void put_uint(TextBuffer& out, uint32_t value) {
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
    out.put(p, static_cast<size_t>(end - p));
}

// The same, reserving the room first.
inline void write_uint(TextBuffer& out, uint32_t value) {
    out.reserve_more(10);
    put_uint(out, value);
}

// Upper bound of the bytes write_string can produce for `size` bytes of text.
inline size_t max_string_size(size_t size) {
    return 2 + 6 * size;
}

}  // namespace log_parser::json
