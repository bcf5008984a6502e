"""Protobuf wire pieces encoded by hand, for the malformed batches that no encoder writes."""

# Wire types: Varint, SixtyFourBit, LengthDelimited, StartGroup, EndGroup, ThirtyTwoBit.
VARINT, I64, LEN, SGROUP, EGROUP, I32 = range(6)


def varint(n):
    out = bytearray()
    while n > 0x7F:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def key(field, wire_type):
    return varint(field << 3 | wire_type)


def ld(field, payload):
    """A length-delimited field."""
    return key(field, LEN) + varint(len(payload)) + payload


def vi(field, value):
    """A varint field."""
    return key(field, VARINT) + varint(value)
