#include "utf8.hpp"

#include "utf8_blocks.hpp"

namespace pb::utf8 {
namespace {

// Allowed range of the byte after a lead byte; narrower than 0x80..0xBF for the leads that
// would otherwise admit overlong forms, surrogates or values above U+10FFFF.
void second_byte_range(uint8_t lead, uint8_t& low, uint8_t& high) {
    low = 0x80;
    high = 0xBF;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
}

int sequence_length(uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Byte by byte, skipping runs of ASCII eight bytes at a time; finds where a text breaks.
Check check_bytes(const uint8_t* data, size_t size) {
    size_t i = 0;
    uint8_t widest = 0;
    while (i < size) {
        if (i + 8 <= size && !has_non_ascii(data + i)) {
            i += 8;
            continue;
        }
        const uint8_t lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const int length = sequence_length(lead);
        if (length == 0) return {i, 1, false};
        if (i + 1 >= size) return {i, 0, false};
        uint8_t low, high;
        second_byte_range(lead, low, high);
        if (data[i + 1] < low || data[i + 1] > high) return {i, 1, false};
        for (int k = 2; k < length; ++k) {
            if (i + k >= size) return {i, 0, false};
            if (!is_continuation(data[i + k])) return {i, static_cast<uint8_t>(k), false};
        }
        widest = lead > widest ? lead : widest;
        i += length;
    }
    return {size, 0, true, widest};
}

}  // namespace

Check check(const uint8_t* data, size_t size) {
    // Sixteen bytes at a time pays off from one block on; a text that fails is checked
    // again byte by byte to say where.
    uint8_t widest = 0;
    if (size >= 16 && valid_blocks(data, size, widest)) return {size, 0, true, widest};
    return check_bytes(data, size);
}

}  // namespace pb::utf8
