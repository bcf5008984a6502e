#include "json_writer.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "../pb/cpu.hpp"
#include "escape_blocks.hpp"

namespace log_parser::json::detail {
namespace {

using pb::plain_text::escape_mask;

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

// Each byte as written in a JSON string, padded to eight bytes so that it is stored in
// one move, and its length: the byte itself, or its escape sequence.
struct WrittenForm {
    char text[8];
    uint8_t size;
};

constexpr std::array<WrittenForm, 256> make_written_forms() {
    constexpr char kHex[] = "0123456789abcdef";
    std::array<WrittenForm, 256> forms{};
    for (int byte = 0; byte < 256; ++byte) {
        const char kind = kEscape[byte];
        WrittenForm& form = forms[byte];
        if (kind == 0) {
            form.text[0] = static_cast<char>(byte);
            form.size = 1;
            continue;
        }
        form.text[0] = '\\';
        if (kind != 'u') {
            form.text[1] = kind;
            form.size = 2;
            continue;
        }
        const char tail[] = {'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
        for (int i = 0; i < 5; ++i) form.text[1 + i] = tail[i];
        form.size = 6;
    }
    return forms;
}
constexpr std::array<WrittenForm, 256> kWrittenForms = make_written_forms();

// Writes the byte at p[i] (in Latin-1, the two-byte sequence there, led by 0xC2 or 0xC3,
// as its character's byte) and moves past it.
template <bool kLatin1>
inline void write_one(char*& o, const unsigned char* p, size_t& i) {
    const unsigned char byte = p[i];
    if (kLatin1 && byte >= 0x80) {
        *o++ = static_cast<char>((byte & 0x1F) << 6 | (p[i + 1] & 0x3F));
        i += 2;
        return;
    }
    const WrittenForm& form = kWrittenForms[byte];
    std::memcpy(o, form.text, 8);
    o += form.size;
    i += 1;
}

#ifdef __SSE2__
// Whether `mask` has at most two bits set.
inline bool few_bits(unsigned mask) {
    for (int k = 0; k < 2; ++k) mask &= mask - 1;
    return mask == 0;
}

// The block of sixteen bytes at p[i] when few of its bytes need care (a bit each in
// `mask`): the runs between them stored from the block moved down by a shuffle, each such
// byte (or character, in Latin-1) written alone. Moves `i` past the block, or past the
// character that a lead in its last byte begins, and returns the new write position. Up
// to 16 bytes are stored past it. Needs SSSE3.
template <bool kLatin1>
[[gnu::noinline]] MORVEX_SSSE3 char* write_sparse_block(char* o, const unsigned char* p, size_t& i,
                                                        unsigned mask) {
    const size_t start = i;
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + start));
    while (mask != 0) {
        const size_t at = start + static_cast<size_t>(__builtin_ctz(mask));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), moved_down(block, i - start));
        o += at - i;
        i = at;
        write_one<kLatin1>(o, p, i);
        mask = i - start >= 16 ? 0 : mask & (~0u << (i - start));
    }
    if (i < start + 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), moved_down(block, i - start));
        o += start + 16 - i;
        i = start + 16;
    }
    return o;
}
#endif

