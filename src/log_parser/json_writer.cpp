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

// Length of the leading run of bytes that need no escape (and, with kAsciiOnly, are below
// 0x80).
template <bool kAsciiOnly>
size_t plain_run(const unsigned char* p, size_t size) {
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= size; i += 16) {
        int mask = escape_mask(p + i);
        if constexpr (kAsciiOnly) {
            mask |= _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        }
        if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    const uint64_t high = kAsciiOnly ? pb::plain_text::kHighs : 0;
    for (; i + 8 <= size; i += 8) {
        const uint64_t word = load8(p + i);
        if (needs_escape(word) | (word & high)) break;
    }
    while (i < size && kEscape[p[i]] == 0 && (!kAsciiOnly || p[i] < 0x80)) ++i;
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

// The escaping loop of both forms: runs that need nothing are copied as they are; in
// Latin-1, a two-byte sequence (led by 0xC2 or 0xC3) is written as its character's byte.
template <bool kLatin1>
void write_escaped(TextBuffer& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    out.reserve_more(max_string_size(size));
    out.put('"');
    size_t i = 0;
    for (;;) {
        const size_t run = plain_run<kLatin1>(p + i, size - i);
        out.put(text.data() + i, run);
        i += run;
        if (i == size) break;
        const unsigned char byte = p[i];
        if (kLatin1 && byte >= 0x80) {
            out.put(static_cast<char>((byte & 0x1F) << 6 | (p[i + 1] & 0x3F)));
            i += 2;
        } else {
            write_escape(out, byte);
            i += 1;
        }
    }
    out.put('"');
}

}  // namespace

void write_escaped_latin1(TextBuffer& out, std::string_view text) {
    write_escaped<true>(out, text);
}

void write_escaped_string(TextBuffer& out, std::string_view text) {
    write_escaped<false>(out, text);
}

}  // namespace log_parser::json::detail

namespace log_parser::json {

void widen_latin1(TextBuffer& out) {
    const auto* data = reinterpret_cast<const unsigned char*>(out.data());
    size_t high = 0;
    for (size_t i = 0; i < out.size(); ++i) high += data[i] >> 7;
    if (high == 0) return;
    const size_t size = out.size();
    out.reserve_more(high);
    out.grow_by(high);
    // From the back, so that every byte is read before its place is written.
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    size_t to = size + high;
    for (size_t from = size; from-- > 0;) {
        const unsigned char byte = bytes[from];
        if (byte < 0x80) {
            bytes[--to] = byte;
        } else {
            bytes[--to] = static_cast<unsigned char>(0x80 | (byte & 0x3F));
            bytes[--to] = static_cast<unsigned char>(0xC0 | (byte >> 6));
        }
    }
}

}  // namespace log_parser::json
