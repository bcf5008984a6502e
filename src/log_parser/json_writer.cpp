#include "json_writer.hpp"

#include <array>

namespace log_parser::json::detail {
namespace {

using pb::plain_text::escape_mask;
using pb::plain_text::load8;
using pb::plain_text::needs_escape;

// For each byte: 0 when written as is, 'u' for the \u00XX form, else the letter after the
// backslash.
constexpr std::array<char, 256> make_escape_table() {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

// Length of the leading run of bytes that need no escape.
size_t plain_run(const unsigned char* p, size_t size) {
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= size; i += 16) {
        const int mask = escape_mask(p + i);
        if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; i + 8 <= size; i += 8) {
        if (needs_escape(load8(p + i))) break;
    }
    while (i < size && kEscape[p[i]] == 0) ++i;
    return i;
}

void write_escape(TextBuffer& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char kind = kEscape[byte];
    out.put('\\');
    if (kind != 'u') {
        out.put(kind);
        return;
    }
    out.put("u00", 3);
    out.put(kHex[byte >> 4]);
    out.put(kHex[byte & 0xF]);
}

}  // namespace

void write_escaped_string(TextBuffer& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    out.reserve_more(max_string_size(size));
    out.put('"');
    size_t i = 0;
    for (;;) {
        const size_t run = plain_run(p + i, size - i);
        out.put(text.data() + i, run);
        i += run;
        if (i == size) break;
        write_escape(out, p[i++]);
    }
    out.put('"');
}

}  // namespace log_parser::json::detail
