"""Wire decoding of a batch: hand-made bytes, error messages and their context pairs, in both
record families (text family via the JSON text path, raw family via the dictionary path)."""

import json

import pytest
from google.protobuf.message import DecodeError as PbDecodeError

import log_schema
from conftest import (EGROUP, I32, I64, LEN, PREFIX, SGROUP, VARINT, compress, content, dicts_of, f32, key, ld,
                      make_batch, one_log, reference_json, text_of, varint, vi)
from morvex_log_py_bindings import log_parser

# Context pairs as each family names them.
TEXT = dict(LGL="LogGroupList", LG="LogGroup", LOG="Log", TAG="LogTag")
RAW = dict(LGL="LogGroupListRaw", LG="LogGroupRaw", LOG="LogRaw", TAG="LogTagRaw")

GROUPS = "{LGL}.log_groups: "
LOGS = "{LG}.logs: " + GROUPS
CONTENTS = "{LOG}.contents: " + LOGS
BAD_UTF8 = "invalid string value: data is not UTF-8 encoded"


def decode_text(data):
    return text_of(data)


def decode_raw(data):
    return dicts_of(data)


def expect_error(data, context, description):
    for decode, names in ((decode_text, TEXT), (decode_raw, RAW)):
        with pytest.raises(ValueError) as info:
            decode(data)
        assert type(info.value) is ValueError
        expected = PREFIX + context.format(**names) + description
        assert info.value.args == (expected,)
        assert str(info.value) == expected
        assert info.value.__cause__ is None


def group_body(n):
    """`n` unknown groups (field 7) nested in one another, the innermost empty."""
    return key(7, SGROUP) * n + key(7, EGROUP) * n


def group_with_field(n):
    return key(7, SGROUP) * n + vi(9, 1) + key(7, EGROUP) * n