// The escaping loop of both forms, sixteen bytes at a time. A block with no byte that needs
// care (in Latin-1, also a byte from 0x80 on) is stored as it is. Where the processor has
// byte shuffles, a Latin-1 block with such bytes but nothing to escape is narrowed by them,
// and a block whose bytes to escape all take two-byte escapes is spread out by them. Of
// the other blocks, one with a single such byte is stored whatever it holds (the room was
// reserved) and the write position advanced to that byte, which is then written alone; one
// with a few such bytes is written in runs between them; the rest go byte by byte through
// the table of written forms, as do the last bytes. `kShuffles`: the processor has byte
// shuffles and the text takes at least one block.
template <bool kLatin1, bool kShuffles>
[[gnu::always_inline]] inline void write_escaped_body(TextBuffer& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    out.reserve_more(max_string_size(size) + 32);
    char* const begin = out.data() + out.size();
    char* o = begin;
    *o++ = '"';
    size_t i = 0;
#ifdef __SSE2__
    constexpr bool shuffles = kShuffles;
    while (i + 16 <= size) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const int special = escape_mask(v);
        int mask = special;
        if constexpr (kLatin1) mask |= _mm_movemask_epi8(v);
        if (mask == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
            o += 16;
            i += 16;
            continue;
        }
        if constexpr (kLatin1) {
            if (shuffles && special == 0) {
                size_t written;
                i += write_latin1_block(o, v, written);
                o += written;
                continue;
            }
            if (shuffles && mask != special) {
                size_t consumed;
                if (const size_t written = write_latin1_escaped_block(o, v, consumed)) {
                    o += written;
                    i += consumed;
                    continue;
                }
            }
        }
        if (shuffles && mask == special) {
            if (const size_t written = write_short_escapes(o, v, static_cast<unsigned>(special))) {
                o += written;
                i += 16;
                continue;
            }
        }
        if ((mask & (mask - 1)) == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
            const size_t run = static_cast<size_t>(__builtin_ctz(mask));
            o += run;
            i += run;
            write_one<kLatin1>(o, p, i);
            continue;
        }
        if (shuffles && few_bits(static_cast<unsigned>(mask))) {
            o = write_sparse_block<kLatin1>(o, p, i, static_cast<unsigned>(mask));
            continue;
        }
        for (const size_t end = i + 16; i < end;) write_one<kLatin1>(o, p, i);
    }
    if (shuffles && i < size) {
        if (const size_t written =
                write_tail(o, p + size, static_cast<unsigned>(size - i), kLatin1)) {
            o += written;
            i = size;
        }
    }
#endif
    while (i < size) write_one<kLatin1>(o, p, i);
    *o++ = '"';
    out.grow_by(static_cast<size_t>(o - begin));
}

#ifdef __SSE2__
// The loop compiled for SSSE3 as a whole, so that the shuffling helpers are part of it.
template <bool kLatin1>
[[gnu::noinline]] MORVEX_SSSE3 void write_escaped_with_shuffles(TextBuffer& out,
                                                                std::string_view text) {
    write_escaped_body<kLatin1, true>(out, text);
}
#endif

template <bool kLatin1>
void write_escaped(TextBuffer& out, std::string_view text) {
#ifdef __SSE2__
    if (text.size() >= 16 && pb::has_ssse3())
        return write_escaped_with_shuffles<kLatin1>(out, text);
#endif
    write_escaped_body<kLatin1, false>(out, text);
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

namespace {

// Bytes from 0x80 on: each takes two bytes in UTF-8.
size_t count_high_bytes(const unsigned char* data, size_t size) {
    size_t high = 0;
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= size; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        high += static_cast<size_t>(std::popcount(static_cast<unsigned>(_mm_movemask_epi8(block))));
    }
#endif
    for (; i < size; ++i) high += data[i] >> 7;
    return high;
}

// Moves the byte before `from` to before `to`, as UTF-8.
inline void widen_byte(unsigned char* bytes, size_t& from, size_t& to) {
    const unsigned char byte = bytes[--from];
    if (byte < 0x80) {
        bytes[--to] = byte;
    } else {
        bytes[--to] = static_cast<unsigned char>(0x80 | (byte & 0x3F));
        bytes[--to] = static_cast<unsigned char>(0xC0 | (byte >> 6));
    }
}

}  // namespace

void widen_latin1(TextBuffer& out) {
    const size_t size = out.size();
    const size_t high = count_high_bytes(reinterpret_cast<const unsigned char*>(out.data()), size);
    if (high == 0) return;
    out.reserve_more(high);
    out.grow_by(high);
    // From the back, so that every byte is read before its place is written. Once the
    // first high byte is widened, the bytes before it are in place already.
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    size_t from = size;
    size_t to = size + high;
    while (to > from) {
#ifdef __SSE2__
        if (from >= 16) {
            // A block without high bytes moves as it is (loaded whole before it is stored,
            // so an overlap does no harm); one with some goes byte by byte.
            const __m128i block =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + from - 16));
            if (_mm_movemask_epi8(block) == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + to - 16), block);
                from -= 16;
                to -= 16;
                continue;
            }
            for (int i = 0; i < 16 && to > from; ++i) widen_byte(bytes, from, to);
            continue;
        }
#endif
        widen_byte(bytes, from, to);
    }
}

}  // namespace log_parser::json
