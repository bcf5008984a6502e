// The JSON text in fixed-width units, for texts that hold characters from U+0100 on. The
// interpreter keeps such a str two or four bytes a character; made from UTF-8, it is first
// allocated at that width for every UTF-8 byte and then cut down, which is more than the
// allocator hands out from memory it already holds, so every call maps and faults in fresh
// pages. Made from UCS-4 (some character beyond U+FFFF), the str is allocated once at its
// exact size; made from UTF-16 (none), it starts one byte a character, at the exact length,
// and is widened once, at its first wide character, into its exact size. Both forms are
// written over the UTF-8 text in its own buffer, from the back.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "text_buffer.hpp"

namespace log_parser {

// What valid UTF-8 text needs to be rewritten in fixed-width units: its characters, whether
// some lie beyond U+00FF or U+FFFF, and where its UTF-16 form goes in its buffer. That form
// starts at `utf16_offset`, far enough in that, written from the back, no unit lands on
// UTF-8 bytes still to be read (a text of mostly three-byte characters is longer than its
// UTF-16 form).
struct WideLayout {
    size_t characters = 0;
    bool beyond_latin1 = false;
    bool beyond_bmp = false;
    size_t utf16_offset = 0;  // even
};

WideLayout wide_layout(std::string_view utf8);

// Rewrites the text in place as UCS-4 in native byte order: the buffer grows to four bytes
// a character. The UCS-4 offset of a character is never below its UTF-8 offset, so filling
// from the back reads every character before its place is written.
void widen_to_ucs4(TextBuffer& text, const WideLayout& layout);

// How characters beyond U+FFFF are gathered into stretches: a stretch takes in the next
// such character when fewer than `gap` bytes lie between them and it stays within `piece`
// bytes; the stretches may take `total` bytes in all.
struct StretchLimits {
    size_t gap;
    size_t piece;
    size_t total;
};

// Where `utf8` is cut around its characters beyond U+FFFF: the start and end of each
// stretch that holds them, in order; false when the stretches take more than the limits
// allow. Between the stretches lie only characters that a str holds in at most two bytes.
bool cut_around_astral_characters(std::string_view utf8, const StretchLimits& limits,
                                  std::vector<size_t>& cuts);

// Rewrites text with no character beyond U+FFFF in place as UTF-16 in native byte order,
// at `layout.utf16_offset`; afterwards the buffer ends with the last unit.
void rewrite_as_utf16(TextBuffer& text, const WideLayout& layout);

}  // namespace log_parser