@pytest.mark.parametrize(
    "data, context, description",
    [
        # varints and keys at the top level
        (b"\x80", "", "invalid varint"),
        (b"\x80" * 10 + b"\x00", "", "invalid varint"),
        (b"\x80" * 9 + b"\x02", "", "invalid varint"),
        (b"\xff" * 11, "", "invalid varint"),
        (varint(2**32), "", "invalid key value: 4294967296"),
        (b"\x80" * 9 + b"\x01", "", "invalid key value: 9223372036854775808"),
        (varint(2**64 - 1), "", "invalid key value: 18446744073709551615"),
        (varint(2**32 - 1), "", "invalid wire type value: 7"),
        (b"\x0e", "", "invalid wire type value: 6"),
        (b"\x06", "", "invalid wire type value: 6"),
        (b"\x0f", "", "invalid wire type value: 7"),
        (b"\x00", "", "invalid tag value: 0"),
        (b"\x02\x00", "", "invalid tag value: 0"),
        (b"\x10\x80", "", "invalid varint"),
        # log_groups: the wire type is checked before anything else is read
        (key(1, VARINT), GROUPS, "invalid wire type: Varint (expected LengthDelimited)"),
        (key(1, I64), GROUPS, "invalid wire type: SixtyFourBit (expected LengthDelimited)"),
        (key(1, SGROUP), GROUPS, "invalid wire type: StartGroup (expected LengthDelimited)"),
        (key(1, EGROUP), GROUPS, "invalid wire type: EndGroup (expected LengthDelimited)"),
        (key(1, I32), GROUPS, "invalid wire type: ThirtyTwoBit (expected LengthDelimited)"),
        (b"\x0a", GROUPS, "invalid varint"),
        (b"\x0a\x05", GROUPS, "buffer underflow"),
        (b"\x0a\x02\x10", GROUPS, "buffer underflow"),
        (ld(1, b"") + b"\x0a\x03\x00\x00", GROUPS, "buffer underflow"),
        (ld(1, b"\x00"), GROUPS, "invalid tag value: 0"),
        (ld(1, b"\x1e"), GROUPS, "invalid wire type value: 6"),
        # LogGroup fields
        (ld(1, vi(1, 0)), "{LG}.logs: " + GROUPS, "invalid wire type: Varint (expected LengthDelimited)"),
        (ld(1, vi(3, 0)), "{LG}.topic: " + GROUPS, "invalid wire type: Varint (expected LengthDelimited)"),
        (ld(1, f32(4, 0)), "{LG}.source: " + GROUPS, "invalid wire type: ThirtyTwoBit (expected LengthDelimited)"),
        (ld(1, key(5, I64) + b"\0" * 8), "{LG}.machine_uuid: " + GROUPS,
         "invalid wire type: SixtyFourBit (expected LengthDelimited)"),
        (ld(1, key(6, SGROUP)), "{LG}.log_tags: " + GROUPS, "invalid wire type: StartGroup (expected LengthDelimited)"),
        (ld(1, ld(3, b"\xff")), "{LG}.topic: " + GROUPS, BAD_UTF8),
        (ld(1, ld(4, b"\xc0\x80")), "{LG}.source: " + GROUPS, BAD_UTF8),
        (ld(1, ld(5, b"\xed\xa0\x80")), "{LG}.machine_uuid: " + GROUPS, BAD_UTF8),
        (ld(1, ld(3, b"ok") + ld(3, b"\xf4\x90\x80\x80")), "{LG}.topic: " + GROUPS, BAD_UTF8),
        (b"\x0a\x02" + key(3, LEN) + b"\x05ab", "{LG}.topic: " + GROUPS, "buffer underflow"),
        # a field read against the whole input runs past its message's end
        (b"\x0a\x03" + key(3, LEN) + b"\x03" + b"abc", GROUPS, "delimited length exceeded"),
        (b"\x0a\x02" + vi(2, 300), GROUPS, "delimited length exceeded"),
        (b"\x0a\x02" + b"\x0a\x02" + b"\x08\x07", GROUPS, "delimited length exceeded"),
        # Log fields
        (one_log(ld(1, b"")), "{LOG}.time: " + LOGS, "invalid wire type: LengthDelimited (expected Varint)"),
        (one_log(f32(1, 0)), "{LOG}.time: " + LOGS, "invalid wire type: ThirtyTwoBit (expected Varint)"),
        (ld(1, ld(1, b"\x08\x80")), "{LOG}.time: " + LOGS, "invalid varint"),
        # five-byte times (this era's) cut short, or going on past five bytes to the end
        (ld(1, ld(1, b"\x08\x80\x80\x80\x80")), "{LOG}.time: " + LOGS, "invalid varint"),
        (ld(1, ld(1, b"\x08\x80\x80\x80\x80\x80")), "{LOG}.time: " + LOGS, "invalid varint"),
        (one_log(vi(4, 0)), "{LOG}.time_ns: " + LOGS, "invalid wire type: Varint (expected ThirtyTwoBit)"),
        (one_log(ld(4, b"1234")), "{LOG}.time_ns: " + LOGS,
         "invalid wire type: LengthDelimited (expected ThirtyTwoBit)"),
        (ld(1, ld(1, key(4, I32) + b"\x01\x02\x03")), "{LOG}.time_ns: " + LOGS, "buffer underflow"),
        (one_log(f32(2, 0)), "{LOG}.contents: " + LOGS,
         "invalid wire type: ThirtyTwoBit (expected LengthDelimited)"),
        (b"\x0a\x05" + b"\x0a\x02" + vi(1, 300), LOGS, "delimited length exceeded"),
        (b"\x0a\x08" + b"\x0a\x03" + vi(1, 2**30), LOGS, "delimited length exceeded"),
        (ld(1, ld(1, key(2, LEN) + b"\x09")), "{LOG}.contents: " + LOGS, "buffer underflow"),
        # Content and tag fields
        (one_log(ld(2, ld(1, b"\xff"))), "Content.key: " + CONTENTS, BAD_UTF8),
        (one_log(ld(2, vi(1, 1))), "Content.key: " + CONTENTS, "invalid wire type: Varint (expected LengthDelimited)"),
        (one_log(ld(2, vi(2, 1))), "Content.value: " + CONTENTS,
         "invalid wire type: Varint (expected LengthDelimited)"),
        (ld(1, ld(1, ld(2, key(2, LEN) + b"\x05ab"))), "Content.value: " + CONTENTS, "buffer underflow"),
        (ld(1, ld(6, ld(1, b"\xe2\x82"))), "{TAG}.key: {LG}.log_tags: " + GROUPS, BAD_UTF8),
        (ld(1, ld(6, ld(2, b"\xf0\x9f\x98"))), "{TAG}.value: {LG}.log_tags: " + GROUPS, BAD_UTF8),
        (ld(1, ld(6, key(2, I32) + b"abcd")), "{TAG}.value: {LG}.log_tags: " + GROUPS,
         "invalid wire type: ThirtyTwoBit (expected LengthDelimited)"),
        # tags in their usual form (key, then value, filling the body)
        (ld(1, ld(6, ld(1, b"\xc3") + ld(2, b"v"))), "{TAG}.key: {LG}.log_tags: " + GROUPS, BAD_UTF8),
        (ld(1, ld(6, ld(1, b"k") + ld(2, b"ok\xed\xa0\x80"))), "{TAG}.value: {LG}.log_tags: " + GROUPS,
         BAD_UTF8),
        (ld(1, ld(6, ld(1, b"k") + key(2, LEN) + b"\x03ab")), "{TAG}.value: {LG}.log_tags: " + GROUPS,
         "buffer underflow"),
        # the first error ends decoding, even when a later group is valid
        (ld(1, ld(3, b"\xff")) + ld(1, ld(3, b"\xfe")) + b"\x00", "{LG}.topic: " + GROUPS, BAD_UTF8),
        # unknown fields that cannot be skipped
        (key(2, I64) + b"1234567", "", "buffer underflow"),
        (key(2, I32) + b"123", "", "buffer underflow"),
        (key(2, LEN) + b"\x04abc", "", "buffer underflow"),
        (key(2, LEN), "", "invalid varint"),
        (key(2, VARINT), "", "invalid varint"),
        (key(2, EGROUP), "", "unexpected end group tag"),
        (key(2, SGROUP) + key(3, EGROUP), "", "unexpected end group tag"),
        (key(2, SGROUP) + key(3, SGROUP) + key(2, EGROUP), "", "unexpected end group tag"),
        (key(2, SGROUP) + vi(3, 1), "", "invalid varint"),
        (key(2, SGROUP) + key(3, I64) + b"123", "", "buffer underflow"),
        (ld(1, key(2, EGROUP)), GROUPS, "unexpected end group tag"),
        (one_log(key(3, EGROUP)), LOGS, "unexpected end group tag"),
        (one_log(ld(2, key(3, SGROUP) + key(4, EGROUP))), CONTENTS, "unexpected end group tag"),
        (ld(1, ld(6, key(5, I64) + b"\0")), "{LG}.log_tags: " + GROUPS, "buffer underflow"),
        # depth budget: 100 at the top, 99 in a group, 98 in a log or tag, 97 in a content
        (group_body(101), "", "recursion limit reached"),
        (group_with_field(100), "", "recursion limit reached"),
        (ld(1, group_body(100)), GROUPS, "recursion limit reached"),
        (ld(1, group_with_field(99)), GROUPS, "recursion limit reached"),
        (one_log(group_body(99)), LOGS, "recursion limit reached"),
        (one_log(group_with_field(98)), LOGS, "recursion limit reached"),
        (one_log(ld(2, group_body(98))), CONTENTS, "recursion limit reached"),
        (one_log(ld(2, group_with_field(97))), CONTENTS, "recursion limit reached"),
        # a tag sits directly in its group, so its body has one less than the group's 99
        (ld(1, ld(6, group_body(99))), "{LG}.log_tags: " + GROUPS, "recursion limit reached"),
        (ld(1, ld(6, group_with_field(98))), "{LG}.log_tags: " + GROUPS, "recursion limit reached"),
    ],
)
def test_decode_errors(data, context, description):
    expect_error(data, context, description)


