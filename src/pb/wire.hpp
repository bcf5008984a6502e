// Protobuf wire primitives: the input cursor, wire types, varints and keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode_error.hpp"

namespace pb {

enum class WireType : uint8_t {
    Varint = 0,
    SixtyFourBit = 1,
    LengthDelimited = 2,
    StartGroup = 3,
    EndGroup = 4,
    ThirtyTwoBit = 5,
};

const char* wire_type_name(WireType type);

// The unread remainder of the input. Every field is read against the whole remaining
// input, so there is one cursor per decode.
struct Cursor {
    const uint8_t* pos;
    const uint8_t* end;

    size_t remaining() const { return static_cast<size_t>(end - pos); }
    bool empty() const { return pos == end; }
};

// Base-128 varint of at most ten bytes whose tenth byte is 0x00 or 0x01.
inline DecodeStatus decode_varint(Cursor& cursor, uint64_t& value) {
    if (cursor.pos < cursor.end && *cursor.pos < 0x80) {
        value = *cursor.pos++;
        return {};
    }
    uint64_t result = 0;
    for (int i = 0; i < 10; ++i) {
        if (cursor.pos + i >= cursor.end) break;
        const uint8_t byte = cursor.pos[i];
        if (i == 9 && byte > 0x01) break;
        result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if (byte < 0x80) {
            cursor.pos += i + 1;
            value = result;
            return {};
        }
    }
    return decode_failure("invalid varint");
}

struct Key {
    uint32_t field;
    WireType wire_type;
};

inline DecodeStatus decode_key(Cursor& cursor, Key& key) {
    uint64_t value;
    if (auto status = decode_varint(cursor, value); !status) return status;
    if (value > 0xFFFFFFFFULL) return decode_failure("invalid key value: " + std::to_string(value));
    const uint32_t wire_type = value & 7;
    if (wire_type > 5) return decode_failure("invalid wire type value: " + std::to_string(wire_type));
    if (value < 8) return decode_failure("invalid tag value: 0");
    key = {static_cast<uint32_t>(value >> 3), static_cast<WireType>(wire_type)};
    return {};
}

inline DecodeStatus expect_wire_type(WireType actual, WireType expected) {
    if (actual == expected) return {};
    return decode_failure(std::string("invalid wire type: ") + wire_type_name(actual) +
                          " (expected " + wire_type_name(expected) + ")");
}

// Skips an unknown field; `budget` bounds the nesting of groups.
DecodeStatus skip_field(Cursor& cursor, WireType wire_type, uint32_t field, uint32_t budget);

}  // namespace pb
