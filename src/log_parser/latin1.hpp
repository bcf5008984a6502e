// Latin-1 form of UTF-8 text whose characters all lie below U+0100: one byte a character.
// The interpreter makes a str from such bytes in one exact allocation and a copy, where its
// UTF-8 decoder allocates twice and widens on the first non-ASCII character.
#pragma once

#include <cstddef>

namespace log_parser {

// Rewrites valid UTF-8 whose characters all lie below U+0100 as Latin-1, in place, and
// returns the new length.
size_t narrow_to_latin1(char* data, size_t size);

}  // namespace log_parser