def test_content_value_utf8_is_checked_in_the_text_family_only():
    data = one_log(vi(1, 3) + ld(2, content(b"k", b"\xff")))
    with pytest.raises(ValueError) as info:
        decode_text(data)
    assert str(info.value) == (PREFIX + "Content.value: Log.contents: LogGroup.logs: LogGroupList.log_groups: "
                               + BAD_UTF8)
    assert decode_raw(data) == [{"__time__": 3, "k": b"\xff"}]


@pytest.mark.parametrize(
    "data, text",
    [
        # unknown fields of every wire type are skipped at every level
        (b"", "[]"),
        (vi(2, 2**64 - 1) + key(3, I64) + b"\xff" * 8 + ld(4, b"\xff\x00") + f32(5, 9)
         + key(6, SGROUP) + vi(1, 1) + key(6, EGROUP) + varint((2**29 - 1) << 3 | LEN) + b"\x00", "[]"),
        (ld(1, vi(2, 1) + key(2, I64) + b"\0" * 8 + ld(2, b"\xff") + f32(7, 1)
            + key(2, SGROUP) + key(2, SGROUP) + key(2, EGROUP) + key(2, EGROUP) + ld(1, b"")), '[{"__time__":0}]'),
        (one_log(vi(3, 5) + ld(5, b"x") + key(3, I64) + b"\0" * 8 + f32(3, 1) + key(3, SGROUP) + ld(1, b"\xff")
                 + key(3, EGROUP) + vi(1, 4)), '[{"__time__":4}]'),
        (one_log(ld(2, vi(3, 1) + ld(1, b"a") + f32(4, 0) + key(9, SGROUP) + key(9, EGROUP) + ld(2, b"b")
                    + key(5, I64) + b"\xff" * 8)), '[{"__time__":0,"a":"b"}]'),
        (ld(1, ld(6, vi(3, 1) + ld(1, b"h") + ld(7, b"\xff") + ld(2, b"v")) + ld(1, b"")),
         '[{"__tag__:h":"v","__time__":0}]'),
        # non-minimal varints are accepted
        (b"\x90\x80\x00\x80\x80\x00" + b"\x8a\x00\x88\x00" + b"\x0a\x85\x00" + b"\x88\x00\x80\x81\x00",
         '[{"__time__":128}]'),
        # nested unknown groups up to the budget
        (group_body(100), "[]"),
        (group_with_field(99), "[]"),
        (ld(1, group_body(99) + ld(1, b"")), '[{"__time__":0}]'),
        (one_log(group_body(98) + group_with_field(97)), '[{"__time__":0}]'),
        (one_log(ld(2, group_body(97) + group_with_field(96))), '[{"":"","__time__":0}]'),
        (ld(1, ld(6, group_body(98) + group_with_field(97))), "[]"),
        # repeated fields need not be adjacent; fields come in any order; later singular values win
        (ld(1, ld(3, b"t1") + ld(6, content(b"a", b"1")) + ld(1, vi(1, 1)) + ld(5, b"m") + ld(3, b"t2")
            + ld(1, f32(4, 9) + ld(2, content(b"x", b"1")) + vi(1, 3) + vi(3, 5) + ld(2, content(b"y", b"2"))
                 + vi(1, 2) + f32(4, 8))
            + ld(6, content(b"b", b"2") + ld(1, b"c")))
         + vi(9, 1) + ld(1, ld(4, b"s")),
         '[{"__tag__:a":"1","__tag__:c":"2","__time__":1,"__topic__":"t2"},'
         '{"__tag__:a":"1","__tag__:c":"2","__time__":2,"__time_ns__":8,"__topic__":"t2","x":"1","y":"2"}]'),
        # a key given twice inside one content, the value before the key
        (one_log(ld(2, ld(2, b"v1") + ld(1, b"k1") + ld(2, b"v2") + ld(1, b"k2"))), '[{"__time__":0,"k2":"v2"}]'),
        # time keeps the low 32 bits of a wider varint
        (one_log(vi(1, 2**32 + 5)), '[{"__time__":5}]'),
        (one_log(vi(1, 2**64 - 1)), '[{"__time__":4294967295}]'),
        (one_log(vi(1, 2**33)), '[{"__time__":0}]'),
        # both sides of five varint bytes, a time of this era, and an overlong five-byte 1
        (one_log(vi(1, 2**28 - 1)), '[{"__time__":268435455}]'),
        (one_log(vi(1, 2**28)), '[{"__time__":268435456}]'),
        (one_log(vi(1, 1765000000)), '[{"__time__":1765000000}]'),
        (one_log(vi(1, 2**35 - 1)), '[{"__time__":4294967295}]'),
        (one_log(vi(1, 2**35 + 7)), '[{"__time__":7}]'),
        (one_log(b"\x08\x81\x80\x80\x80\x00"), '[{"__time__":1}]'),
        # presence: an empty group; an empty topic; a log without fields
        (ld(1, b""), "[]"),
        (ld(1, ld(3, b"") + ld(1, b"")), '[{"__time__":0,"__topic__":""}]'),
        (ld(1, ld(4, b"") + ld(1, b"") + ld(5, b"uuid")), '[{"__source__":"","__time__":0}]'),
    ],
)
def test_wire_rules(data, text):
    assert decode_text(data) == text


