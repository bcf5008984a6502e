#include "wire.hpp"

#include <string>

namespace pb {
namespace {

bool skip_bytes(Cursor& cursor, uint64_t count, DecodeError& error) {
    if (count > cursor.remaining()) return fail(error, "buffer underflow");
    cursor.pos += count;
    return true;
}

bool skip_group(Cursor& cursor, uint32_t field, uint32_t budget, DecodeError& error) {
    for (;;) {
        Key key{};
        if (!decode_key(cursor, key, error)) return false;
        if (key.wire_type == WireType::EndGroup) {
            return key.field == field || fail(error, "unexpected end group tag");
        }
        if (!skip_field(cursor, key.wire_type, key.field, budget - 1, error)) return false;
    }
}

}  // namespace

const char* wire_type_name(WireType type) {
    switch (type) {
        case WireType::Varint:
            return "Varint";
        case WireType::SixtyFourBit:
            return "SixtyFourBit";
        case WireType::LengthDelimited:
            return "LengthDelimited";
        case WireType::StartGroup:
            return "StartGroup";
        case WireType::EndGroup:
            return "EndGroup";
        case WireType::ThirtyTwoBit:
            return "ThirtyTwoBit";
    }
    return "Unknown";
}

bool fail(DecodeError& error, const char* description) {
    error = DecodeError(description);
    return false;
}

bool fail_wire_type(DecodeError& error, WireType actual, WireType expected) {
    error = DecodeError(std::string("invalid wire type: ") + wire_type_name(actual) +
                        " (expected " + wire_type_name(expected) + ")");
    return false;
}

bool fail_key(DecodeError& error, uint64_t value) {
    if (value > 0xFFFFFFFFULL) {
        error = DecodeError("invalid key value: " + std::to_string(value));
    } else if ((value & 7) > 5) {
        error = DecodeError("invalid wire type value: " + std::to_string(value & 7));
    } else {
        error = DecodeError("invalid tag value: 0");
    }
    return false;
}

bool decode_varint_slow(Cursor& cursor, uint64_t& value, DecodeError& error) {
    uint64_t result = 0;
    for (int i = 0; i < 10; ++i) {
        if (cursor.pos + i >= cursor.end) break;
        const uint8_t byte = cursor.pos[i];
        if (i == 9 && byte > 0x01) break;
        result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if (byte < 0x80) {
            cursor.pos += i + 1;
            value = result;
            return true;
        }
    }
    value = 0;  // never read; set so that callers' flow analysis sees it written on every path
    return fail(error, "invalid varint");
}

bool skip_field(Cursor& cursor, WireType wire_type, uint32_t field, uint32_t budget,
                DecodeError& error) {
    if (budget == 0) return fail(error, "recursion limit reached");
    switch (wire_type) {
        case WireType::Varint: {
            uint64_t ignored;
            return decode_varint(cursor, ignored, error);
        }
        case WireType::SixtyFourBit:
            return skip_bytes(cursor, 8, error);
        case WireType::ThirtyTwoBit:
            return skip_bytes(cursor, 4, error);
        case WireType::LengthDelimited: {
            uint64_t length;
            return decode_varint(cursor, length, error) && skip_bytes(cursor, length, error);
        }
        case WireType::StartGroup:
            return skip_group(cursor, field, budget, error);
        case WireType::EndGroup:
            break;
    }
    return fail(error, "unexpected end group tag");
}

}  // namespace pb
