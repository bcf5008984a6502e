// Compact JSON text: strings with the minimal escape set (UTF-8 passes through) and
// unsigned decimal integers, appended into one TextBuffer.
#pragma once

#include <cstdint>
#include <string_view>

#include "text_buffer.hpp"

namespace log_parser::json {

// Writes `text` as a JSON string, quotes included.
void write_string(TextBuffer& out, std::string_view text);

// Writes a decimal integer without sign, leading zeros, fraction or exponent.
void write_uint(TextBuffer& out, uint32_t value);

// Upper bound of the bytes write_string can produce for `size` bytes of text.
inline size_t max_string_size(size_t size) {
    return 2 + 6 * size;
}

}  // namespace log_parser::json