def test_raw_family_applies_the_same_wire_rules():
    data = (ld(1, ld(1, f32(4, 0) + ld(2, ld(2, b"\xff\x00") + ld(1, b"k") + vi(3, 1)) + vi(1, 2**32 + 9))
                  + key(2, SGROUP) + key(2, EGROUP) + ld(4, b"") + ld(3, b"a") + ld(3, b"b")))
    assert decode_raw(data) == [{"__time__": 9, "__time_ns__": 0, "k": b"\xff\x00", "__topic__": "b",
                                 "__source__": ""}]
    assert decode_raw(group_body(100)) == []


VALID_UTF8 = ["\x7f", "\u0080", "\u07ff", "\u0800", "\ud7ff", "\ue000", "\ufffd", "\uffff", "\U00010000", "\U0010ffff"]
INVALID_UTF8 = [b"\x80", b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\x80", b"\xe0\x9f\xbf", b"\xed\xa0\x80",
                b"\xed\xbf\xbf", b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80",
                b"\xf8\x88\x80\x80\x80", b"\xfe", b"\xff", b"\xc2", b"\xe1\x80", b"\xf1\x80\x80", b"\xc2\x41",
                b"\xe1\x80\x41", b"\xf1\x80\x80\xc0"]
PADDING = [0, 1, 7, 8, 15, 16, 17, 31, 32]


