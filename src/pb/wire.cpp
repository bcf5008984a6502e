#include "wire.hpp"

namespace pb {
namespace {

DecodeStatus skip_bytes(Cursor& cursor, uint64_t count) {
    if (count > cursor.remaining()) return decode_failure("buffer underflow");
    cursor.pos += count;
    return {};
}

DecodeStatus skip_group(Cursor& cursor, uint32_t field, uint32_t budget) {
    for (;;) {
        Key key;
        if (auto status = decode_key(cursor, key); !status) return status;
        if (key.wire_type == WireType::EndGroup) {
            if (key.field != field) return decode_failure("unexpected end group tag");
            return {};
        }
        if (auto status = skip_field(cursor, key.wire_type, key.field, budget - 1); !status) {
            return status;
        }
    }
}

}  // namespace

const char* wire_type_name(WireType type) {
    switch (type) {
        case WireType::Varint: return "Varint";
        case WireType::SixtyFourBit: return "SixtyFourBit";
        case WireType::LengthDelimited: return "LengthDelimited";
        case WireType::StartGroup: return "StartGroup";
        case WireType::EndGroup: return "EndGroup";
        case WireType::ThirtyTwoBit: return "ThirtyTwoBit";
    }
    return "Unknown";
}

DecodeStatus skip_field(Cursor& cursor, WireType wire_type, uint32_t field, uint32_t budget) {
    if (budget == 0) return decode_failure("recursion limit reached");
    switch (wire_type) {
        case WireType::Varint: {
            uint64_t ignored;
            return decode_varint(cursor, ignored);
        }
        case WireType::SixtyFourBit: return skip_bytes(cursor, 8);
        case WireType::ThirtyTwoBit: return skip_bytes(cursor, 4);
        case WireType::LengthDelimited: {
            uint64_t length;
            if (auto status = decode_varint(cursor, length); !status) return status;
            return skip_bytes(cursor, length);
        }
        case WireType::StartGroup: return skip_group(cursor, field, budget);
        case WireType::EndGroup: return decode_failure("unexpected end group tag");
    }
    return decode_failure("unexpected end group tag");
}

}  // namespace pb
