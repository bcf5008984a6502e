// JSON escaping of a 16-byte block that holds several bytes to escape, each of which
// takes a two-byte escape (\" \\ \b \t \n \f \r): the two 8-byte halves are spread out by
// byte shuffles, one per half, instead of being written byte by byte. Needs SSSE3, so the
// caller asks for it at run time.
#pragma once

#include <cstddef>

#ifdef __SSE2__
#include <emmintrin.h>

namespace log_parser::json::detail {

// Writes `block` escaped at `out` and returns the bytes written, or writes nothing and
// returns 0 when a byte of the block needs the six-byte \u00XX form. `special` has a bit
// for each byte to escape; bytes from 0x80 on are written as they are. Up to 32 bytes are
// stored, some past the end of what is returned. Only for processors with SSSE3.
size_t write_short_escapes(char* out, __m128i block, unsigned special);

}  // namespace log_parser::json::detail

#endif