@pytest.mark.parametrize("piece", [s.encode() for s in VALID_UTF8] + INVALID_UTF8)
def test_strict_utf8_of_string_fields(piece):
    valid = piece.decode("utf-8", "replace").encode() == piece
    for n in PADDING:
        for value in (b"a" * n + piece, b"a" * n + piece + b"z" * n, piece + b"z" * n):
            data = ld(1, ld(6, ld(2, value)) + ld(1, b""))
            if valid:
                assert decode_text(data) == '[{"__tag__:":%s,"__time__":0}]' % json.dumps(value.decode(),
                                                                                          ensure_ascii=False)
            else:
                expect_error(data, "{TAG}.value: {LG}.log_tags: " + GROUPS, BAD_UTF8)


@pytest.mark.parametrize("odd", [b'"', b"\\", b"\x1f", b"\xc3\xa9", b"\xff", b"\xe2\x82"])
@pytest.mark.parametrize("at_end", [False, True])
def test_short_texts_with_one_odd_byte_at_every_place(odd, at_end):
    # Texts under sixteen bytes are checked (and plain values copied) in one sixteen-byte
    # read when the input goes on for that long, only their own bytes counting; near the end
    # of the input they are read byte-exactly. A character to escape, a non-ASCII or an
    # invalid sequence sits at every place of content keys and values of 1 to 15 bytes,
    # followed by plain bytes or by nothing.
    valid = odd.decode("utf-8", "replace").encode() == odd
    for n in range(1, 16):
        for i in range(n):
            text = b"a" * i + odd + b"b" * (n - 1 - i)
            for k, v in ((text, b"v"), (b"k", text)):
                # two logs with the same key, so that the second follows the first's layout
                log = ld(1, ld(2, content(k, v)))
                data = ld(1, log + log) if at_end else ld(1, log + log + ld(1, ld(2, content(b"p" * 20, b"q" * 20))))
                if valid:
                    records = json.loads(decode_text(data))
                    assert records[0][k.decode()] == records[1][k.decode()] == v.decode()
                elif k is text:
                    expect_error(data, "Content.key: " + CONTENTS, BAD_UTF8)
                else:  # only the text family checks content values
                    with pytest.raises(ValueError) as info:
                        decode_text(data)
                    assert str(info.value) == PREFIX + "Content.value: " + CONTENTS.format(**TEXT) + BAD_UTF8


