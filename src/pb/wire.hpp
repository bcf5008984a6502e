// Protobuf wire primitives: the input cursor, wire types, varints and keys. Each step
// returns true on success; on failure it fills the caller's DecodeError and returns false,
// so that the success path stays a plain branch.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Failure constructors, kept out of line so that the hot paths stay small.
[[gnu::cold]] bool fail(DecodeError& error, const char* description);
[[gnu::cold]] bool fail_wire_type(DecodeError& error, WireType actual, WireType expected);

bool decode_varint_slow(Cursor& cursor, uint64_t& value, DecodeError& error);

// Base-128 varint of at most ten bytes whose tenth byte is 0x00 or 0x01.
inline bool decode_varint(Cursor& cursor, uint64_t& value, DecodeError& error) {
    if (cursor.pos < cursor.end && *cursor.pos < 0x80) {
        value = *cursor.pos++;
        return true;
    }
    return decode_varint_slow(cursor, value, error);
}

// A varint of exactly five bytes (as values from 2^28 to 2^35 - 1 take, the seconds of
// this era), read by one inline test, or false with the cursor unmoved: the caller then
// reads it in full.
inline bool decode_five_byte_varint(Cursor& cursor, uint64_t& value) {
    const uint8_t* p = cursor.pos;
    if (cursor.remaining() < 5 || (p[0] & p[1] & p[2] & p[3]) < 0x80 || p[4] >= 0x80) {
        return false;
    }
    value = uint64_t{p[0] & 0x7Fu} | uint64_t{p[1] & 0x7Fu} << 7 | uint64_t{p[2] & 0x7Fu} << 14 |
            uint64_t{p[3] & 0x7Fu} << 21 | uint64_t{p[4]} << 28;
    cursor.pos += 5;
    return true;
}

struct Key {
    uint32_t field;
    WireType wire_type;
};

[[gnu::cold]] bool fail_key(DecodeError& error, uint64_t value);

inline bool decode_key(Cursor& cursor, Key& key, DecodeError& error) {
    uint64_t value;
    if (!decode_varint(cursor, value, error)) return false;
    const uint32_t wire_type = value & 7;
    if (value > 0xFFFFFFFFULL || wire_type > 5 || value < 8) return fail_key(error, value);
    key = {static_cast<uint32_t>(value >> 3), static_cast<WireType>(wire_type)};
    return true;
}

inline bool expect_wire_type(WireType actual, WireType expected, DecodeError& error) {
    return actual == expected || fail_wire_type(error, actual, expected);
}

// Skips an unknown field; `budget` bounds the nesting of groups.
bool skip_field(Cursor& cursor, WireType wire_type, uint32_t field, uint32_t budget,
                DecodeError& error);

}  // namespace pb
