// The narrowest storage of a valid UTF-8 text as a Python str: one byte per character when
// every character is below U+0100. Knowing this before the str is made lets it be built in
// one exact allocation from Latin-1 bytes instead of by the interpreter's widening decoder.
#pragma once

#include <cstddef>

namespace log_parser {

enum class TextWidth { Ascii, Latin1, Wide };

// Widest character class in `data`, which must be valid UTF-8.
TextWidth measure_width(const char* data, size_t size);

// Rewrites valid UTF-8 whose characters all lie below U+0100 as Latin-1, in place, and
// returns the new length.
size_t narrow_to_latin1(char* data, size_t size);

}  // namespace log_parser