# Contents and tags in their usual form (key, then value, filling the body) are read in runs.
# A run must give way to any other form, stop at the end of its log or group even when the
# next byte looks like one more element, and fail as a lone element would. Each body below is
# mixed in at every place of a run of plain ones.
MIXED_IN = [
    ld(2, b"v") + ld(1, b"k2"),  # value before key
    ld(1, b"k3") + ld(2, b"v") + vi(5, 1),  # an unknown field after the value
    content(b"k4", b"x" * 200),  # a value length of two varint bytes
    ld(1, b"k5"),  # no value
    ld(3, b"x") + ld(2, b""),  # an unknown field where the key would be
    b"",  # nothing
    # the usual form at the edges of one-byte lengths
    content(b"", b""),
    content(b"k" * 123, b""),
    content(b"", b"v" * 123),
    content(b"k" * 60, b"v" * 63),  # a body of 127 bytes
    content(b"k" * 60, b"v" * 64),  # 128: its length takes two bytes
]


def elements(field, bodies):
    return b"".join(ld(field, body) for body in bodies)


def run_cases():
    plain = [content(b"a", b"1"), content(b"b", b"2\n"), content(b"c", "é".encode())]
    for other in MIXED_IN:
        for at in range(len(plain) + 1):
            yield plain[:at] + [other] + plain[at:]


@pytest.mark.parametrize("bodies", list(run_cases()))
def test_runs_give_way_to_other_forms(bodies):
    log = ld(1, vi(1, 7) + elements(2, bodies))
    # After the log an unknown group field 2, and after the group an unknown list field 6:
    # the same keys as a content and a tag, outside the message being read.
    data = (ld(1, log + ld(2, content()) + ld(3, b"t") + elements(6, bodies)) + ld(6, content())
            + ld(1, elements(6, bodies) + log))
    assert text_of(data) == reference_json(log_schema.LogGroupList.FromString(data))
    expected = log_schema.flatten_dicts(log_schema.LogGroupListRaw.FromString(data), False, False)
    assert [list(d.items()) for d in dicts_of(data)] == [list(d.items()) for d in expected]


def log_cut_short(bodies, cut):
    """A group holding one log whose length leaves out the last `cut` bytes of its body."""
    body = elements(2, bodies)
    log = key(1, LEN) + varint(len(body) - cut) + body
    return key(1, LEN) + varint(len(log)) + log


@pytest.mark.parametrize(
    "data, context, description",
    [
        (one_log(elements(2, [content(b"a"), content(b"b"), content(b"\xff")])), "Content.key: " + CONTENTS,
         BAD_UTF8),
        (one_log(elements(2, [content(b"a"), content(b"b"), vi(1, 1)])), "Content.key: " + CONTENTS,
         "invalid wire type: Varint (expected LengthDelimited)"),
        (log_cut_short([content(b"a"), content(b"b")], 2), LOGS, "delimited length exceeded"),
        (log_cut_short([content(b"a"), content(b"b", b"x" * 200)], 100), LOGS, "delimited length exceeded"),
        # a second content whose lengths disagree, or that the input cuts short
        (one_log(ld(2, content(b"a")) + ld(2, b"\x0a\x01k\x12\x05v")), "Content.value: " + CONTENTS,
         "buffer underflow"),
        (one_log(ld(2, content(b"a")) + ld(2, b"\x0a\x01k\x12\x00v")), CONTENTS, "invalid wire type value: 6"),
        (one_log(ld(2, content(b"a")) + ld(2, b"\x0a\x09k\x12\x00")), "Content.key: " + CONTENTS,
         "buffer underflow"),
        (ld(1, ld(1, ld(2, content(b"a")) + b"\x12\x05\x0a\x01k\x12")), CONTENTS, "buffer underflow"),
        (ld(1, elements(6, [content(b"a"), content(b"b"), content(b"c", b"\xf0\x9f")])),
         "{TAG}.value: {LG}.log_tags: " + GROUPS, BAD_UTF8),
        (ld(1, elements(6, [content(b"a"), content(b"\xc3")])), "{TAG}.key: {LG}.log_tags: " + GROUPS, BAD_UTF8),
    ],
)
def test_runs_fail_as_a_lone_element_does(data, context, description):
    expect_error(data, context, description)


# Field 2 is not part of a log group. Each body below is one such field, of one wire type; the
# payloads hold bytes that would be wrong in a known field (invalid UTF-8, a NUL key byte, keys
# of fields the group does know), so that reading them as anything but skipped bytes shows.
UNKNOWN_FIELD_2 = {
    "Varint": key(2, VARINT) + b"\xff" * 9 + b"\x01",
    "SixtyFourBit": key(2, I64) + b"\x0a\xff\x00\x1a\x01\xff\x00\x00",
    "LengthDelimited": ld(2, b"\x0a\x02\x08\x07\xff\x00"),
    "StartGroup": key(2, SGROUP) + vi(1, 5) + ld(3, b"\xff") + key(2, I32) + b"\x00\x00\x00\x00" + key(2, EGROUP),
    "ThirtyTwoBit": key(2, I32) + b"\x0a\x00\xff\x1a",
}


@pytest.mark.parametrize("wire_type", list(UNKNOWN_FIELD_2))
def test_unknown_field_2_of_a_group_is_skipped_in_every_wire_type(wire_type):
    # The field stands before, between and after the group's known fields (the logs, then
    # topic, source and tags, each part encoded by the protobuf package); decoding must step
    # over exactly its bytes and go on, in both record families.
    unknown = UNKNOWN_FIELD_2[wire_type]
    logs = make_batch([dict(logs=[dict(time=4, time_ns=0, contents=[("k", "v")]), dict(time=9)])])
    meta = make_batch([dict(topic="t", source="", uuid="m", tags=[("h", "a1")])])
    body = (unknown + logs.log_groups[0].SerializeToString() + unknown + meta.log_groups[0].SerializeToString()
            + unknown)
    data = ld(1, body) + ld(1, ld(1, vi(1, 1)))  # a second group after it is read as usual

    parsed = log_schema.LogGroupList.FromString(data)
    text = reference_json(parsed)
    assert text.count("__time__") == 3 and '"__topic__":"t"' in text  # the witness saw every log
    assert text_of(data) == text
    assert log_parser.lz4_logs_to_flat_json_str(compress(data), len(data)) == text
    raw = log_schema.LogGroupListRaw.FromString(data)
    for time_as_str in (False, True):
        expected = log_schema.flatten_dicts(raw, time_as_str, True)
        result = dicts_of(data, time_as_str, True)
        assert [list(d.items()) for d in result] == [list(d.items()) for d in expected]


# A key cut short after the last complete group: the decoder must not stop at the end of the
# last message it could read, nor take a dangling varint for the end of the input.
TRAILING_KEYS = {
    "a lone continuation byte": b"\x80",
    "a varint of eleven bytes": b"\xff" * 10 + b"\x01",
    "a varint whose tenth byte has the high bit set": b"\x80" * 9 + b"\x81",
}


@pytest.mark.parametrize("tail", list(TRAILING_KEYS.values()), ids=list(TRAILING_KEYS))
def test_truncated_or_overlong_key_after_a_complete_batch(tail):
    batch = make_batch([dict(topic="t", logs=[dict(time=3, contents=[("k", "v")])])])
    data = batch.SerializeToString() + tail
    with pytest.raises(PbDecodeError):  # the protobuf package also refuses these bytes
        log_schema.LogGroupList.FromString(data)
    expect_error(data, "", "invalid varint")  # the plain text path and the dict path
    with pytest.raises(ValueError) as info:
        log_parser.lz4_logs_to_flat_json_str(compress(data), len(data))
    assert type(info.value) is ValueError and info.value.args == (PREFIX + "invalid varint",)
